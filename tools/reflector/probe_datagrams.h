// File: tools/reflector/probe_datagrams.h
//
// The three probe datagrams the experiments send, as the reflector reads them, and the one
// reply it writes. Pure functions over byte spans: nothing here touches a socket.
//
//   game latency (16 + size bytes, size 0..1024): 8 zero bytes, 01, 81, the identifier's low
//       half little-endian, 05, 01, the high half little-endian, then `size` zero bytes;
//   game latency reply (12 bytes): 4 zero bytes, 01, 3 zero bytes, the request's bytes 14-15
//       (high half), then its bytes 10-11 (low half);
//   IPv4 options (14 bytes): 01, 01, the experiment identifier (8 bytes little-endian), the
//       option number of the phase (0 or 20), the index, the option value (2 bytes LE);
//   IPv6 support (11 bytes): 01, 02, the experiment identifier (8 bytes LE), the index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace mox::reflector {

inline constexpr std::size_t kProbeHeaderSize = 16;
inline constexpr std::size_t kMaxProbePayload = 1024;
inline constexpr std::size_t kMaxProbeSize = kProbeHeaderSize + kMaxProbePayload;
inline constexpr std::size_t kReplySize = 12;
inline constexpr std::size_t kIpv4OptionsProbeSize = 14;
inline constexpr std::size_t kIpv6SupportProbeSize = 11;

// The reply to a well-formed game-latency probe; nullopt for anything else (wrong size, a
// header byte that differs, a payload byte that is not zero).
std::optional<std::array<std::uint8_t, kReplySize>> gameLatencyReply(
    std::span<const std::uint8_t> probe);

// A well-formed IPv4 options probe: option number 0 or 20.
struct Ipv4OptionsProbe {
    std::uint64_t experimentId = 0;
    std::uint8_t optionNumber = 0;
    std::uint8_t index = 0;
    std::uint16_t optionValue = 0;
};
std::optional<Ipv4OptionsProbe> parseIpv4OptionsProbe(std::span<const std::uint8_t> datagram);

struct Ipv6SupportProbe {
    std::uint64_t experimentId = 0;
    std::uint8_t index = 0;
};
std::optional<Ipv6SupportProbe> parseIpv6SupportProbe(std::span<const std::uint8_t> datagram);

// The value of the Router Alert option (type 0x94, length 4) in an IPv4 options block, read
// low byte first as the experiment writes it; nullopt when the block has none. Walks the
// block's option list (0 ends it, 1 is a one-byte filler) and stops at a malformed length.
std::optional<std::uint16_t> findRouterAlert(std::span<const std::uint8_t> options);

}  // namespace mox::reflector
