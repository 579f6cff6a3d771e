// File: tools/nt_host/plugin_session.h
//
// One plugin driven by nt-host the way the desktop client drives it: loaded as a library
// through its export (or, for `help`, the copy built into nt-host), initialised with the host
// double's services, served a configuration at the platform-configuration path, answering its
// telemetry posts, called through its function table, and shut down. Optionally it owns the
// in-process probe reflector that the built-in demo points at.
//
// Threads: one thread (the command's) calls every member. The plugin's own threads reach the
// host double, which is safe for that; telemetry they post is collected by `takeTelemetry`.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/values/value.h"
#include "host/host_double.h"
#include "tools/nt_host/plugin_api.h"
#include "tools/nt_host/run_report.h"

namespace mox::reflector {
class ProbeReflector;
}

namespace mox::nthost {

// The plugin library beside the executable named by `argv0` (the file the build produces).
std::string defaultPluginPath(const std::string& argv0);
// That library's file name alone.
std::string defaultPluginFileName();

// The reply delay of the in-process reflector.
inline constexpr std::chrono::milliseconds kDemoReplyDelay{5};

struct Answer {
    bool routed = false;  // a function-table entry takes the request
    bool isError = false;
    std::uint32_t status = 0;
    std::string errorText;
    Value body;
};

class PluginSession {
  public:
    PluginSession();
    ~PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    // Starts the reflector on 127.0.0.1 and ::1 with ephemeral ports and `kDemoReplyDelay`,
    // and returns the demo configuration pointing at it. On failure returns false with
    // `error` set. `description` names what was started.
    [[nodiscard]] bool startDemoReflector(Value& config, std::string& description,
                                          std::string& error);
    // Counters of the reflector for the report (empty without one). Stops it first.
    std::vector<std::pair<std::string, std::uint64_t>> stopReflector();

    // Serves `config` at the platform-configuration path (before `load`).
    void serveConfiguration(const Value& config);

    // Loads the library at `path`, or the plugin built into nt-host when `path` is empty.
    // False with `error` set when it cannot be loaded or refuses the host.
    [[nodiscard]] bool load(const std::string& path, std::string& error);
    // Initialises the loaded plugin; false when its Initialize says so.
    [[nodiscard]] bool initialize();
    // Shuts the plugin down (once; later calls do nothing).
    void shutdown();

    // The plugin object's handle (the record's word at 16), for the in-process plugin only.
    void* handle() const { return host_.record().handle; }
    const PluginApi& api() const { return api_; }
    std::string shortName() const;
    std::string pluginApiVersion() const;
    std::string hostApiVersion() const;

    // Routes a request to its function-table entry and calls it; `routed` is false when no
    // entry takes it (the host then answers 404 itself).
    Answer request(std::uint32_t method, const std::string& path);

    // Telemetry posts and log lines that arrived since the last call, in order.
    std::vector<TelemetryEvent> takeTelemetry(double atSeconds);
    std::vector<host::LogLine> takeLogLines();
    // Forgets the double's records (requests, waits, log lines), so a long measurement does
    // not grow them without bound. Anything that arrived since the last take is dropped too:
    // call it while nothing in the plugin posts (measure serves every probability as 0).
    void forgetTakenRecords();

    // Runs on the plugin's thread each time it yields while it waits for a measurement.
    void setYieldHandler(std::function<void()> handler);

  private:
    host::HostDouble host_;
    std::unique_ptr<reflector::ProbeReflector> reflector_;
    PluginApi api_;
    std::size_t requestsTaken_ = 0;
    std::size_t logLinesTaken_ = 0;
    bool initialised_ = false;
    bool shutDown_ = false;
    std::uint32_t hostMajor_ = 18;
    std::uint32_t hostMinor_ = 0;
    std::uint32_t hostPatch_ = 0;
};

}  // namespace mox::nthost
