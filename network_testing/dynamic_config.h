// File: network_testing/dynamic_config.h
//
// `NetworkTestingDynamicConfig`: what the host's platform configuration tells the experiments
// to do (which servers, which ports, how likely each experiment runs, how many probes). A plain
// record with value semantics: every receiver keeps its own copy. A default-constructed record
// holds the defaults that every field keeps when an update does not mention it; with them every
// probability is 0.0, so nothing runs.
//
// Updates never merge: each accepted update is a fresh record built from these defaults plus
// the members the update carries (see network_testing_plugin.h for the subscription).
#pragma once

#include <cstdint>
#include <string>

namespace mox {

// The namespace of the platform configuration that holds this record.
inline constexpr const char kNetworkTestingConfigPath[] =
    "/zek-platform-config/v1/namespaces/NetworkTesting";

struct NetworkTestingDynamicConfig {
    // Comma-separated IPv4 addresses; every piece counts, including empty ones.
    std::string GameLatencyProbeServers;
    std::uint16_t GameLatencyProbePort = 5499;
    // Chance that the background run starts at an update.
    double GameLatencyProbability = 0.0;
    // Seconds to wait for replies after the last probe is sent.
    double GameLatencyTimeoutSecs = 3.0;
    // Probes per server.
    std::uint8_t GameLatencyProbeCount = 5;
    // Payload bytes per probe; at most 1024.
    std::uint16_t GameLatencyProbeSize = 256;

    std::string IPv4OptionsProbeServers;
    std::uint16_t IPv4OptionsProbePort = 5498;
    double IPv4OptionsProbability = 0.0;
    // Probes per option phase.
    std::uint8_t IPv4OptionsProbeCount = 8;

    // Comma-separated IPv6 addresses.
    std::string IPv6SupportProbeServers;
    std::uint16_t IPv6SupportProbePort = 5497;
    double IPv6SupportProbability = 0.0;
    std::uint8_t IPv6SupportProbeCount = 8;
};

}  // namespace mox
