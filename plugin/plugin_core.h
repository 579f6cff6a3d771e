// File: plugin/plugin_core.h
//
// `PluginCore`: the part of every plugin that talks to the host apart from loading: requests
// to the host, event subscriptions and their dispatch to handlers, resource subscriptions,
// the service proxy's answers, the telemetry sink and the drain of in-flight host calls at
// shut-down. Every host service is reached through one abstract virtual forwarder each, which
// `PluginBase` (plugin/plugin_base.h) implements over the `HostServices` table, so a test
// double may replace any of them.
//
// Event keys. A resource path maps to the key "OnJsonApiEvent" followed by its first three
// non-empty "/" segments (five when the first is "zek-platform-config"), joined with "_":
//   "/zek-platform-config/v1/namespaces/NetworkTesting"
//       -> "OnJsonApiEvent_zek-platform-config_v1_namespaces_NetworkTesting"
//   "/network-testing/v1/experiments/extra" -> "OnJsonApiEvent_network-testing_v1_experiments"
// A key is subscribed at the host once, from the first `Subscribe` of a path with that key to
// the `Unsubscribe` that brings its count back to 0 (an `Unsubscribe` of a key without a count
// is ignored), or until `onShutdown`.
//
// Patterns. A pattern and a uri are walked together; a "*" takes uri characters up to the
// next "/" and must take at least one unless a "/" follows at once, so "/a/*/c" matches
// "/a/b/c" and "/a/bb/c" but not "/a/b/x/c", and "/a/*" matches "/a/b" but not "/a/" or
// "/a/b/c".
//
// Example (in a plugin's onInitialised):
//   subscribeResource("/zek-platform-config/v1/namespaces/NetworkTesting",
//                     [this](const std::string& path, const mox::PluginResourceEvent& event) {
//                         applyConfiguration(event.data);
//                     });
//   mox::CallResult<mox::Value> value = requestValue(mox::kMethodGet, "/some/resource");
//
// Threads. Events arrive on any host thread. One mutex guards the event-handler registry, the
// subscription counts and both resource registries; deliveries copy what they need under it
// and call handlers outside it, so a handler may subscribe or unsubscribe. Changes of the
// host's subscriptions are serialised by a second mutex, which is held while the host is
// called; deliveries never take it. A handler replaced
// or removed while a delivery runs stays alive until that delivery ends. The service-proxy
// maps have a mutex of their own, held while their callbacks run (they must not touch the
// service-proxy state). Requests block the calling thread; no lock of the core is held
// while the host answers.
//
// Failures never leave an event trampoline: an event that has no handler, cannot be converted
// or whose handler throws is dropped, with a text for the debug trace hook (which discards
// it) and nothing else.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/converters.h"
#include "binding/values/value.h"
#include "plugin/call_result.h"
#include "plugin/entry/host_services.h"
#include "plugin/entry/plugin_entry.h"
#include "plugin/plugin_types.h"
#include "plugin/telemetry_sink.h"
#include "routing/host_request.h"
#include "routing/host_response.h"

namespace mox {

class TypeRegistry;

// Method codes of requests to the host.
inline constexpr std::uint32_t kMethodDelete = 1;
inline constexpr std::uint32_t kMethodGet = 2;
inline constexpr std::uint32_t kMethodHead = 3;
inline constexpr std::uint32_t kMethodOptions = 4;
inline constexpr std::uint32_t kMethodPatch = 5;
inline constexpr std::uint32_t kMethodPost = 6;
inline constexpr std::uint32_t kMethodPut = 7;
inline constexpr std::uint32_t kMethodCustom = 8;

// Bytes asked of a stream read function at a time.
inline constexpr std::uint32_t kStreamChunkSize = 4096;
// The most a streamed reply reserves up front, whatever size the host reports; the buffer
// grows past it as bytes arrive.
inline constexpr std::uint32_t kMaxStreamReserve = 1u << 20;
// The most service-proxy answers kept for callbacks that have not claimed them; the oldest
// goes first.
inline constexpr std::size_t kMaxUnclaimedServiceProxyAnswers = 256;

// A parameter of `sendRequestWithParameters`: its name and generic value.
struct NamedParameter {
    std::string name;
    Value value;
};

// The interface of anything that subscribes to resource paths. Both operations do nothing.
class EventSubscriber {
  public:
    virtual void Subscribe(const std::string& path);
    virtual void Unsubscribe(const std::string& path);
    virtual ~EventSubscriber() = default;
};

class PluginCore : public EventSubscriber {
  public:
    using ResourceHandler =
        std::function<void(const std::string& path, const PluginResourceEvent& event)>;
    using ResourceEventHandler = std::function<void(const PluginResourceEvent& event)>;
    using ServiceProxyHandler = std::function<void(const PluginServiceProxyResponse& answer)>;

    PluginCore(const PluginCore&) = delete;
    PluginCore& operator=(const PluginCore&) = delete;

    // Counted subscription of a path's event key (see the file comment).
    void Subscribe(const std::string& path) override;
    void Unsubscribe(const std::string& path) override;
    ~PluginCore() override;

    // Unsubscribes every key of the event-handler registry at the host, then clears it, the
    // service-proxy maps and both resource registries. A derived plugin stops its own work
    // first and then calls this.
    virtual void onShutdown();

    // --- host services, one forwarder each ---------------------------------------------------
    virtual void CallRequest(HostResponse* response, const HostRequest* request) = 0;
    virtual HostWord CallHostService1(HostWord a, HostWord b) = 0;
    virtual HostWord CallHostService2(HostWord a) = 0;
    virtual HostWord CallSubscribe(const char* eventName, HostWord hostContext,
                                   HostEventTrampoline trampoline, void* userData,
                                   std::uint32_t flags) = 0;
    virtual void CallUnsubscribe(const char* eventName, HostWord hostContext) = 0;
    virtual void CallHostService5(HostWord a, HostWord b, HostWord c, double d, HostWord e) = 0;
    virtual void CallHostYield() = 0;
    virtual void CallHostBeginWait(const std::string& text, HostWord value) = 0;
    virtual void CallHostEndWait() = 0;

    // Lets the host do pending work while this thread waits for it: BeginWait("Wait: yield",
    // 0), Yield, EndWait.
    void yield();

    // --- requests to the host ----------------------------------------------------------------
    // Sends a request and checks the answer's error text. `response` must be zero-filled; it
    // stays with the caller, who releases it (`releaseHostResponse`) whatever the outcome.
    // A method outside 1..8 is sent as 0. `arguments` may be empty.
    CallResult<void> sendRequest(std::uint32_t method, const std::string& url,
                                 std::span<const HostArgumentEntry> arguments,
                                 HostResponse& response);
    // Sends a request without arguments and reads the answer into a generic value: the body's
    // host value, or a streamed body parsed as JSON. Releases the response.
    CallResult<Value> requestValue(std::uint32_t method, const std::string& url);
    // `requestValue`, then conversion to T under the name "<result>".
    template <class T>
    CallResult<T> requestTyped(std::uint32_t method, const std::string& url);
    // Sends the parameters as one unnamed argument, a structure with one member per parameter;
    // releases the argument and the response afterwards. A parameter that cannot be converted
    // fails with "Request not sent: ..." (code 400) and the host is not called.
    CallResult<void> sendRequestWithParameters(std::uint32_t method, const std::string& url,
                                               std::span<const NamedParameter> parameters);

    // --- events ------------------------------------------------------------------------------
    // Stores the handler for `eventKey` (replacing the previous one) and subscribes the key at
    // the host with `flags` and the trampoline of the handler's kind.
    void registerEventHandler(const std::string& eventKey, ResourceEventHandler handler,
                              std::uint32_t flags = 0);
    void registerEventHandler(const std::string& eventKey, ServiceProxyHandler handler,
                              std::uint32_t flags = 1);
    // Stores `handler` for `path` (exact, or a pattern with "*"), subscribes the path and, for
    // an exact path, reads its current value with a GET and delivers it at once as "Create" on
    // this thread (a failed read delivers nothing). Replaces a handler of the same path.
    void subscribeResource(const std::string& path, ResourceHandler handler);
    // The typed form: converts each event's data to T (binding/converters.h, name "<value>")
    // before calling `handler`; an event whose data does not convert is dropped.
    template <class T>
    void subscribeResourceAs(
        const std::string& path,
        std::function<void(const std::string& path, PluginResourceEventType type, const T& data)>
            handler);

    static std::string eventKeyOf(std::string_view path);
    // The pattern rule of the file comment.
    static bool matchesResourcePattern(std::string_view pattern, std::string_view uri);

    // --- service proxy -----------------------------------------------------------------------
    // Registers a callback waiting for the answer under `answerKey` (a uuid, or "%1.%2" over
    // service and method); it is called at most once, then removed. Answers are matched when
    // one is delivered, at most one per delivery, so an answer stored before the callback is
    // handed over at the next delivery.
    void waitForServiceProxyAnswer(const std::string& answerKey, ServiceProxyHandler callback);
    // Registers the handler of asynchronous answers for a service and method.
    void setServiceProxyAsyncHandler(const std::string& serviceName, const std::string& methodName,
                                     ServiceProxyHandler handler);
    static std::string serviceProxyKey(std::string_view serviceName, std::string_view methodName);
    // The three handlers registered at initialisation.
    void storeServiceProxyAnswer(const std::string& answerKey,
                                 const PluginServiceProxyResponse& answer);
    void dispatchServiceProxyAsync(const PluginServiceProxyResponse& answer);
    // Answers currently stored for callbacks that have not claimed them.
    std::size_t unclaimedServiceProxyAnswers() const;

    // --- accessors ---------------------------------------------------------------------------
    TypeRegistry& registry() const { return *registry_; }
    HostWord hostContext() const { return hostContext_; }
    const std::string& coreShortName() const { return shortName_; }
    // Null until initialisation.
    TelemetrySink* telemetrySink() const { return telemetry_.get(); }

    // --- calls in flight ---------------------------------------------------------------------
    // Host calls into the plugin (function-table calls, event deliveries) hold a `CallScope`
    // while they run. Once stopping, new scopes are refused (`entered()` is false) and
    // `waitForCallsToDrain` returns when the last running one ends.
    class CallScope {
      public:
        explicit CallScope(PluginCore& core);
        ~CallScope();
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;
        bool entered() const { return entered_; }

      private:
        PluginCore& core_;
        bool entered_;
    };
    bool isStopping() const { return stopping_.load(); }

  protected:
    PluginCore();
    // Gives the core the binding registry, which the derived class owns and keeps alive
    // until the core is destroyed. Done once, in the derived constructor.
    void attachRegistry(TypeRegistry& registry) { registry_ = &registry; }

    // Initialisation step 4: hostContext and short name, a new telemetry sink, the three
    // service-proxy subscriptions (flags 1).
    void bindCore(HostWord hostContext, const std::string& shortName);

    // Refuses new calls from now on.
    void beginStopping();
    void waitForCallsToDrain();

  private:
    enum class EventKind { Resource, ServiceProxy };
    struct HandlerHolder {
        EventKind kind;
        ResourceEventHandler onResource;
        ServiceProxyHandler onServiceProxy;
    };

    void storeHandler(const std::string& eventKey, std::shared_ptr<HandlerHolder> holder,
                      std::uint32_t flags);
    void dispatchResourceEvent(const PluginResourceEvent& event);
    void fulfilServiceProxyAnswer();
    CallResult<Value> readResponse(std::uint32_t method, const std::string& url,
                                   HostResponse& response);
    void deliver(EventKind kind, HostEvent& event);

    static void MOX_CDECL resourceTrampoline(HostEvent* event);
    static void MOX_CDECL serviceProxyTrampoline(HostEvent* event);

    TypeRegistry* registry_ = nullptr;
    HostWord hostContext_ = 0;
    std::string shortName_;
    std::unique_ptr<TelemetrySink> telemetry_;

    // Serialises the operations that change subscriptions at the host (subscribe,
    // unsubscribe, handler registration, shut-down), so the host's view follows the counts.
    // Held across those host calls; recursive, because a handler may subscribe from a
    // delivery the host makes inside HostSubscribe. Taken before `registryMutex_`.
    std::recursive_mutex subscriptionMutex_;
    // Guards the four registries below. Never held while the host or a handler is called,
    // so a host that waits for running deliveries inside HostUnsubscribe cannot deadlock.
    mutable std::mutex registryMutex_;
    std::unordered_map<std::string, std::shared_ptr<HandlerHolder>> eventHandlers_;
    std::unordered_map<std::string, std::uint32_t> subscriptionCounts_;
    std::map<std::string, ResourceHandler> exactResourceHandlers_;
    std::map<std::string, ResourceHandler> patternResourceHandlers_;

    // The service-proxy state.
    mutable std::mutex serviceProxyMutex_;
    std::map<std::string, ServiceProxyHandler> waitingCallbacks_;
    std::map<std::string, ServiceProxyHandler> asyncHandlers_;
    // Received answers in arrival order (oldest first), unique by key.
    std::deque<std::pair<std::string, PluginServiceProxyResponse>> receivedAnswers_;

    std::atomic<bool> stopping_{false};
    std::mutex drainMutex_;
    std::condition_variable drained_;
    std::uint32_t callsInFlight_ = 0;
};

// Releases what a response filled by the host holds, through its own release function when it
// has one; then zero-fills it. Safe on a zero-filled response.
void releaseHostResponse(HostResponse& response);

namespace detail {
// "Error converting response for {method} {url}: {error}", code 0.
CallError responseConversionError(std::uint32_t method, const std::string& url,
                                  std::string_view error);
}  // namespace detail

// --- templates ---------------------------------------------------------------------------------

template <class T>
CallResult<T> PluginCore::requestTyped(std::uint32_t method, const std::string& url) {
    CallResult<Value> value = requestValue(method, url);
    if (!value.ok()) {
        return CallResult<T>::failure(value.releaseError());
    }
    T native{};
    ValueResult converted = toNativeRecord(native, value.value(), "<result>", *registry_);
    if (!converted.ok()) {
        return CallResult<T>::failure(
            detail::responseConversionError(method, url, converted.error()));
    }
    return CallResult<T>(std::move(native));
}

template <class T>
void PluginCore::subscribeResourceAs(
    const std::string& path,
    std::function<void(const std::string& path, PluginResourceEventType type, const T& data)>
        handler) {
    subscribeResource(path, [this, handler = std::move(handler)](const std::string& uri,
                                                                 const PluginResourceEvent& event) {
        T native{};
        ValueResult converted = toNativeRecord(native, event.data, "<value>", *registry_);
        if (converted.ok() && handler) {
            handler(uri, event.eventType, native);
        }
    });
}

}  // namespace mox
