// Helpers of the fault suite: the whole plugin behind the host double (`PluginHarness`), the
// namespace values it is configured with, a bounded wait, and `FailingAllocations`, which
// fails the n-th allocation the plugin makes on one thread.
//
// This suite is linked with the library's own operator new (plugin/library), as the shipped
// library is, so every C++ allocation of the process goes through the allocation hooks: a
// failing hook reaches the plugin's containers and objects, and `memoryStats()` counts every
// block the process holds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "binding/values/value.h"
#include "host/host_double.h"
#include "network_testing/dynamic_config.h"
#include "platform/abi.h"
#include "plugin/entry/allocation.h"
#include "plugin/entry/plugin_entry.h"
#include "routing/request_method.h"
#include "routing/route_template.h"
#include "tools/reflector/probe_reflector.h"

extern "C" void MOX_CDECL load_network_testing(mox::PluginLoadRecord* record);

namespace mox::faults {

using namespace std::chrono_literals;

// The reflector on 127.0.0.1 and, where the system has it, ::1.
inline reflector::ReflectorOptions loopbackReflector() {
    reflector::ReflectorOptions options;
    options.skipUnavailableAddresses = true;
    return options;
}

inline constexpr const char kConfigKey[] =
    "OnJsonApiEvent_zek-platform-config_v1_namespaces_NetworkTesting";
inline constexpr const char kExperimentsPath[] = "/network-testing/v1/experiments";
inline constexpr const char kGameLatencyPath[] = "/network-testing/v1/game-latency";
inline constexpr const char kTelemetryPrefix[] = "/telemetry/v1/events/";

// A namespace value holding only the members given.
using Members = std::map<std::string, std::function<void(Value&)>>;

inline Value configValue(const Members& members) {
    Value value;
    value.makeStructure();
    for (const auto& [name, set] : members) {
        set(value.member(name));
    }
    return value;
}

inline std::function<void(Value&)> number(double x) {
    return [x](Value& v) { v.setFloat(x); };
}
inline std::function<void(Value&)> unsignedNumber(std::uint64_t x) {
    return [x](Value& v) { v.setUnsigned(x); };
}
inline std::function<void(Value&)> text(std::string s) {
    return [s](Value& v) { v.setString(s); };
}

inline Value resourceEvent(const char* type, const Value& data) {
    Value event;
    event.member("uri").setString(kNetworkTestingConfigPath);
    event.member("eventType").setString(type);
    event.member("data") = data;
    return event;
}

// Polls `condition` every millisecond until it holds or `timeout` passes; its last value.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A figure for the reliability report, printed in one greppable form.
inline void printFigure(const char* what, const std::string& value) {
    std::printf("[figure] %s: %s\n", what, value.c_str());
    std::fflush(stdout);
}

// The plugin, loaded through its export and driven through the host double. Telemetry posts
// are answered with success unless a test serves them otherwise.
class PluginHarness {
  public:
    PluginHarness() {
        for (const char* event :
             {"probes__game_latency", "probes__ipv4_options", "probes__ipv6_support"}) {
            host.serve(host::kPost, std::string(kTelemetryPrefix) + event, host::Reply::ok());
        }
    }

    // Loads and initialises; `config`, when given, is the namespace's current value.
    bool start(const Value* config = nullptr) {
        if (config != nullptr) {
            host.serve(host::kGet, kNetworkTestingConfigPath, host::Reply::withValue(*config));
        }
        return host.load(&load_network_testing) && host.initialize();
    }

    host::CallAnswer get(const char* path) {
        return host.call(functionNameFor(RequestMethod::Get, path), host::kGet, path);
    }

    // Delivers a configuration update ("Update" event) on this thread.
    bool update(const Value& config) {
        return host.deliver(kConfigKey, resourceEvent("Update", config));
    }

    // The status name of every experiment ("?" when the answer is not readable).
    std::map<std::string, std::string> statuses() {
        host::CallAnswer answer = get(kExperimentsPath);
        std::map<std::string, std::string> out;
        for (const char* name : {"game_latency", "ipv4_options", "ipv6_support"}) {
            const Value& status = answer.body.find("experiments").find(name).find("status");
            out[name] = std::string(status.asString("?"));
        }
        return out;
    }

    std::vector<host::RecordedRequest> posts(const std::string& event) const {
        std::vector<host::RecordedRequest> out;
        for (const auto& request : host.requests()) {
            if (request.method == host::kPost && request.path == kTelemetryPrefix + event) {
                out.push_back(request);
            }
        }
        return out;
    }

    // Host log lines that contain `part`.
    std::size_t logLinesWith(const std::string& part) const {
        std::size_t n = 0;
        for (const host::LogLine& line : host.logLines()) {
            n += line.text.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    host::HostDouble host;
};

// Fails the n-th allocation (allocate, reallocate or string copy through the hooks) that the
// plugin's code makes on the arming thread (see HostDouble::insidePluginCode), from the moment
// it arms. Other threads, the test and the host's own work are counted nowhere and never fail.
// Installed for its lifetime over the counting hooks, to which everything is forwarded. REQUIRES:
// one instance at a time; blocks from it are freed before it is destroyed or by the counting hooks
// afterwards (they are the same heap).
class FailingAllocations {
  public:
    FailingAllocations() : previous_(allocationHooks()) {
        AllocationHooks hooks = countingAllocationHooks();
        hooks.allocate = &allocateHook;
        hooks.reallocate = &reallocateHook;
        hooks.duplicate = &duplicateHook;
        setAllocationHooks(hooks);
    }
    ~FailingAllocations() { setAllocationHooks(previous_); }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;

    // From now on the calling thread's `nth` allocation (1-based) fails; 0 fails none but
    // still counts.
    static void arm(std::uint64_t nth) {
        Armed& a = armed();
        a.active = true;
        a.seen = 0;
        a.failAt = nth;
        a.failed = false;
    }
    // Stops counting on this thread; how many allocations it made while armed.
    static std::uint64_t disarm() {
        Armed& a = armed();
        a.active = false;
        return a.seen;
    }
    // Whether the armed allocation did fail.
    static bool failed() { return armed().failed; }

    // While on, every allocation fails on every thread but the calling one, except inside the
    // host double's services: the plugin's worker threads run out of memory, the test and the
    // host do not. REQUIRES: nothing else in the process (a reflector...) runs threads then.
    static void failOtherThreads(bool on) {
        owner() = std::this_thread::get_id();
        others().store(on);
    }

  private:
    struct Armed {
        bool active = false;
        std::uint64_t seen = 0;
        std::uint64_t failAt = 0;
        bool failed = false;
    };
    static Armed& armed() {
        thread_local Armed state;
        return state;
    }
    static std::atomic<bool>& others() {
        static std::atomic<bool> on{false};
        return on;
    }
    static std::thread::id& owner() {
        static std::thread::id id;
        return id;
    }
    // True when this allocation is the one to fail.
    static bool shouldFail() {
        if (others().load() && std::this_thread::get_id() != owner() &&
            !host::HostDouble::insideHostService()) {
            return true;
        }
        Armed& a = armed();
        if (!a.active || !host::HostDouble::insidePluginCode()) {
            return false;
        }
        ++a.seen;
        if (a.seen == a.failAt) {
            a.failed = true;
            return true;
        }
        return false;
    }
    static void* allocateHook(void* user, std::size_t size) {
        return shouldFail() ? nullptr : countingAllocationHooks().allocate(user, size);
    }
    static void* reallocateHook(void* user, void* block, std::size_t size) {
        return shouldFail() ? nullptr : countingAllocationHooks().reallocate(user, block, size);
    }
    static char* duplicateHook(void* user, const char* text) {
        return shouldFail() ? nullptr : countingAllocationHooks().duplicate(user, text);
    }

    AllocationHooks previous_;
};

}  // namespace mox::faults
