#include "network_testing/game_latency_probe.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

#include "network_testing/experiment_draw.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace mox {

namespace {

// How long one readiness wait lasts at most; the stop flag is looked at between waits.
constexpr std::chrono::milliseconds kReplyWait{50};

struct PendingProbe {
    GameLatencyExperimentResult result;
    std::int64_t sentAt = 0;  // monotonic nanoseconds
};

CallResult<GameLatencyExperimentResults> fail(const char* message, std::uint32_t code = 0) {
    return CallResult<GameLatencyExperimentResults>::failure(CallError::withCode(code, message));
}

std::int64_t now() noexcept {
    return static_cast<std::int64_t>(platform::monotonicNanoseconds());
}

}  // namespace

void encodeGameLatencyProbe(std::span<std::uint8_t> datagram, std::uint32_t id) noexcept {
    std::fill(datagram.begin(), datagram.begin() + 8, std::uint8_t{0});
    datagram[8] = 0x01;
    datagram[9] = 0x81;
    datagram[10] = static_cast<std::uint8_t>(id);
    datagram[11] = static_cast<std::uint8_t>(id >> 8);
    datagram[12] = 0x05;
    datagram[13] = 0x01;
    datagram[14] = static_cast<std::uint8_t>(id >> 16);
    datagram[15] = static_cast<std::uint8_t>(id >> 24);
}

std::optional<std::uint32_t> decodeGameLatencyReply(
    std::span<const std::uint8_t> datagram) noexcept {
    if (datagram.size() != kGameLatencyReplySize || datagram[4] != 0x01) {
        return std::nullopt;
    }
    const std::uint32_t high =
        static_cast<std::uint32_t>(datagram[8]) | (static_cast<std::uint32_t>(datagram[9]) << 8);
    const std::uint32_t low =
        static_cast<std::uint32_t>(datagram[10]) | (static_cast<std::uint32_t>(datagram[11]) << 8);
    return (high << 16) | low;
}

std::string formatUtcTimestamp(std::int64_t secondsSince1970) {
    platform::UtcTime utc;
    if (!platform::utcTimeFromSeconds(secondsSince1970, utc)) {
        return {};
    }
    char buffer[32];
    const int written = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ",
                                      static_cast<int>(utc.year), static_cast<int>(utc.month),
                                      static_cast<int>(utc.day), static_cast<int>(utc.hour),
                                      static_cast<int>(utc.minute), static_cast<int>(utc.second));
    if (written <= 0 || static_cast<std::size_t>(written) >= sizeof buffer) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(written));
}

CallResult<GameLatencyExperimentResults> runProbes(const NetworkTestingDynamicConfig& config,
                                                   const std::atomic<bool>& stop) {
    if (config.GameLatencyProbeCount == 0) {
        return fail("No probes configured");
    }
    if (config.GameLatencyProbeSize > kGameLatencyMaxProbeSize) {
        return fail("Probe size too large");
    }
    std::vector<std::string> servers = splitServerList(config.GameLatencyProbeServers);
    if (servers.empty()) {
        return fail("No probe servers configured");
    }

    auto opened = platform::UdpSocket::open(platform::AddressFamily::IPv4);
    if (!opened.ok()) {
        return fail("Error creating UDP socket", opened.error().code);
    }
    platform::UdpSocket socket = opened.releaseValue();  // closed on every way out

    std::mt19937 generator(nonDeterministicSeed());
    for (std::size_t i = 1; i < servers.size(); ++i) {
        std::uniform_int_distribution<std::size_t> pick(0, i);
        const std::size_t j = pick(generator);
        if (j != i) {
            std::swap(servers[i], servers[j]);
        }
    }
    servers.resize(std::min(servers.size(), kGameLatencyMaxServers));

    std::unordered_map<std::uint32_t, PendingProbe> pending;
    pending.max_load_factor(1.0f);
    pending.rehash(8);

    const std::uint16_t size = config.GameLatencyProbeSize;
    std::vector<std::uint8_t> datagram(kGameLatencyProbeHeaderSize + size, 0);
    for (const std::string& server : servers) {
        platform::SocketAddress to =
            platform::parseNumericAddress(server, platform::AddressFamily::IPv4)
                .value_or(platform::SocketAddress::unspecified(platform::AddressFamily::IPv4));
        to.port = config.GameLatencyProbePort;
        for (unsigned j = 0; j < config.GameLatencyProbeCount; ++j) {
            const std::uint32_t id = static_cast<std::uint32_t>(generator());
            encodeGameLatencyProbe(datagram, id);
            auto sent = socket.sendTo(datagram, to);
            // Read right after the send returns: the table's bookkeeping below (an insertion,
            // a copy of the server text) must not count as time on the wire.
            const std::int64_t sentAt = now();
            if (!sent.ok()) {
                continue;
            }
            PendingProbe& entry = pending[id];
            entry.result.server = server;
            entry.result.size = size;
            entry.result.latency.reset();
            entry.sentAt = sentAt;
        }
    }

    const std::int64_t waitStart = now();
    const double timeoutSecs =
        std::isnan(config.GameLatencyTimeoutSecs) ? 0.0 : config.GameLatencyTimeoutSecs;
    const double timeoutNs = timeoutSecs * 1000000000.0;
    std::int64_t lastReading = waitStart;
    std::size_t matched = 0;
    std::uint8_t reply[kGameLatencyReplySize];
    while (matched < pending.size()) {
        if (stop.load(std::memory_order_acquire)) {
            return fail("Exiting");
        }
        if (static_cast<double>(lastReading - waitStart) > timeoutNs) {
            break;
        }
        auto readable = socket.waitReadable(kReplyWait);
        if (!readable.ok()) {
            return fail("Error waiting for ping replies", readable.error().code);
        }
        lastReading = now();
        if (!readable.value()) {
            continue;
        }
        auto received = socket.receive(reply);
        if (!received.ok() || !received.value().received || received.value().truncated ||
            received.value().length != kGameLatencyReplySize) {
            continue;
        }
        const std::optional<std::uint32_t> id = decodeGameLatencyReply(reply);
        if (!id) {
            continue;
        }
        auto found = pending.find(*id);
        if (found == pending.end() || found->second.result.latency.has_value()) {
            continue;  // unknown, or a duplicate: the first reply counts, once
        }
        found->second.result.latency =
            static_cast<double>(lastReading - found->second.sentAt) / 1000000.0;
        ++matched;
    }

    GameLatencyExperimentResults results;
    results.results.reserve(pending.size());
    for (auto& [id, entry] : pending) {
        results.results.push_back(std::move(entry.result));
    }
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    results.timestamp =
        formatUtcTimestamp(std::chrono::duration_cast<std::chrono::seconds>(wall).count());
    return results;
}

TelemetryFields gameLatencyTelemetryFields(const GameLatencyExperimentResults& results) {
    double sum = 0.0;
    std::size_t received = 0;
    for (const GameLatencyExperimentResult& result : results.results) {
        if (result.latency.has_value()) {
            sum += *result.latency;
            ++received;
        }
    }
    // Multiply first, then divide: the field carries the mean in milliseconds times 1000.
    const double mean = received == 0 ? 0.0 : (sum * 1000.0) / static_cast<double>(received);
    // "%f" without the host's locale: to_chars always writes a point.
    char number[400];
    const auto printed =
        std::to_chars(number, number + sizeof number, mean, std::chars_format::fixed, 6);
    TelemetryFields fields;
    fields["latency_ms"] =
        printed.ec == std::errc() ? std::string(number, printed.ptr) : std::string("0.000000");
    fields["probes.sent"] = std::to_string(results.results.size());
    fields["probes.received"] = std::to_string(received);
    return fields;
}

}  // namespace mox
