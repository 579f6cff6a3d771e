#include "plugin/plugin_base.h"

#include <cstring>

#include "binding/builtin_types.h"
#include "binding/type_registry.h"
#include "logging/log_report.h"
#include "logging/plugin_log_target.h"
#include "plugin/entry/allocation.h"
#include "plugin/plugin_types.h"
#include "routing/request_dispatch.h"
#include "routing/route_template.h"

namespace mox {

PluginBase::PluginBase() : type_(backendPluginType()), registry_(std::make_unique<TypeRegistry>()) {
    router_ = std::make_unique<FunctionRouter>(*registry_);
    setUpBuiltinTypes(*registry_);
    attachRegistry(*registry_);
    entryTable_.initialize = &initializeEntry;
    entryTable_.shutdown = &shutdownEntry;
    entryTable_.getMemoryStats = &memoryStatsEntry;
}

PluginBase::~PluginBase() {
    table_ = HostApiDescription{};
    gates_.clear();
    entries_.clear();
    router_.reset();
    registry_.reset();
    helpPath_.clear();
    apiName_.clear();
    name_ = PluginName();
    logTarget_.reset();
    coreApiVersion_ = PluginApiVersion();
    // logReference_ drops the reference on the log core after this body.
}

// --- forwarders --------------------------------------------------------------------------------

void PluginBase::CallRequest(HostResponse* response, const HostRequest* request) {
    HostServices* s = services();
    if (s != nullptr && s->hostSendRequest != nullptr) {
        s->hostSendRequest(s, response, request);
    }
}

HostWord PluginBase::CallHostService1(HostWord a, HostWord b) {
    HostServices* s = services();
    return s != nullptr && s->hostService1 != nullptr ? s->hostService1(s, a, b) : 0;
}

HostWord PluginBase::CallHostService2(HostWord a) {
    HostServices* s = services();
    return s != nullptr && s->hostService2 != nullptr ? s->hostService2(s, a) : 0;
}

HostWord PluginBase::CallSubscribe(const char* eventName, HostWord hostContext,
                                   HostEventTrampoline trampoline, void* userData,
                                   std::uint32_t flags) {
    HostServices* s = services();
    return s != nullptr && s->hostSubscribe != nullptr
               ? s->hostSubscribe(s, eventName, hostContext, trampoline, userData, flags)
               : 0;
}

void PluginBase::CallUnsubscribe(const char* eventName, HostWord hostContext) {
    HostServices* s = services();
    if (s != nullptr && s->hostUnsubscribe != nullptr) {
        s->hostUnsubscribe(s, eventName, hostContext);
    }
}

void PluginBase::CallHostService5(HostWord a, HostWord b, HostWord c, double d, HostWord e) {
    HostServices* s = services();
    if (s != nullptr && s->hostService5 != nullptr) {
        s->hostService5(s, a, b, c, d, e);
    }
}

void PluginBase::CallHostYield() {
    HostServices* s = services();
    if (s != nullptr && s->hostYield != nullptr) {
        s->hostYield(s);
    }
}

void PluginBase::CallHostBeginWait(const std::string& text, HostWord value) {
    HostServices* s = services();
    if (s != nullptr && s->hostBeginWait != nullptr) {
        s->hostBeginWait(s, text.c_str(), value);
    }
}

void PluginBase::CallHostEndWait() {
    HostServices* s = services();
    if (s != nullptr && s->hostEndWait != nullptr) {
        s->hostEndWait(s);
    }
}

void PluginBase::onRegisterEndpoints() {}

bool PluginBase::onInitialised() {
    return true;
}

// --- life cycle --------------------------------------------------------------------------------

void PluginBase::load(PluginLoadRecord& record, std::string_view shortName) {
    const PluginApiVersion plugin = kPluginApiVersion;
    const PluginApiVersion host{record.apiMajor, record.apiMinor, record.apiPatch, {}, {}};
    if (!isCompatibleHost(host, plugin)) {
        const std::string message = formatMessage(
            "%1 which supports plugin API %2 is not compatible with core's plugin API %3",
            shortName, versionText(plugin), versionText(host));
        reportFatal(nullptr, 0, nullptr, "ALE-EECF0606", message.c_str());
    }
    coreApiVersion_ = host;
    name_ = makePluginName(shortName, type_);
    helpPath_ = {"Plugins", "Plugin " + std::string(shortName)};
    apiName_ = pascalName("", shortName);
    registerPluginTypes(*registry_);
    onRegisterEndpoints();
    buildGatedTable();

    record.apiMajor = plugin.major;
    record.apiMinor = plugin.minor;
    record.apiPatch = plugin.patch;
    record.entryTable = &entryTable_;
    record.handle = static_cast<void*>(this);
    record.shortName = name_.shortName.c_str();
    record.functionTable = &table_;
}

void PluginBase::buildGatedTable() {
    const HostApiDescription& built = router_->buildFunctionTable();
    const std::vector<FunctionEntry>& source = router_->entries();
    entries_ = source;
    gates_.assign(source.size(), CallGate{});
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        gates_[i].plugin = this;
        gates_[i].routerContext = source[i].description.dispatchContext;
        entries_[i].description.dispatchContext = &gates_[i];
        entries_[i].description.next =
            i + 1 < entries_.size() ? &entries_[i + 1].description : nullptr;
        entries_[i].handler = &gatedFunctionHandler;
    }
    table_ = built;
    table_.functions = entries_.empty() ? nullptr : &entries_.front().description;
    table_.functionCount = static_cast<std::uint32_t>(entries_.size());
}

namespace {

// Answers a request the router never sees, the way the router answers its own errors.
void answerError(HostResponse& response, const char* message, std::uint32_t status) {
    if (response.release == &releaseResponse) {
        releaseResponse(&response);
    }
    std::memset(static_cast<void*>(&response), 0, sizeof response);
    setResponseError(response, message, status);
    response.text = emptyResponseText();
    response.release = &releaseResponse;
}

}  // namespace

void MOX_CDECL PluginBase::gatedFunctionHandler(HostResponse* response,
                                                const HostRequest* request) {
    if (response == nullptr) {
        return;
    }
    if (request == nullptr || request->context == nullptr) {
        answerError(*response, "Invalid function", 404);
        return;
    }
    const auto* gate = static_cast<const CallGate*>(request->context);
    try {
        CallScope scope(*gate->plugin);
        if (!scope.entered()) {
            answerError(*response, "Plugin is shutting down", 503);
            return;
        }
        HostRequest forwarded = *request;
        forwarded.context = gate->routerContext;
        handleFunctionRequest(response, &forwarded);
    } catch (...) {
        answerError(*response, "Internal server error", 500);
    }
}

bool PluginBase::initialize(HostBinding* binding) {
    binding_ = binding;
    if (std::unique_ptr<PluginLogTarget> target = setUpPluginLog(binding->services)) {
        logTarget_ = std::move(target);
    }
    bindCore(binding->hostContext, name_.shortName);
    return onInitialised();
}

void PluginBase::shutdown() {
    beginStopping();
    try {
        onShutdown();
    } catch (const std::exception& error) {
        LogManager::write(kLogError, kGroupDbg, "%s: Shutdown failed: %s", name_.shortName,
                          error.what());
    } catch (...) {
        LogManager::write(kLogError, kGroupDbg, "%s: Shutdown failed", name_.shortName);
    }
    // A function-table call or event delivery still running may use the registry and the
    // router: nothing is destroyed before the last one has left.
    waitForCallsToDrain();
}

std::uint8_t MOX_CDECL PluginBase::initializeEntry(void* handle, HostBinding* binding) {
    if (handle == nullptr || binding == nullptr) {
        return 0;
    }
    auto* plugin = static_cast<PluginBase*>(handle);
    try {
        return plugin->initialize(binding) ? 1 : 0;
    } catch (const std::exception& error) {
        LogManager::write(kLogError, kGroupDbg, "%s: Initialize failed: %s",
                          plugin->pluginName().shortName, error.what());
    } catch (...) {
        LogManager::write(kLogError, kGroupDbg, "%s: Initialize failed",
                          plugin->pluginName().shortName);
    }
    return 0;
}

void MOX_CDECL PluginBase::shutdownEntry(void* handle) {
    if (handle == nullptr) {
        return;
    }
    auto* plugin = static_cast<PluginBase*>(handle);
    try {
        plugin->shutdown();
    } catch (...) {
        // shutdown() catches what onShutdown throws; the drain itself does not throw in
        // practice (a failing mutex is the only way), so the object is still destroyed.
    }
    delete plugin;
}

void MOX_CDECL PluginBase::memoryStatsEntry(void*, MemoryStats* out) {
    if (out != nullptr) {
        *out = memoryStats();
    }
}

namespace detail {

void logLoadFailure(std::string_view shortName, const char* reason) noexcept {
    try {
        LogManager::write(kLogError, kGroupDbg, "%s: Plugin load failed: %s", shortName, reason);
    } catch (...) {
        // Nothing is left to report with.
    }
}

}  // namespace detail

}  // namespace mox
