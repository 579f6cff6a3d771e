#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/socket_common.h"

namespace mox::platform {

namespace {

SocketError lastError() {
    return SocketError::fromCode(static_cast<std::uint32_t>(errno));
}

int toDomain(AddressFamily family) {
    return family == AddressFamily::IPv4 ? AF_INET : AF_INET6;
}

// The system form of `address`; returns its length.
socklen_t toSockaddr(const SocketAddress& address, sockaddr_storage& storage) {
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

int descriptor(std::uintptr_t handle) {
    return static_cast<int>(handle);
}

SocketError notOpen() {
    return SocketError::fromCode(EBADF);
}

}  // namespace

std::optional<SocketAddress> parseNumericAddress(std::string_view text, AddressFamily family) {
    const std::optional<std::string> part = detail::numericAddressPart(text, family);
    if (!part) {
        return std::nullopt;
    }
    SocketAddress address = SocketAddress::unspecified(family);
    if (inet_pton(toDomain(family), part->c_str(), address.bytes.data()) != 1) {
        return std::nullopt;
    }
    return address;
}

SocketResult<UdpSocket> UdpSocket::open(AddressFamily family) {
    if (detail::takeFault(family == AddressFamily::IPv4 ? FaultPoint::OpenIpv4Socket
                                                        : FaultPoint::OpenIpv6Socket)) {
        return SocketResult<UdpSocket>::failure(
            SocketError::fromCode(family == AddressFamily::IPv4 ? ENOBUFS : EAFNOSUPPORT));
    }
    const int fd = ::socket(toDomain(family), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return SocketResult<UdpSocket>::failure(lastError());
    }
    UdpSocket socket(static_cast<std::uintptr_t>(fd), family);
    if (family == AddressFamily::IPv6) {
        const int on = 1;
        if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
            return SocketResult<UdpSocket>::failure(lastError());
        }
    }
    return SocketResult<UdpSocket>(std::move(socket));
}

void UdpSocket::close() noexcept {
    if (handle_ == kInvalidHandle) {
        return;
    }
    // Not retried on EINTR: on Linux the descriptor is gone whatever close reports.
    ::close(descriptor(handle_));
    handle_ = kInvalidHandle;
    receiveOptions_ = false;
}

SocketStatus UdpSocket::bind(const SocketAddress& address) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    if (address.family != family_) {
        return SocketStatus::failure(SocketError::fromCode(EAFNOSUPPORT));
    }
    sockaddr_storage storage;
    const socklen_t length = toSockaddr(address, storage);
    if (::bind(descriptor(handle_), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
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
    socklen_t length = sizeof storage;
    if (::getsockname(descriptor(handle_), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return SocketResult<SocketAddress>::failure(lastError());
    }
    return fromSockaddr(storage);
}

SocketStatus UdpSocket::setIpv4Options(std::span<const std::uint8_t> options) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    if (family_ != AddressFamily::IPv4) {
        return SocketStatus::failure(SocketError::fromCode(ENOPROTOOPT));
    }
    if (detail::takeFault(FaultPoint::SetIpv4Options)) {
        return SocketStatus::failure(SocketError::fromCode(ENOPROTOOPT));
    }
    static const std::uint8_t kNone = 0;
    const void* data = options.empty() ? &kNone : options.data();
    if (::setsockopt(descriptor(handle_), IPPROTO_IP, IP_OPTIONS, data,
                     static_cast<socklen_t>(options.size())) != 0) {
        return SocketStatus::failure(lastError());
    }
    return {};
}

SocketStatus UdpSocket::receiveIpv4Options(bool enable) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    if (family_ != AddressFamily::IPv4) {
        return SocketStatus::failure(SocketError::fromCode(ENOPROTOOPT));
    }
    const int on = enable ? 1 : 0;
    if (::setsockopt(descriptor(handle_), IPPROTO_IP, IP_RECVOPTS, &on, sizeof on) != 0) {
        return SocketStatus::failure(lastError());
    }
    receiveOptions_ = enable;
    return {};
}

SocketStatus UdpSocket::setReceiveBufferSize(std::size_t bytes) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
    const int size = bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
    if (::setsockopt(descriptor(handle_), SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
        return SocketStatus::failure(lastError());
    }
    return {};
}

SocketStatus UdpSocket::setReusePort(bool enable) {
    if (!isOpen()) {
        return SocketStatus::failure(notOpen());
    }
#ifdef SO_REUSEPORT
    const int on = enable ? 1 : 0;
    if (::setsockopt(descriptor(handle_), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        return SocketStatus::failure(lastError());
    }
    return {};
#else
    (void)enable;
    return SocketStatus::failure(SocketError::fromCode(EOPNOTSUPP));
#endif
}

#ifdef __linux__

SocketResult<std::size_t> UdpSocket::receiveBatch(std::span<DatagramSlot> slots) {
    if (!isOpen()) {
        return SocketResult<std::size_t>::failure(notOpen());
    }
    std::size_t filled = 0;
    while (filled < slots.size()) {
        const std::size_t count = std::min(slots.size() - filled, kMaxSocketBatch);
        std::array<mmsghdr, kMaxSocketBatch> messages;
        std::array<iovec, kMaxSocketBatch> vectors;
        std::array<sockaddr_storage, kMaxSocketBatch> from;
        for (std::size_t i = 0; i < count; ++i) {
            DatagramSlot& slot = slots[filled + i];
            vectors[i] = iovec{slot.buffer.data(), slot.buffer.size()};
            std::memset(&messages[i], 0, sizeof messages[i]);
            messages[i].msg_hdr.msg_name = &from[i];
            messages[i].msg_hdr.msg_namelen = sizeof from[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int taken;
        do {
            taken = ::recvmmsg(descriptor(handle_), messages.data(), static_cast<unsigned>(count),
                               MSG_TRUNC | MSG_DONTWAIT, nullptr);
        } while (taken < 0 && errno == EINTR);
        if (taken < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || filled > 0) {
                break;
            }
            return SocketResult<std::size_t>::failure(lastError());
        }
        for (int i = 0; i < taken; ++i) {
            DatagramSlot& slot = slots[filled + static_cast<std::size_t>(i)];
            const msghdr& header = messages[static_cast<std::size_t>(i)].msg_hdr;
            // With MSG_TRUNC, msg_len is the datagram's full size even when it was cut.
            slot.length = messages[static_cast<std::size_t>(i)].msg_len;
            slot.truncated =
                (header.msg_flags & MSG_TRUNC) != 0 || slot.length > slot.buffer.size();
            slot.from = fromSockaddr(from[static_cast<std::size_t>(i)]);
        }
        filled += static_cast<std::size_t>(taken);
        if (static_cast<std::size_t>(taken) < count) {
            break;
        }
    }
    return filled;
}

SocketResult<std::size_t> UdpSocket::sendBatch(std::span<const OutgoingDatagram> datagrams) {
    if (!isOpen()) {
        return SocketResult<std::size_t>::failure(notOpen());
    }
    std::size_t sent = 0;
    while (sent < datagrams.size()) {
        std::array<mmsghdr, kMaxSocketBatch> messages;
        std::array<iovec, kMaxSocketBatch> vectors;
        std::array<sockaddr_storage, kMaxSocketBatch> to;
        // Up to the first datagram that `sendTo` would refuse before asking the system.
        std::size_t count = 0;
        std::optional<SocketError> refused;
        while (count < kMaxSocketBatch && sent + count < datagrams.size()) {
            const OutgoingDatagram& datagram = datagrams[sent + count];
            if (datagram.to.family != family_) {
                refused = SocketError::fromCode(EAFNOSUPPORT);
                break;
            }
            if (datagram.to.isUnspecified()) {
                refused = SocketError::fromCode(EADDRNOTAVAIL);
                break;
            }
            std::memset(&messages[count], 0, sizeof messages[count]);
            vectors[count] =
                iovec{const_cast<std::uint8_t*>(datagram.bytes.data()), datagram.bytes.size()};
            messages[count].msg_hdr.msg_name = &to[count];
            messages[count].msg_hdr.msg_namelen = toSockaddr(datagram.to, to[count]);
            messages[count].msg_hdr.msg_iov = &vectors[count];
            messages[count].msg_hdr.msg_iovlen = 1;
            ++count;
        }
        if (count == 0) {
            if (sent == 0 && refused) {
                return SocketResult<std::size_t>::failure(*refused);
            }
            break;
        }
        int taken;
        do {
            taken =
                ::sendmmsg(descriptor(handle_), messages.data(), static_cast<unsigned>(count), 0);
        } while (taken < 0 && errno == EINTR);
        if (taken < 0) {
            if (sent == 0) {
                return SocketResult<std::size_t>::failure(lastError());
            }
            break;
        }
        std::size_t whole = 0;
        while (whole < static_cast<std::size_t>(taken) &&
               messages[whole].msg_len == datagrams[sent + whole].bytes.size()) {
            ++whole;
        }
        sent += whole;
        if (whole < count || refused) {
            break;
        }
    }
    return sent;
}

#else

SocketResult<std::size_t> UdpSocket::receiveBatch(std::span<DatagramSlot> slots) {
    return detail::receiveBatchOneByOne(*this, slots);
}

SocketResult<std::size_t> UdpSocket::sendBatch(std::span<const OutgoingDatagram> datagrams) {
    return detail::sendBatchOneByOne(*this, datagrams);
}

#endif

SocketResult<std::size_t> UdpSocket::sendTo(std::span<const std::uint8_t> datagram,
                                            const SocketAddress& to) {
    if (!isOpen()) {
        return SocketResult<std::size_t>::failure(notOpen());
    }
    if (to.family != family_) {
        return SocketResult<std::size_t>::failure(SocketError::fromCode(EAFNOSUPPORT));
    }
    if (to.isUnspecified()) {
        return SocketResult<std::size_t>::failure(SocketError::fromCode(EADDRNOTAVAIL));
    }
    sockaddr_storage storage;
    const socklen_t length = toSockaddr(to, storage);
    while (true) {
        const ssize_t sent = ::sendto(descriptor(handle_), datagram.data(), datagram.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&storage), length);
        if (sent >= 0) {
            return static_cast<std::size_t>(sent);
        }
        if (errno != EINTR) {
            return SocketResult<std::size_t>::failure(lastError());
        }
    }
}

SocketResult<bool> UdpSocket::waitReadable(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    if (!isOpen()) {
        return SocketResult<bool>::failure(notOpen());
    }
    if (timeout.count() < 0) {
        timeout = std::chrono::milliseconds(0);
    }
    const Clock::time_point deadline = Clock::now() + timeout;
    std::chrono::milliseconds remaining = timeout;
    while (true) {
        pollfd entry{descriptor(handle_), POLLIN, 0};
        const int wait =
            remaining.count() > INT_MAX ? INT_MAX : static_cast<int>(remaining.count());
        const int ready = ::poll(&entry, 1, wait);
        if (ready > 0) {
            if ((entry.revents & POLLNVAL) != 0) {
                return SocketResult<bool>::failure(SocketError::fromCode(EBADF));
            }
            // POLLERR counts as readable: the receive then reports or clears the error.
            return true;
        }
        if (ready == 0 && remaining.count() <= INT_MAX) {
            return false;
        }
        if (ready < 0 && errno != EINTR) {
            return SocketResult<bool>::failure(lastError());
        }
        // Interrupted (or a wait longer than poll can take): go on with what remains, rounded
        // up so the wait never ends early.
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
    sockaddr_storage from;
    std::memset(&from, 0, sizeof from);
    iovec vector{buffer.data(), buffer.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(kMaxIpv4OptionsSize) + 64];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    if (receiveOptions_) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    ssize_t length;
    do {
        length = ::recvmsg(descriptor(handle_), &message, MSG_TRUNC | MSG_DONTWAIT);
    } while (length < 0 && errno == EINTR);
    ReceivedDatagram datagram;
    if (length < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return datagram;
        }
        return SocketResult<ReceivedDatagram>::failure(lastError());
    }
    datagram.received = true;
    // With MSG_TRUNC, Linux returns the datagram's full size even when it was cut.
    datagram.length = static_cast<std::size_t>(length);
    datagram.truncated = (message.msg_flags & MSG_TRUNC) != 0 || datagram.length > buffer.size();
    datagram.from = fromSockaddr(from);
    if (receiveOptions_) {
        datagram.ipOptionsKnown = (message.msg_flags & MSG_CTRUNC) == 0;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            // Linux labels the options IP_RECVOPTS; other systems use IP_OPTIONS.
            if (header->cmsg_level != IPPROTO_IP ||
                (header->cmsg_type != IP_RECVOPTS && header->cmsg_type != IP_OPTIONS)) {
                continue;
            }
            std::size_t size = header->cmsg_len - CMSG_LEN(0);
            if (size > kMaxIpv4OptionsSize) {
                size = kMaxIpv4OptionsSize;
            }
            std::memcpy(datagram.ipOptions.data(), CMSG_DATA(header), size);
            datagram.ipOptionsLength = static_cast<std::uint8_t>(size);
        }
    }
    return datagram;
}

}  // namespace mox::platform
