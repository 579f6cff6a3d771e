// Helpers of the stress suite: the plugin's configuration pointed at an in-process probe
// reflector on loopback, the host double's requests by kind, and the counters read from the
// plugin and the process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "binding/values/value.h"
#include "host/host_double.h"
#include "network_testing/dynamic_config.h"
#include "plugin/entry/memory_stats.h"
#include "routing/request_method.h"
#include "routing/route_template.h"
#include "tools/reflector/probe_reflector.h"

// Set by the build for sanitizer builds, whose memory figures are not the product's.
#ifndef MOX_STRESS_SANITIZED
#define MOX_STRESS_SANITIZED 0
#endif

namespace mox::stress {

inline constexpr bool kSanitizedBuild = MOX_STRESS_SANITIZED != 0;

inline constexpr const char kConfigKey[] =
    "OnJsonApiEvent_zek-platform-config_v1_namespaces_NetworkTesting";
inline constexpr const char kExperimentsPath[] = "/network-testing/v1/experiments";
inline constexpr const char kGameLatencyPath[] = "/network-testing/v1/game-latency";
inline constexpr const char kResultsPath[] = "/network-testing/v1/game-latency/results";
inline constexpr const char kTelemetryPrefix[] = "/telemetry/v1/events/";

// The shipped library, as the build names it (a path, or a file name found beside the test
// executable on Windows).
inline const char* pluginLibrary() {
    return MOX_PLUGIN_LIBRARY;
}

inline std::string functionFor(RequestMethod method, const char* templateText) {
    return functionNameFor(method, templateText);
}

// A reflector on 127.0.0.1 (and ::1 where the system has it) answering after `replyDelay`;
// `loss` 1.0 makes one that never answers a game-latency probe.
inline std::unique_ptr<reflector::ProbeReflector> startReflector(
    std::chrono::microseconds replyDelay = std::chrono::microseconds(0), double loss = 0.0) {
    reflector::ReflectorOptions options;
    options.skipUnavailableAddresses = true;
    options.replyDelay = replyDelay;
    options.loss = loss;
    auto started = reflector::ProbeReflector::start(options);
    if (!started.ok()) {
        ADD_FAILURE() << "the reflector did not start: " << started.error().message;
        return nullptr;
    }
    return std::move(started.value());
}

inline std::uint16_t portOf(const reflector::ProbeReflector& reflector, reflector::ProbeKind kind,
                            platform::AddressFamily family) {
    const auto endpoint = reflector.endpoint(kind, family);
    return endpoint ? endpoint->port : 0;
}

// What the configuration asks of the experiments.
struct Plan {
    double gameLatencyProbability = 1.0;
    double gameLatencyTimeoutSecs = 0.5;
    std::uint64_t gameLatencyProbeCount = 2;
    double ipv4OptionsProbability = 0.0;
    double ipv6SupportProbability = 0.0;
};

// The configuration namespace's value: every experiment against `reflector` (IPv6 only where
// the reflector serves ::1), each with one or two probes so the runs stay short.
inline Value configuration(const reflector::ProbeReflector& reflector, const Plan& plan) {
    using platform::AddressFamily;
    using reflector::ProbeKind;
    Value value;
    value.makeStructure();
    value.member("GameLatencyProbeServers").setString("127.0.0.1");
    value.member("GameLatencyProbePort")
        .setUnsigned(portOf(reflector, ProbeKind::GameLatency, AddressFamily::IPv4));
    value.member("GameLatencyProbability").setFloat(plan.gameLatencyProbability);
    value.member("GameLatencyTimeoutSecs").setFloat(plan.gameLatencyTimeoutSecs);
    value.member("GameLatencyProbeCount").setUnsigned(plan.gameLatencyProbeCount);
    value.member("GameLatencyProbeSize").setUnsigned(16);
    value.member("IPv4OptionsProbeServers").setString("127.0.0.1");
    value.member("IPv4OptionsProbePort")
        .setUnsigned(portOf(reflector, ProbeKind::IPv4Options, AddressFamily::IPv4));
    value.member("IPv4OptionsProbability").setFloat(plan.ipv4OptionsProbability);
    value.member("IPv4OptionsProbeCount").setUnsigned(1);
    const std::uint16_t ipv6Port = portOf(reflector, ProbeKind::IPv6Support, AddressFamily::IPv6);
    value.member("IPv6SupportProbeServers").setString("::1");
    value.member("IPv6SupportProbePort").setUnsigned(ipv6Port);
    value.member("IPv6SupportProbability")
        .setFloat(ipv6Port != 0 ? plan.ipv6SupportProbability : 0);
    value.member("IPv6SupportProbeCount").setUnsigned(1);
    return value;
}

// A resource change event of the configuration namespace.
inline Value configurationEvent(const char* type, const Value& data) {
    Value event;
    event.member("uri").setString(kNetworkTestingConfigPath);
    event.member("eventType").setString(type);
    event.member("data") = data;
    return event;
}

// Serves the configuration and answers every telemetry post, after `telemetryDelay` (a host
// that keeps the posting worker waiting).
inline void serveHost(host::HostDouble& host, const Value& config,
                      std::chrono::milliseconds telemetryDelay) {
    host.serve(host::kGet, kNetworkTestingConfigPath, host::Reply::withValue(config));
    for (const char* event :
         {"probes__game_latency", "probes__ipv4_options", "probes__ipv6_support"}) {
        host::Reply reply = host::Reply::ok();
        reply.delay = telemetryDelay;
        host.serve(host::kPost, std::string(kTelemetryPrefix) + event, reply);
    }
}

// The status of every experiment, by name ("?" when unreadable).
inline std::string statusOf(host::HostDouble& host, const char* experiment) {
    const host::CallAnswer answer =
        host.call(functionFor(RequestMethod::Get, kExperimentsPath), host::kGet, kExperimentsPath);
    const Value& status = answer.body.find("experiments").find(experiment).find("status");
    return std::string(status.asString("?"));
}

inline bool anyInProgress(host::HostDouble& host) {
    for (const char* name : {"game_latency", "ipv4_options", "ipv6_support"}) {
        if (statusOf(host, name) == "InProgress") {
            return true;
        }
    }
    return false;
}

// Polls `condition` every millisecond until it holds or `timeout` passes.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::int64_t bytesInUse(const MemoryStats& stats) {
    return static_cast<std::int64_t>(stats.bytesAllocated - stats.bytesFreed);
}

inline std::int64_t blocksInUse(const MemoryStats& stats) {
    return static_cast<std::int64_t>(stats.allocations - stats.frees);
}

}  // namespace mox::stress
