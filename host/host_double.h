// File: host/host_double.h
//
// `HostDouble`: a small in-process host for driving a plugin through its boundary records
// only, the way the real host does: it loads a plugin (a load function, or a shared library
// by path), initialises it with a `HostServices` table of its own, serves the plugin's
// requests from scripted replies, records every request, subscription, log line and wait,
// delivers events through the plugin's trampolines (on the calling thread or on event threads
// of its own), calls the plugin's functions and shuts it down. It never sees the plugin's C++
// classes, so it can drive any plugin built on the framework.
//
// Example:
//   mox::host::HostDouble host;
//   host.serve(mox::host::kGet, "/config", mox::host::Reply::withValue(config));
//   host.serve(mox::host::kPost, "/telemetry/v1/events/probes__x", mox::host::Reply::ok());
//   ASSERT_TRUE(host.load(&load_network_testing));
//   ASSERT_TRUE(host.initialize());
//   host.deliver("OnJsonApiEvent_config", event);
//   for (const mox::host::RecordedRequest& r : host.requests()) { ... }
//   host.shutdown();
//
// The host contract it keeps and enforces: load once, initialize once, shutdown once; no
// function call or event delivery starts once shutdown has been called (calls already inside
// the plugin are waited for by the plugin, and `shutdown` returns only once the double's own
// calls have also released their responses, so nothing reaches the plugin afterwards); no shutdown
// from a thread that is inside a call into the plugin (from a yield handler, for instance), since
// the plugin's drain would wait for that very call. A broken rule is refused (the call does
// nothing) and recorded in `contractViolations()`.
//
// Threads: every member may be called from any thread. The double never holds its own lock
// while it calls into the plugin. The yield handler runs on the plugin's calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding/host_value.h"
#include "binding/values/value.h"
#include "plugin/entry/host_services.h"
#include "plugin/entry/memory_stats.h"
#include "plugin/entry/plugin_entry.h"

namespace mox {
struct HostApiDescription;
}

namespace mox::host {

namespace detail {
struct HostDoubleState;
}

// Method codes.
inline constexpr std::uint32_t kDelete = 1;
inline constexpr std::uint32_t kGet = 2;
inline constexpr std::uint32_t kPost = 6;
inline constexpr std::uint32_t kPut = 7;

// One scripted answer to a plugin's request.
struct Reply {
    // A body as a host value, with a status and no error.
    static Reply withValue(Value body, std::uint32_t status = 200);
    // Success with an empty body.
    static Reply ok(std::uint32_t status = 200);
    // An error text with a status.
    static Reply withError(std::string text, std::uint32_t status);
    // A streamed body. Each read delivers the next of `chunks` bytes (4096 when `chunks` is
    // empty, the last read whatever is left), setting "more" while bytes remain.
    static Reply streamed(std::string body, std::vector<std::uint32_t> chunks = {});

    Value body;
    std::optional<std::string> error;
    std::uint32_t status = 200;
    bool isStream = false;
    std::string streamBody;
    std::vector<std::uint32_t> chunks;
    // The size the response reports; the body's size when not set.
    std::optional<std::uint32_t> reportedSize;
    // The read (0-based) that returns false; none when not set.
    std::optional<std::size_t> failingRead;
    // The read (0-based) that claims this many bytes (more than asked for); none when not set.
    std::optional<std::size_t> oversizedRead;
    // How long the host takes to answer: the plugin's calling thread waits inside the
    // request this long (a slow or hung service).
    std::chrono::milliseconds delay{0};
    // A body handed over exactly as these bytes instead of `body` (an unknown kind, a null text
    // with a length, a huge count...), to test what the plugin makes of a broken host value.
    // The double never reads or releases it; what it points to must outlive the request.
    std::optional<HostValue> rawBody;
};

struct RecordedArgument {
    std::optional<std::string> name;  // none for an unnamed argument
    Value value;
};

struct RecordedRequest {
    std::uint32_t method = 0;
    std::string path;
    std::vector<RecordedArgument> arguments;
    HostWord callerContext = 0;
    // Stream reads made for this request's answer.
    std::size_t streamReads = 0;
};

struct Subscription {
    std::string name;
    HostWord hostContext = 0;
    HostEventTrampoline trampoline = nullptr;
    void* userData = nullptr;
    std::uint32_t flags = 0;
};

struct LogLine {
    std::int32_t level = 0;
    std::string text;
};

// A plugin's answer to a function call.
struct CallAnswer {
    bool found = false;  // the function exists in the table
    bool isError = false;
    std::string errorText;
    std::uint32_t status = 0;
    Value body;
    std::string text;
    // A streamed body, read to its end.
    std::string streamed;
};

class HostDouble {
  public:
    // `hostContext` is the opaque word handed to the plugin at initialisation.
    explicit HostDouble(HostWord hostContext = 0x5eed);
    // Shuts down a plugin that is still initialised or loaded. A library loaded by
    // `loadLibrary` stays loaded until the process ends unless `unloadLibrary` closed it.
    ~HostDouble();
    HostDouble(const HostDouble&) = delete;
    HostDouble& operator=(const HostDouble&) = delete;

    // --- life cycle --------------------------------------------------------------------------
    // Calls `load` with a record holding the host version. True when the plugin filled the
    // record (its entry table is set).
    bool load(PluginLoadFunction load, std::uint32_t major = 18, std::uint32_t minor = 0,
              std::uint32_t patch = 0);
    // Opens the shared library at `path` and loads it through its export `symbol`. False
    // (with `libraryError()` saying why) when it cannot be opened or has no such export.
    bool loadLibrary(const std::string& path, const char* symbol = "load_network_testing");
    const std::string& libraryError() const { return libraryError_; }
    // Stops the event threads, shuts the plugin down if it is still live, and closes the
    // library that `loadLibrary` opened (dlclose / FreeLibrary), as a host that drops a plugin
    // module does. Nothing of the plugin may be called afterwards: its code is gone. False
    // (with a recorded violation) when no library is open or when called from inside a call
    // into the plugin.
    bool unloadLibrary();
    // Calls Initialize with this host's binding; its result.
    bool initialize();
    // Calls Shutdown (see the contract above).
    void shutdown();
    // The plugin's allocation counters through its entry table; zero once Shutdown was called.
    MemoryStats memoryStats();
    // The counters after Shutdown, until the library is unloaded. Beyond the host contract
    // (after Shutdown nothing may reach the plugin), for tests that check what a plugin leaves
    // allocated: the entry table lives in the destroyed object, so the double calls the entry
    // it copied at load, with a null handle. Sound only for a plugin whose entry reads
    // module-wide counters and ignores its handle, as this framework's does. Zero before a
    // load, before Shutdown and after `unloadLibrary`.
    MemoryStats memoryStatsAfterShutdown();
    bool isLoaded() const { return loaded_; }
    // The record as the plugin left it.
    const PluginLoadRecord& record() const { return record_; }
    // The plugin's function table, or null before a load.
    const HostApiDescription* functionTable() const;

    // --- scripted replies --------------------------------------------------------------------
    // Answers every request for (method, path) with `reply` until replaced.
    void serve(std::uint32_t method, const std::string& path, Reply reply);
    // Answers requests nothing else matches; by default the error "Not found" with 404.
    void serveOthers(Reply reply);

    // --- observations ------------------------------------------------------------------------
    std::vector<RecordedRequest> requests() const;
    std::vector<Subscription> subscribeCalls() const;
    std::vector<std::string> unsubscribeCalls() const;
    // Names subscribed now (subscribed and not unsubscribed since).
    std::vector<std::string> activeSubscriptions() const;
    bool isSubscribed(const std::string& name) const;
    std::vector<LogLine> logLines() const;
    // Every wait service call in order: "begin:<text>:<value>", "yield", "end".
    std::vector<std::string> waits() const;
    // Host services 1, 2 and 5, by number.
    std::size_t serviceCalls(int number) const;
    // Stream objects handed out and not yet released by the plugin.
    std::size_t openStreams() const;
    std::vector<std::string> contractViolations() const;
    void clearRecords();

    // Runs on the plugin's thread inside every HostYield.
    void setYieldHandler(std::function<void()> handler);

    // True while the calling thread runs the plugin's code for a double: inside a load,
    // Initialize, Shutdown, event delivery or function call, and not inside one of the
    // double's host services (a request, a log line, a wait...). Allocation fault tests fail
    // allocations only then, so the host's own work never sees them.
    static bool insidePluginCode();
    // True while the calling thread is inside one of the double's host services.
    static bool insideHostService();

    // --- events ------------------------------------------------------------------------------
    // Delivers one event to the subscription of `name` on this thread; false when nothing is
    // subscribed under the name (or the contract forbids it).
    bool deliver(const std::string& name, const Value& payload);
    // Queues an event for the event threads.
    void post(const std::string& name, const Value& payload);
    // Starts `count` event threads that deliver queued events, each as `deliver` would.
    void startEventThreads(std::size_t count);
    // Waits until every queued event was delivered, then stops and joins the threads.
    void stopEventThreads();

    // --- function calls ----------------------------------------------------------------------
    // Calls the function-table entry of `function` (its name) with a request of `method` and
    // `path`; `found` is false when the table has no such function. Filled only once the
    // plugin's table has entries with handlers.
    CallAnswer call(const std::string& function, std::uint32_t method, const std::string& path);
    // The same with a request body of `contentType` (null for none).
    CallAnswer call(const std::string& function, std::uint32_t method, const std::string& path,
                    const std::string& body, const char* contentType);

  private:
    // Enters a call into the plugin: false (with a recorded violation) when the contract
    // forbids it now.
    bool enterPluginCall(const char* what);
    void leavePluginCall();

    std::unique_ptr<detail::HostDoubleState> state_;
    PluginLoadRecord record_{};
    bool loaded_ = false;
    bool initialised_ = false;
    void* library_ = nullptr;
    bool unloaded_ = false;
    // Copied from the entry table at load: still callable after Shutdown (see memoryStats).
    void(MOX_CDECL* getMemoryStats_)(void* handle, MemoryStats* out) = nullptr;
    std::string libraryError_;
};

}  // namespace mox::host
