// File: plugin/plugin_base.h
//
// `PluginBase`: the class every plugin of this host derives from. It owns the binding
// registry, the host binding, the plugin's log target and names, forwards every host service
// through one virtual operation each (so a test double can replace any of them), and drives
// the life cycle that the entry table exposes:
//
//   constructed -> loaded (load(): version check, names, built-in types, onRegisterEndpoints,
//   function table, record filled) -> initialised (Initialize: log set-up, telemetry sink,
//   service-proxy subscriptions, onInitialised) -> stopping (Shutdown: new calls refused,
//   onShutdown, in-flight calls drained) -> destroyed.
//
// A concrete plugin overrides `onRegisterEndpoints` (register its types and endpoints),
// `onInitialised` (subscribe and start its work; false fails Initialize) and `onShutdown`
// (stop its own work first, then call PluginBase::onShutdown()). Its exported load function
// is one line:
//
//   extern "C" MOX_EXPORT void MOX_CDECL load_network_testing(mox::PluginLoadRecord* record) {
//       mox::loadPlugin<NetworkTestingPlugin>(record, "network-testing");
//   }
//
// The host contract (plugin/entry/plugin_entry.h) is assumed: Initialize once before any
// other call, Shutdown once, nothing after it, and Shutdown never from inside a host service
// the plugin is using, since it waits for the plugin's calls in flight.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding/api_description.h"
#include "binding/type_registry.h"
#include "logging/log_manager.h"
#include "plugin/entry/host_services.h"
#include "plugin/entry/plugin_entry.h"
#include "plugin/plugin_core.h"
#include "plugin/plugin_identity.h"
#include "routing/function_table.h"

namespace mox {

class PluginLogTarget;
class TypeRegistry;

class PluginBase : public PluginCore {
  public:
    ~PluginBase() override;

    // --- host-service forwarders: each reads the binding's services on every call ------------
    // Before Initialize (no binding) and for a service the host left null they do nothing and
    // return 0.
    void CallRequest(HostResponse* response, const HostRequest* request) override;
    HostWord CallHostService1(HostWord a, HostWord b) override;
    HostWord CallHostService2(HostWord a) override;
    HostWord CallSubscribe(const char* eventName, HostWord hostContext,
                           HostEventTrampoline trampoline, void* userData,
                           std::uint32_t flags) override;
    void CallUnsubscribe(const char* eventName, HostWord hostContext) override;
    void CallHostService5(HostWord a, HostWord b, HostWord c, double d, HostWord e) override;
    void CallHostYield() override;
    void CallHostBeginWait(const std::string& text, HostWord value) override;
    void CallHostEndWait() override;

    // The concrete plugin registers its types, functions and endpoints here. Nothing here.
    virtual void onRegisterEndpoints();
    // The concrete plugin starts its work here; its result is Initialize's. True here.
    virtual bool onInitialised();

    // The load sequence over a constructed plugin. A host whose API version is refused ends
    // the process with the fatal report "ALE-EECF0606". Fills the record only at its end, so a
    // failure (an exception) before then leaves it untouched.
    void load(PluginLoadRecord& record, std::string_view shortName);

    // Initialize's work (the entry catches what this throws). False when onInitialised is.
    bool initialize(HostBinding* binding);

    // --- state -------------------------------------------------------------------------------
    const PluginApiVersion& coreApiVersion() const { return coreApiVersion_; }
    const PluginName& pluginName() const { return name_; }
    const std::string& apiName() const { return apiName_; }
    const std::vector<std::string>& helpPath() const { return helpPath_; }
    HostBinding* hostBinding() const { return binding_; }
    // The request router through which the plugin binds its endpoints (routing/endpoint.h):
    //   router().bind(RequestMethod::Get, "/network-testing/v1/experiments", *this,
    //                 &MyPlugin::getExperiments).tags(helpPath());
    FunctionRouter& router() { return *router_; }
    PluginEntryTable& entryTable() { return entryTable_; }
    // Null until Initialize set up the plugin log, and when a "PluginLogTarget" existed.
    PluginLogTarget* logTarget() const { return logTarget_.get(); }

    // The entry functions. Each catches everything; see plugin/entry/plugin_entry.h.
    static std::uint8_t MOX_CDECL initializeEntry(void* handle, HostBinding* binding);
    static void MOX_CDECL shutdownEntry(void* handle);
    static void MOX_CDECL memoryStatsEntry(void* handle, MemoryStats* out);

  protected:
    PluginBase();
    // The plugin's type; "backend" unless set before load.
    void setPluginType(PluginType type) { type_ = std::move(type); }

  private:
    // What the host passes back as the context of a function-table request: the plugin, so
    // the call can be counted, and the router's own dispatch context.
    struct CallGate {
        PluginBase* plugin = nullptr;
        void* routerContext = nullptr;
    };

    HostServices* services() const { return binding_ != nullptr ? binding_->services : nullptr; }
    void shutdown();
    // Copies the router's table, each entry's handler and context replaced by a gate.
    void buildGatedTable();
    // The handler of every entry of the table handed to the host: counts the call as in
    // flight (refusing it once stopping) and hands it to the router.
    static void MOX_CDECL gatedFunctionHandler(HostResponse* response, const HostRequest* request);

    LogReference logReference_;
    PluginApiVersion coreApiVersion_;
    std::unique_ptr<PluginLogTarget> logTarget_;
    PluginType type_;
    PluginName name_;
    std::string apiName_;
    std::vector<std::string> helpPath_;
    std::unique_ptr<TypeRegistry> registry_;
    std::unique_ptr<FunctionRouter> router_;
    HostBinding* binding_ = nullptr;
    PluginEntryTable entryTable_{};
    // The table handed to the host; its addresses stay fixed from the load to destruction.
    std::vector<FunctionEntry> entries_;
    std::vector<CallGate> gates_;
    HostApiDescription table_{};
};

namespace detail {
// Logs a failed load (an exception before the record was filled).
void logLoadFailure(std::string_view shortName, const char* reason) noexcept;
}  // namespace detail

// Constructs a `Plugin` and runs its load sequence. Nothing escapes: a failure (no memory,
// a constructor or registration that throws) writes nothing to the record, logs an error line
// and returns. A null record does nothing.
template <class Plugin>
void loadPlugin(PluginLoadRecord* record, std::string_view shortName) noexcept {
    if (record == nullptr) {
        return;
    }
    try {
        auto plugin = std::make_unique<Plugin>();
        plugin->load(*record, shortName);
        plugin.release();  // owned by the host's handle until Shutdown
    } catch (const std::exception& error) {
        detail::logLoadFailure(shortName, error.what());
    } catch (...) {
        detail::logLoadFailure(shortName, "unknown exception");
    }
}

}  // namespace mox
