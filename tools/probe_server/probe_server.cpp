#include "tools/probe_server/probe_server.h"

#include <cinttypes>
#include <cstdio>

namespace mox::probe_server {

using platform::AddressFamily;

CallResult<std::vector<platform::SocketAddress>> parseBindAddresses(
    const std::vector<std::string>& texts) {
    std::vector<platform::SocketAddress> addresses;
    for (const std::string& text : texts) {
        auto address = platform::parseNumericAddress(text, AddressFamily::IPv4);
        if (!address) {
            address = platform::parseNumericAddress(text, AddressFamily::IPv6);
        }
        if (!address) {
            return CallResult<std::vector<platform::SocketAddress>>::failure(
                CallError::withCode(0, "'" + text + "' is not a numeric IPv4 or IPv6 address"));
        }
        addresses.push_back(*address);
    }
    return addresses;
}

std::string formatEndpoints(const reflector::ProbeReflector& reflector) {
    std::string out;
    for (const reflector::Endpoint& endpoint : reflector.endpoints()) {
        out += "listening ";
        out += reflector::probeKindName(endpoint.kind);
        out += ' ';
        out += endpoint.address.toString();
        out += '\n';
    }
    for (const std::string& skipped : reflector.skippedAddresses()) {
        out += "skipped " + skipped + '\n';
    }
    return out;
}

namespace {

// Identifiers listed per experiment; a flood of made-up identifiers must not flood the output.
constexpr std::size_t kMaxIdentifiersShown = 100;

void appendf(std::string& out, const char* format, auto... values) {
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    out += line;
}

}  // namespace

std::string formatCounters(const reflector::ReflectorSnapshot& snapshot, const std::string& title) {
    std::string out = title + ":\n";
    const reflector::ExperimentCounters& game = snapshot.gameLatency;
    appendf(out,
            "game_latency: probes answered %" PRIu64 ", clients seen %" PRIu64
            ", datagrams %" PRIu64 ", malformed %" PRIu64 ", lost %" PRIu64 ", overflowed %" PRIu64
            ", send failures %" PRIu64 "\n",
            game.answered, game.clients, game.datagrams, game.malformed, game.lost, game.overflowed,
            game.sendFailures);
    const reflector::ExperimentCounters& v4 = snapshot.ipv4Options;
    appendf(out,
            "ipv4_options: datagrams %" PRIu64 ", clients seen %" PRIu64 ", malformed %" PRIu64
            ", experiments %zu\n",
            v4.datagrams, v4.clients, v4.malformed, snapshot.ipv4OptionsById.size());
    std::size_t shown = 0;
    for (const auto& [id, counts] : snapshot.ipv4OptionsById) {
        if (++shown > kMaxIdentifiersShown) {
            appendf(out, "  and %zu more\n",
                    snapshot.ipv4OptionsById.size() - kMaxIdentifiersShown);
            break;
        }
        appendf(out,
                "  experiment %" PRIu64 ": with Router Alert %" PRIu64
                ", without Router Alert %" PRIu64 ", Router Alert unknown %" PRIu64 "\n",
                id, counts.withRouterAlert, counts.withoutRouterAlert, counts.routerAlertUnknown);
    }
    const reflector::ExperimentCounters& v6 = snapshot.ipv6Support;
    appendf(out,
            "ipv6_support: datagrams %" PRIu64 ", clients seen %" PRIu64 ", malformed %" PRIu64
            ", experiments %zu\n",
            v6.datagrams, v6.clients, v6.malformed, snapshot.ipv6SupportById.size());
    shown = 0;
    for (const auto& [id, count] : snapshot.ipv6SupportById) {
        if (++shown > kMaxIdentifiersShown) {
            appendf(out, "  and %zu more\n",
                    snapshot.ipv6SupportById.size() - kMaxIdentifiersShown);
            break;
        }
        appendf(out, "  experiment %" PRIu64 ": datagrams %" PRIu64 "\n", id, count);
    }
    return out;
}

}  // namespace mox::probe_server
