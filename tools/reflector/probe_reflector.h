// File: tools/reflector/probe_reflector.h
//
// `ProbeReflector`: a UDP probe server for the three network experiments, for tests, demos and
// probe hosts. On each bind address it opens the sockets of the experiments that address's
// family serves (IPv4: game latency and IPv4 options; IPv6: game latency and IPv6 support),
// and one thread per socket then
// - answers every well-formed game-latency probe with its 12-byte reply (see
//   probe_datagrams.h), after `replyDelay` measured from the probe's arrival and unless the
//   seeded loss draw drops it; anything else is counted as malformed and never answered, and a
//   reply is never longer than its probe (12 bytes for at least 16), so the reflector cannot
//   be used to amplify traffic;
// - counts and records IPv4 options probes per experiment identifier, with whether each one
//   arrived with the Router Alert option (read back from the IPv4 header where the system
//   allows it: Linux; elsewhere the option is "unknown");
// - counts and records IPv6 support probes per experiment identifier.
// It serves any number of clients at once: it keeps no per-client state beyond the set of
// senders seen. Everything it keeps is bounded by `recordLimit`, so a flood of distinct
// senders or identifiers cannot exhaust memory: past the limit, datagrams are still counted
// but no longer recorded.
//
// Throughput: game-latency probes are taken and answered in batches (one system call per
// batch where the system offers one, see platform/socket.h), and the shared counters are
// updated once per batch, so one thread outpaces a plain receive-and-send loop;
// `gameLatencyThreads` adds threads that share the port.
//
// Threads: `start` returns a running reflector; `snapshot`, the record lists and `endpoints`
// may be called from any thread while it runs. `stop` (also run by the destructor) ends and
// joins every thread within about 20 milliseconds; replies still waiting for their delay are
// dropped.
//
// Timing: a reply is due `replyDelay` after its probe was taken from the socket; the thread
// waits for the next due reply (or the next datagram), sleeps to about 200 microseconds
// before it, and spins out the rest reading the clock, so a reply is never early and late
// only by the time a send takes (microseconds), unless that sleep wakes more than 200
// microseconds late (a loaded machine; on Windows, sleeps are rounded to the system timer's
// period) or the thread is preempted during the spin. Datagrams that arrive during the last
// 2 milliseconds before a due reply are taken once it is sent, and their delay counts from
// then.
//
// Example:
//   mox::reflector::ReflectorOptions options;  // 127.0.0.1 and ::1, ephemeral ports
//   options.replyDelay = std::chrono::milliseconds(5);
//   auto reflector = mox::reflector::ProbeReflector::start(options);
//   if (!reflector.ok()) return fail(reflector.error().message);
//   auto port = reflector.value()->endpoint(ProbeKind::GameLatency, AddressFamily::IPv4)->port;
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "plugin/call_result.h"

namespace mox::reflector {

enum class ProbeKind : std::uint8_t { GameLatency, IPv4Options, IPv6Support };

// "game_latency", "ipv4_options", "ipv6_support".
const char* probeKindName(ProbeKind kind);

struct ReflectorOptions {
    // The addresses to serve; each gets the sockets its family serves.
    std::vector<platform::SocketAddress> bindAddresses = {
        platform::SocketAddress::loopback(platform::AddressFamily::IPv4),
        platform::SocketAddress::loopback(platform::AddressFamily::IPv6)};
    // Ports per experiment; 0 picks an ephemeral port (one per socket, see `endpoints`).
    std::uint16_t gameLatencyPort = 0;
    std::uint16_t ipv4OptionsPort = 0;
    std::uint16_t ipv6SupportPort = 0;
    // When true, an address whose family the system lacks or that cannot be bound is skipped
    // (and listed in `skippedAddresses`) instead of failing `start`, as long as one remains.
    bool skipUnavailableAddresses = false;
    // Time from a probe's arrival to its reply; negative counts as 0.
    std::chrono::microseconds replyDelay{0};
    // Share of well-formed game-latency probes left unanswered, in [0, 1]. Each probe makes one
    // draw from a 64-bit Mersenne Twister seeded with `lossSeed` and the socket's position, so a
    // given sequence of probes on one socket loses the same probes in every run.
    double loss = 0.0;
    std::uint64_t lossSeed = 0;
    // Threads (and sockets) serving game-latency probes on each bind address. Above 1 the
    // sockets share the port (SO_REUSEPORT) and the system spreads the senders among them,
    // each sender staying with one socket; `start` fails where the system cannot share a port
    // (Windows). 0 counts as 1.
    std::size_t gameLatencyThreads = 1;
    // The most senders, identifiers and records kept (each); also the most replies waiting
    // for their delay per socket (further probes are then dropped and counted).
    std::size_t recordLimit = 100000;
};

// One bound socket.
struct Endpoint {
    ProbeKind kind = ProbeKind::GameLatency;
    platform::SocketAddress address;  // with the bound port
};

// Counters of one experiment, over all its sockets.
struct ExperimentCounters {
    std::uint64_t datagrams = 0;  // received
    std::uint64_t malformed = 0;  // not a well-formed probe of this experiment: ignored
    std::uint64_t clients = 0;    // distinct senders (address and port) of well-formed probes
    // Game latency only.
    std::uint64_t answered = 0;      // replies sent
    std::uint64_t lost = 0;          // dropped by the loss draw
    std::uint64_t overflowed = 0;    // dropped because too many replies were waiting
    std::uint64_t sendFailures = 0;  // replies the system refused
    std::uint64_t receiveFailures = 0;
};

// IPv4 options probes of one experiment identifier.
struct Ipv4OptionsCounts {
    std::uint64_t withRouterAlert = 0;
    std::uint64_t withoutRouterAlert = 0;
    std::uint64_t routerAlertUnknown = 0;  // the system cannot read received options
};

struct ReflectorSnapshot {
    ExperimentCounters gameLatency;
    ExperimentCounters ipv4Options;
    ExperimentCounters ipv6Support;
    std::map<std::uint64_t, Ipv4OptionsCounts> ipv4OptionsById;
    std::map<std::uint64_t, std::uint64_t> ipv6SupportById;
};

// One IPv4 options probe as it arrived.
struct Ipv4OptionsRecord {
    platform::SocketAddress from;
    std::uint64_t experimentId = 0;
    std::uint8_t optionNumber = 0;  // as the probe states its phase: 0 or 20
    std::uint8_t index = 0;
    std::uint16_t optionValue = 0;  // as the probe states it
    bool optionsKnown = false;      // false where received options cannot be read
    // The Router Alert option found in the IPv4 header, if any (its value low byte first).
    std::optional<std::uint16_t> routerAlert;
};

struct Ipv6SupportRecord {
    platform::SocketAddress from;
    std::uint64_t experimentId = 0;
    std::uint8_t index = 0;
};

class ProbeReflector {
  public:
    // Opens and binds every socket, then starts the threads. Fails, with nothing left running,
    // when a socket cannot be opened or bound (unless skipped, see ReflectorOptions) or a
    // thread cannot be started; the error's code is the system's, its message names the
    // address.
    static CallResult<std::unique_ptr<ProbeReflector>> start(const ReflectorOptions& options);

    ~ProbeReflector();
    ProbeReflector(const ProbeReflector&) = delete;
    ProbeReflector& operator=(const ProbeReflector&) = delete;

    // The bound sockets, in bind-address order (sockets that share a port are listed once).
    const std::vector<Endpoint>& endpoints() const { return endpoints_; }
    // The first bound socket of `kind` on `family`.
    std::optional<platform::SocketAddress> endpoint(ProbeKind kind,
                                                    platform::AddressFamily family) const;
    // "address: error" for every bind address that was skipped.
    const std::vector<std::string>& skippedAddresses() const { return skipped_; }

    ReflectorSnapshot snapshot() const;
    std::vector<Ipv4OptionsRecord> ipv4OptionsRecords() const;
    std::vector<Ipv6SupportRecord> ipv6SupportRecords() const;

    // Ends and joins the threads and closes the sockets; idempotent.
    void stop();

  private:
    struct State;
    struct Worker;
    ProbeReflector();

    std::vector<Endpoint> endpoints_;
    std::vector<std::string> skipped_;
    std::unique_ptr<State> state_;
    std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace mox::reflector
