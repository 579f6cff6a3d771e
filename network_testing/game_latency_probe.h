// File: network_testing/game_latency_probe.h
//
// One game-latency measurement (`runProbes`): the probe and reply wire formats, the run over
// UDP, and the telemetry fields made from its results. Nothing here keeps state between runs:
// a run works on the configuration it is given, with a socket, a pending-probe table and a
// generator of its own, and reads only the caller's stop flag.
//
// Probe datagram (16 + size bytes; multi-byte fields little-endian):
//   0..7 zero | 8: 0x01 | 9: 0x81 | 10..11 low 16 bits of the id | 12: 0x05 | 13: 0x01 |
//   14..15 high 16 bits of the id | then `size` zero bytes.
// Reply datagram (exactly 12 bytes, anything else is ignored):
//   4: 0x01 | 8..9 high 16 bits of the id | 10..11 low 16 bits (bytes 0..3 and 5..7 unread).
//
// How the run differs from a literal reading of its description, and why:
//   - each identifier is counted once and keeps its first latency: a duplicated or replayed
//     reply would otherwise end the wait while a distinct probe is still unanswered, and
//     replace the first round-trip time by a later one;
//   - the stop flag is checked on every pass of the wait, not only after a wait that timed
//     out: the socket is unconnected, so any peer can keep it readable with junk until the
//     deadline, which a large timeout puts arbitrarily far away;
//   - the deadline is compared as the time elapsed since the last send against the timeout in
//     nanoseconds, both as doubles, so no huge or non-finite double is converted to an integer.
//     A timeout that is NaN counts as 0 (a NaN deadline would never pass); a negative one also
//     waits exactly once, like 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "network_testing/dynamic_config.h"
#include "network_testing/game_latency_results.h"
#include "plugin/call_result.h"
#include "plugin/telemetry_sink.h"

namespace mox {

inline constexpr std::size_t kGameLatencyProbeHeaderSize = 16;
inline constexpr std::uint16_t kGameLatencyMaxProbeSize = 1024;
inline constexpr std::size_t kGameLatencyReplySize = 12;
// At most this many servers of the (shuffled) list are probed by one run.
inline constexpr std::size_t kGameLatencyMaxServers = 4;

// Writes the header of the probe with identifier `id` into the first 16 bytes of `datagram`;
// the rest is left as it is (zero in a fresh buffer). REQUIRES: datagram.size() >= 16.
void encodeGameLatencyProbe(std::span<std::uint8_t> datagram, std::uint32_t id) noexcept;

// The identifier a reply carries, or nothing when the datagram is not exactly 12 bytes or its
// byte 4 is not 0x01.
std::optional<std::uint32_t> decodeGameLatencyReply(
    std::span<const std::uint8_t> datagram) noexcept;

// "%Y-%m-%dT%H:%M:%SZ" of `secondsSince1970` in UTC; "" when the time cannot be converted.
std::string formatUtcTimestamp(std::int64_t secondsSince1970);

// One probe run with `config`'s game-latency fields. Failures (code 0 unless noted):
//   "No probes configured"            GameLatencyProbeCount is 0 (checked first);
//   "Probe size too large"            GameLatencyProbeSize > 1024 (1024 is allowed);
//   "No probe servers configured"     the split of the server list gave no piece;
//   "Error creating UDP socket"       with the system's error code;
//   "Error waiting for ping replies"  the readiness wait failed, with the system's code;
//   "Exiting"                         `stop` was seen set while waiting for replies.
// Unanswered probes, failed sends and unparsable addresses are not failures.
// Blocks for the sending time plus at most the timeout and one 50 ms wait, or one wait after
// `stop` is set. Any thread; `stop` may be set from another thread at any time.
CallResult<GameLatencyExperimentResults> runProbes(const NetworkTestingDynamicConfig& config,
                                                   const std::atomic<bool>& stop);

// The fields of the event "probes__game_latency" for `results`:
//   "latency_ms"       (sum of the latencies in ms x 1000) / (number of them), "%f";
//                      "0.000000" when no probe was answered;
//   "probes.sent"      the number of entries, decimal;
//   "probes.received"  the number of entries with a latency, decimal.
TelemetryFields gameLatencyTelemetryFields(const GameLatencyExperimentResults& results);

inline constexpr const char kGameLatencyTelemetryEvent[] = "probes__game_latency";

}  // namespace mox
