#include "platform/socket.h"

// clang-format off
#include "platform/win32/windows_api.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
// clang-format on

#include <climits>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/socket_common.h"

namespace mox::platform {

namespace {

SocketError lastError() {
    return SocketError::fromCode(static_cast<std::uint32_t>(WSAGetLastError()));
}

SocketError notOpen() {
    return SocketError::fromCode(WSAENOTSOCK);
}

int toDomain(AddressFamily family) {
    return family == AddressFamily::IPv4 ? AF_INET : AF_INET6;
}

SOCKET toSocket(std::uintptr_t handle) {
    return static_cast<SOCKET>(handle);
}

// Winsock is started once per process, at the first socket anyone opens; a failed start is
// remembered and reported by every later open. It is deliberately never cleaned up: other
// users of Winsock in the host process share the count.
int startWinsock() {
    static const int result = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

int toSockaddr(const SocketAddress& address, sockaddr_storage& storage) {
    std::memset(&storage, 0, sizeof storage);
    if (address.family == AddressFamily::IPv4) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(address.port);
        std::memcpy(&in->sin_addr, address.bytes.data(), 4);
        return sizeof(sockaddr_in);
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(address.port);
    std::memcpy(&in6->sin6_addr, address.bytes.data(), 16);
    return sizeof(sockaddr_in6);
}

SocketAddress fromSockaddr(const sockaddr_storage& storage) {
    SocketAddress address;
    if (storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        address.family = AddressFamily::IPv6;
        address.port = ntohs(in6->sin6_port);
        std::memcpy(address.bytes.data(), &in6->sin6_addr, 16);
    } else if (storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        address.port = ntohs(in->sin_port);
        std::memcpy(address.bytes.data(), &in->sin_addr, 4);
    }
    return address;
}

// One select on one socket; >0 readable, 0 timed out, <0 failed.
int selectReadable(SOCKET socket, long microseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout{microseconds / 1000000, microseconds % 1000000};
    return ::select(0, &readable, nullptr, nullptr, &timeout);
}

}  // namespace

std::optional<SocketAddress> parseNumericAddress(std::string_view text, AddressFamily family) {
    // The system parser decides, on the whole text as written; the shared grammar check keeps
    // out the legacy IPv4 forms ("127.1", octal and hex parts) that it would also take.
    if (!detail::numericAddressPart(text, family) || text.size() > 255 || startWinsock() != 0) {
        return std::nullopt;
    }
    char copy[256];
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    INT length = sizeof storage;
    if (WSAStringToAddressA(copy, toDomain(family), nullptr, reinterpret_cast<sockaddr*>(&storage),
                            &length) != 0) {
        return std::nullopt;
    }
    // Only the address bytes are used: the port, flow information and scope are dropped.
    SocketAddress address = fromSockaddr(storage);
    address.family = family;
    address.port = 0;
    return address;
}

SocketResult<UdpSocket> UdpSocket::open(AddressFamily family) {
    if (detail::takeFault(family == AddressFamily::IPv4 ? FaultPoint::OpenIpv4Socket
                                                        : FaultPoint::OpenIpv6Socket)) {
        return SocketResult<UdpSocket>::failure(
            SocketError::fromCode(family == AddressFamily::IPv4 ? WSAENOBUFS : WSAEAFNOSUPPORT));
    }
    const int started = startWinsock();
    if (started != 0) {
        return SocketResult<UdpSocket>::failure(
            SocketError::fromCode(static_cast<std::uint32_t>(started)));
    }
    const SOCKET handle = ::socket(toDomain(family), SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) {
        return SocketResult<UdpSocket>::failure(lastError());
    }
    UdpSocket socket(static_cast<std::uintptr_t>(handle), family);
    if (family == AddressFamily::IPv6) {
        const DWORD on = 1;
        if (::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on),
                         sizeof on) != 0) {
            return SocketResult<UdpSocket>::failure(lastError());
        }
    }
    // Without this, an ICMP port-unreachable for an earlier send ends a later receive with
    // WSAECONNRESET, which no POSIX unconnected socket ever reports.
    BOOL report = FALSE;
    DWORD returned = 0;
    if (WSAIoctl(handle, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                 nullptr) != 0) {
        return SocketResult<UdpSocket>::failure(lastError());
    }
    return SocketResult<UdpSocket>(std::move(socket));
}

void UdpSocket::close() noexcept {
    if (handle_ == kInvalidHandle) {
        return;
    }
    ::closesocket(toSocket(handle_));
    handle_ = kInvalidHandle;
    receiveOptions_ = false;
    scratch_.reset();
}

SocketStatus UdpSocket::bind(const SocketAddress& address) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    if (address.family != family_) {
        return SocketStatus::failure(SocketError::fromCode(WSAEAFNOSUPPORT));
    }
    sockaddr_storage storage;
    const int length = toSockaddr(address, storage);
    if (::bind(toSocket(handle_), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        return SocketStatus::failure(lastError());
    }
    return {};
}

SocketResult<SocketAddress> UdpSocket::localAddress() const {
    if (!isOpen()) {
        return SocketResult<SocketAddress>::failure(notOpen());
    }
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    int length = sizeof storage;
    if (::getsockname(toSocket(handle_), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return SocketResult<SocketAddress>::failure(lastError());
    }
    return fromSockaddr(storage);
}

SocketStatus UdpSocket::setIpv4Options(std::span<const std::uint8_t> options) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    if (family_ != AddressFamily::IPv4) {
        return SocketStatus::failure(SocketError::fromCode(WSAENOPROTOOPT));
    }
    if (detail::takeFault(FaultPoint::SetIpv4Options)) {
        return SocketStatus::failure(SocketError::fromCode(WSAENOPROTOOPT));
    }
    static const char kNone = 0;
    const char* data = options.empty() ? &kNone : reinterpret_cast<const char*>(options.data());
    if (::setsockopt(toSocket(handle_), IPPROTO_IP, IP_OPTIONS, data,
                     static_cast<int>(options.size())) != 0) {
        return SocketStatus::failure(lastError());
    }
    return {};
}

SocketStatus UdpSocket::receiveIpv4Options(bool) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    // Winsock has no IP_RECVOPTS: the options of a received datagram cannot be read.
    return SocketStatus::failure(SocketError::fromCode(WSAENOPROTOOPT));
}

SocketStatus UdpSocket::setReceiveBufferSize(std::size_t bytes) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    const int size = bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
    if (::setsockopt(toSocket(handle_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                     sizeof size) != 0) {
        return SocketStatus::failure(lastError());
    }
    return {};
}

SocketStatus UdpSocket::setReusePort(bool /*enable*/) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    // No load-sharing port option on Windows (see "Port sharing" in the header).
    return SocketStatus::failure(SocketError::fromCode(WSAEOPNOTSUPP));
}

SocketResult<std::size_t> UdpSocket::receiveBatch(std::span<DatagramSlot> slots) {
    return detail::receiveBatchOneByOne(*this, slots);
}

SocketResult<std::size_t> UdpSocket::sendBatch(std::span<const OutgoingDatagram> datagrams) {
    return detail::sendBatchOneByOne(*this, datagrams);
}

SocketResult<std::size_t> UdpSocket::sendTo(std::span<const std::uint8_t> datagram,
                                            const SocketAddress& to) {
    if (!isOpen()) {
        return SocketResult<std::size_t>::failure(notOpen());
    }
    if (to.family != family_) {
        return SocketResult<std::size_t>::failure(SocketError::fromCode(WSAEAFNOSUPPORT));
    }
    // Windows refuses this itself; checked here too so that Wine, which hands the call to a
    // POSIX system, behaves the same.
    if (to.isUnspecified()) {
        return SocketResult<std::size_t>::failure(SocketError::fromCode(WSAEADDRNOTAVAIL));
    }
    if (datagram.size() > static_cast<std::size_t>(INT_MAX)) {
        return SocketResult<std::size_t>::failure(SocketError::fromCode(WSAEMSGSIZE));
    }
    sockaddr_storage storage;
    const int length = toSockaddr(to, storage);
    const int sent = ::sendto(toSocket(handle_), reinterpret_cast<const char*>(datagram.data()),
                              static_cast<int>(datagram.size()), 0,
                              reinterpret_cast<const sockaddr*>(&storage), length);
    if (sent == SOCKET_ERROR) {
        return SocketResult<std::size_t>::failure(lastError());
    }
    return static_cast<std::size_t>(sent);
}

SocketResult<bool> UdpSocket::waitReadable(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    if (!isOpen()) {
        return SocketResult<bool>::failure(notOpen());
    }
    if (timeout.count() < 0) {
        timeout = std::chrono::milliseconds(0);
    }
    // select takes at most a long of seconds; long waits go in slices of a day.
    const Clock::time_point deadline = Clock::now() + timeout;
    std::chrono::milliseconds remaining = timeout;
    constexpr std::chrono::milliseconds kSlice = std::chrono::hours(24);
    while (true) {
        const std::chrono::milliseconds wait = remaining > kSlice ? kSlice : remaining;
        const int ready =
            selectReadable(toSocket(handle_), static_cast<long>(wait.count() % 1000) * 1000 +
                                                  static_cast<long>(wait.count() / 1000) * 1000000);
        if (ready > 0) {
            return true;
        }
        if (ready < 0) {
            return SocketResult<bool>::failure(lastError());
        }
        if (remaining <= kSlice) {
            return false;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return false;
        }
        remaining = std::chrono::ceil<std::chrono::milliseconds>(left);
    }
}

SocketResult<ReceivedDatagram> UdpSocket::receive(std::span<std::uint8_t> buffer) {
    if (!isOpen()) {
        return SocketResult<ReceivedDatagram>::failure(notOpen());
    }
    ReceivedDatagram datagram;
    // The socket stays blocking, so only a socket that is readable now is received from.
    const int ready = selectReadable(toSocket(handle_), 0);
    if (ready < 0) {
        return SocketResult<ReceivedDatagram>::failure(lastError());
    }
    if (ready == 0) {
        return datagram;
    }
    // Winsock cuts a datagram longer than the buffer and reports only WSAEMSGSIZE, so receive
    // into a buffer that every datagram fits, then copy.
    if (!scratch_) {
        scratch_ = std::make_unique<std::uint8_t[]>(detail::kMaxDatagramSize);
    }
    sockaddr_storage from;
    std::memset(&from, 0, sizeof from);
    int fromLength = sizeof from;
    const int length = ::recvfrom(toSocket(handle_), reinterpret_cast<char*>(scratch_.get()),
                                  static_cast<int>(detail::kMaxDatagramSize), 0,
                                  reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (length == SOCKET_ERROR) {
        const int code = WSAGetLastError();
        // Nothing there after all, or a reset left by an ICMP answer the ioctl did not catch
        // (WSAENETRESET: time to live exceeded): no datagram, as on POSIX.
        if (code == WSAEWOULDBLOCK || code == WSAECONNRESET || code == WSAENETRESET) {
            return datagram;
        }
        return SocketResult<ReceivedDatagram>::failure(
            SocketError::fromCode(static_cast<std::uint32_t>(code)));
    }
    datagram.received = true;
    datagram.length = static_cast<std::size_t>(length);
    datagram.truncated = datagram.length > buffer.size();
    const std::size_t stored = datagram.truncated ? buffer.size() : datagram.length;
    if (stored > 0) {
        std::memcpy(buffer.data(), scratch_.get(), stored);
    }
    datagram.from = fromSockaddr(from);
    return datagram;
}

}  // namespace mox::platform
