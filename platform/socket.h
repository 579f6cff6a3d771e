// File: platform/socket.h
//
// UDP sockets for the experiments and the probe reflector: numeric addresses, one socket type
// with the few operations they need, and failures as values carrying the system's error code
// and text. Backed by Winsock 2 on Windows and BSD sockets elsewhere; everything below behaves
// the same on both, and every place where the two systems differ is decided here, once:
//
// - Start-up: Winsock is started (`WSAStartup`, version 2.2) once per process, by the first
//   `UdpSocket::open` or `parseNumericAddress`, never while the library is being loaded or
//   unloaded. It is never cleaned up; the process's exit does that.
// - Addresses: `parseNumericAddress` accepts what `WSAStringToAddressA` accepts for the
//   family, restricted to the strict numeric forms both systems agree on (see there). POSIX
//   never uses `inet_aton`, which takes "127.1", "0x7f.1" and trailing junk.
// - IPv6 sockets are v6-only on both systems (`IPV6_V6ONLY` is off by default on Linux, where
//   "::ffff:a.b.c.d" would otherwise leave over IPv4).
// - Sending to the unspecified address (0.0.0.0 or ::, what an unparsable target becomes)
//   fails with the system's "address not available" error (EADDRNOTAVAIL / WSAEADDRNOTAVAIL)
//   on both: Windows refuses it natively, Linux would deliver it to loopback.
// - Readiness: `poll` on POSIX (an `fd_set` overflows for a descriptor of 1024 or more, which a
//   large host process may well hand out), retried on EINTR with the time that remains;
//   `select` on Windows, whose `fd_set` is a list of handles with no such limit.
// - Receiving never blocks and always knows a datagram's full size: POSIX receives with
//   MSG_TRUNC | MSG_DONTWAIT (Linux may report a socket readable and then drop the datagram,
//   after which a blocking receive would hang); Windows reports a datagram cut short as an
//   error, so its backend receives into a scratch buffer of the largest datagram size and
//   copies. Either way a datagram larger than the caller's buffer comes back as `truncated`
//   with its full `length`, and "nothing waiting" is a success with `received` false.
// - An ICMP port-unreachable answer to an earlier send is reported by Windows as a connection
//   reset on a later receive; that is switched off (`SIO_UDP_CONNRESET`), as unconnected POSIX
//   sockets never report it.
// - Error texts come from platform/system_error.h without the trailing "\r\n" that
//   `FormatMessageA` appends (any trailing white space is removed).
// - Batches: `receiveBatch` and `sendBatch` are one `recvmmsg` / `sendmmsg` call on Linux, so a
//   busy server pays one system call per batch rather than per datagram; elsewhere (other
//   POSIX systems, Windows) they loop over the single-datagram calls with the same results.
// - Port sharing: `setReusePort` is `SO_REUSEPORT` on Linux, where every socket bound to the
//   port with it set gets a share of the senders (spread by address and port). Windows has no
//   such option (its `SO_REUSEADDR` lets a second socket take the port over, spreading
//   nothing), so there it fails with "operation not supported" (WSAEOPNOTSUPP).
// - IPv4 header options (`IP_OPTIONS`) are set with the system's own constants (level
//   IPPROTO_IP, option 4 on Linux, 1 on Winsock). Reading the options of a received datagram
//   needs `IP_RECVOPTS`, which Winsock does not offer: there `receiveIpv4Options` fails and
//   datagrams never carry `ipOptions`.
//
// Threads: a `UdpSocket` is not synchronised. One thread may wait and receive while another
// sends on the same socket, but closing, moving or destroying it requires that no other thread
// is inside any call on it (stop and join the users first, then close: a closed descriptor can
// be reused by another thread of the process at once).
//
// Example:
//   auto socket = mox::platform::UdpSocket::open(mox::platform::AddressFamily::IPv4);
//   if (!socket.ok()) return report(socket.error().code, socket.error().text);
//   mox::platform::SocketAddress to =
//       mox::platform::parseNumericAddress("127.0.0.1", AddressFamily::IPv4)
//           .value_or(mox::platform::SocketAddress::unspecified(AddressFamily::IPv4));
//   to.port = 5499;
//   auto sent = socket.value().sendTo(bytes, to);
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace mox::platform {

enum class AddressFamily : std::uint8_t { IPv4, IPv6 };

// A numeric IPv4 or IPv6 address with a port, as plain data. IPv4 uses the first 4 bytes of
// `bytes` (network order, the rest zero); the port is in host order. Flow information and scope
// identifiers are not carried: they are always 0 on the wire.
struct SocketAddress {
    AddressFamily family = AddressFamily::IPv4;
    std::array<std::uint8_t, 16> bytes{};
    std::uint16_t port = 0;

    // 0.0.0.0 or ::, port 0.
    static SocketAddress unspecified(AddressFamily family);
    // 127.0.0.1 or ::1 with the given port.
    static SocketAddress loopback(AddressFamily family, std::uint16_t port = 0);

    // True for 0.0.0.0 and :: (whatever the port).
    bool isUnspecified() const noexcept;
    // "a.b.c.d:port" or "[v6]:port" (RFC 5952 text: lower case, longest zero run as "::").
    std::string toString() const;

    friend bool operator==(const SocketAddress&, const SocketAddress&) = default;
};

// Parses a numeric address of `family` as `WSAStringToAddressA` does and returns it with port
// 0; nullopt when the text is not such an address. Accepted:
//   IPv4: "a.b.c.d" (four decimal parts 0..255 without leading zeros) with an optional
//         ":port" (decimal, 0..65535), which is checked and then ignored;
//   IPv6: "addr", "addr%scope" and "[addr]" or "[addr%scope]" with an optional ":port"; the
//         scope (decimal) and the port are checked and then ignored. An embedded IPv4 tail
//         ("::ffff:1.2.3.4") is allowed.
// Not accepted on any system: host names, "127.1", octal or hex parts, white space, trailing
// text. The address part is converted by `inet_pton` on POSIX and by `WSAStringToAddressA` on
// Windows.
std::optional<SocketAddress> parseNumericAddress(std::string_view text, AddressFamily family);

// A failure of a socket call: the system's error code (errno or the WSA code) and its text.
struct SocketError {
    std::uint32_t code = 0;
    std::string text;

    // The error `code` with the system's text for it.
    static SocketError fromCode(std::uint32_t code);
};

// A value of T or a `SocketError`, in the shape of CallResult: failures only through
// `failure`, no default constructor for a result with a value.
template <class T>
class [[nodiscard]] SocketResult {
  public:
    SocketResult(T value) : value_(std::move(value)) {}
    static SocketResult failure(SocketError error) { return SocketResult(std::move(error), 0); }

    bool ok() const noexcept { return value_.has_value(); }
    // REQUIRES: ok().
    T& value() noexcept { return *value_; }
    const T& value() const noexcept { return *value_; }
    T releaseValue() { return std::move(*value_); }
    // REQUIRES: !ok().
    const SocketError& error() const noexcept { return error_; }

  private:
    SocketResult(SocketError error, int) : error_(std::move(error)) {}
    std::optional<T> value_;
    SocketError error_;
};

// Success or a `SocketError`. A default-made status is success.
class [[nodiscard]] SocketStatus {
  public:
    SocketStatus() = default;
    static SocketStatus failure(SocketError error) {
        SocketStatus status;
        status.failed_ = true;
        status.error_ = std::move(error);
        return status;
    }

    bool ok() const noexcept { return !failed_; }
    // REQUIRES: !ok().
    const SocketError& error() const noexcept { return error_; }

  private:
    bool failed_ = false;
    SocketError error_;
};

// The longest IPv4 options block a header can carry.
inline constexpr std::size_t kMaxIpv4OptionsSize = 40;

// The IPv4 Router Alert option (option number 20, copied flag set): 0x94 0x04, then `value`
// low byte first, so 42 travels as 0x2A 0x00.
std::array<std::uint8_t, 4> routerAlertOption(std::uint16_t value) noexcept;

// What one receive found.
struct ReceivedDatagram {
    // False when no datagram was waiting (the other fields are then zero).
    bool received = false;
    // The datagram's full size, also when it did not fit the buffer.
    std::size_t length = 0;
    // True when `length` > the buffer's size: only the first buffer-size bytes were stored and
    // the rest is lost. Callers that need an exact size simply ignore such a datagram.
    bool truncated = false;
    // The sender.
    SocketAddress from;
    // The IPv4 header options the datagram arrived with, on an IPv4 socket for which
    // `receiveIpv4Options(true)` succeeded; `ipOptionsKnown` is false otherwise.
    bool ipOptionsKnown = false;
    std::uint8_t ipOptionsLength = 0;
    std::array<std::uint8_t, kMaxIpv4OptionsSize> ipOptions{};
};

// One slot of `receiveBatch`: the caller's buffer, then what arrived in it. `length`,
// `truncated` and `from` mean what they mean in ReceivedDatagram; IPv4 options are never read
// by a batch (use `receive` where they matter).
struct DatagramSlot {
    std::span<std::uint8_t> buffer;
    std::size_t length = 0;
    bool truncated = false;
    SocketAddress from;
};

// One datagram of `sendBatch`. The bytes are the caller's and must live through the call.
struct OutgoingDatagram {
    std::span<const std::uint8_t> bytes;
    SocketAddress to;
};

// The most datagrams one batch call hands to the system at a time; larger spans are taken in
// several calls.
inline constexpr std::size_t kMaxSocketBatch = 64;

// An unconnected UDP socket. Move-only; the destructor closes it. A default-made socket is
// closed, and every operation on a closed socket fails (EBADF / WSAENOTSOCK). An address of the
// other family than the socket's fails with "address family not supported" (EAFNOSUPPORT /
// WSAEAFNOSUPPORT) before the system is asked.
class UdpSocket {
  public:
    UdpSocket() noexcept = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // A new UDP socket of `family` (IPv6: v6-only). Starts Winsock on first use on Windows.
    static SocketResult<UdpSocket> open(AddressFamily family);

    bool isOpen() const noexcept;
    AddressFamily family() const noexcept { return family_; }

    // Binds to `address` (port 0: an ephemeral port). REQUIRES: the socket's family.
    SocketStatus bind(const SocketAddress& address);
    // The bound address and port.
    SocketResult<SocketAddress> localAddress() const;

    // Sets the IPv4 header options of every later datagram (`IP_OPTIONS`); an empty block
    // removes them. IPv4 sockets only; the system decides which options it accepts.
    SocketStatus setIpv4Options(std::span<const std::uint8_t> options);
    // Asks for the IPv4 options of received datagrams (`IP_RECVOPTS`). Fails on systems that
    // do not offer it (Windows) and on IPv6 sockets.
    SocketStatus receiveIpv4Options(bool enable);

    // Asks the system for a receive buffer of `bytes` (`SO_RCVBUF`), so a burst of datagrams
    // is queued rather than dropped. The system may grant less (Linux caps it at
    // net.core.rmem_max); that is not a failure.
    SocketStatus setReceiveBufferSize(std::size_t bytes);

    // Lets further sockets bind this socket's address and port and share its datagrams (see
    // "Port sharing" above). REQUIRES: called before `bind`, on every socket that shares.
    SocketStatus setReusePort(bool enable);

    // Sends one datagram to `to` and returns the number of bytes the system took (a partial
    // send is not an error here: callers compare with the size). Refuses the unspecified
    // address with "address not available" (see the top of this file). May block briefly
    // while the system's send buffer is full.
    SocketResult<std::size_t> sendTo(std::span<const std::uint8_t> datagram,
                                     const SocketAddress& to);

    // Waits until a datagram is waiting or `timeout` passes; true when readable. A negative
    // timeout counts as 0 (poll once). Interruptions by signals are retried with the time
    // that remains, so the wait ends no earlier than asked unless a datagram arrives.
    SocketResult<bool> waitReadable(std::chrono::milliseconds timeout);

    // Takes the next waiting datagram, if any, without blocking (see ReceivedDatagram).
    SocketResult<ReceivedDatagram> receive(std::span<std::uint8_t> buffer);

    // Takes the waiting datagrams, without blocking, into the slots from the first on, and
    // returns how many slots were filled (0: nothing was waiting). A failure is reported only
    // when no datagram was taken; after one, the call returns what it has and the next call
    // reports the failure.
    SocketResult<std::size_t> receiveBatch(std::span<DatagramSlot> slots);

    // Sends the datagrams in order and returns how many from the front the system took whole.
    // Each one is checked as `sendTo` checks it (family, unspecified address). A failure is
    // reported only when the first datagram fails; after any success the call returns the
    // count, and calling again with the rest reports the failure of the next. May block
    // briefly while the system's send buffer is full.
    SocketResult<std::size_t> sendBatch(std::span<const OutgoingDatagram> datagrams);

    // Closes the socket; a no-op when closed. See "Threads" above.
    void close() noexcept;

  private:
    // A descriptor (POSIX) or SOCKET (Windows); kInvalidHandle when closed.
    static constexpr std::uintptr_t kInvalidHandle = ~std::uintptr_t{0};

    UdpSocket(std::uintptr_t handle, AddressFamily family) noexcept
        : handle_(handle), family_(family) {}

    std::uintptr_t handle_ = kInvalidHandle;
    AddressFamily family_ = AddressFamily::IPv4;
    bool receiveOptions_ = false;
    // The Windows backend's receive buffer (largest datagram size), made on first receive;
    // unused on POSIX.
    std::unique_ptr<std::uint8_t[]> scratch_;
};

}  // namespace mox::platform
