#include "plugin/plugin_core.h"

#include <cstring>
#include <exception>
#include <new>

#include "binding/host_value.h"
#include "binding/type_registry.h"
#include "formats/json_reader.h"
#include "logging/log_manager.h"
#include "routing/request_method.h"

namespace mox {

namespace {

static_assert(sizeof(HostValue) == kHostValueBytes, "HostEvent's payload is one HostValue");

// The debug trace hook: receives a format and its arguments and discards them. Event texts go
// here, never to a log target, so a flood of bad events cannot flood the host's log.
template <class... Args>
void traceDebug(const char* /*format*/, const Args&... /*args*/) {}

constexpr std::string_view kRequestNotSent =
    "Request not sent: Error converting parameters for {method} {url}: {error}";
constexpr std::string_view kErrorResponse = "Error response for {method} {url}: {error}";
constexpr std::string_view kStreamError =
    "Error reading streamed response for {method} {url}: {error}";
constexpr std::string_view kConversionError =
    "Error converting response for {method} {url}: {error}";

CallError requestError(std::uint32_t code, std::string_view messageTemplate, std::uint32_t method,
                       const std::string& url, std::string_view error) {
    Value values[3];
    values[0].setString(methodText(methodFromHost(method)));
    values[1].setString(url);
    values[2].setString(error);
    return CallError::fromTemplate(code, messageTemplate, values);
}

std::uint32_t methodToSend(std::uint32_t method) {
    return method >= 1 && method <= 8 ? method : 0;
}

}  // namespace

namespace detail {

CallError responseConversionError(std::uint32_t method, const std::string& url,
                                  std::string_view error) {
    return requestError(0, kConversionError, method, url, error);
}

}  // namespace detail

void EventSubscriber::Subscribe(const std::string&) {}
void EventSubscriber::Unsubscribe(const std::string&) {}

PluginCore::PluginCore() = default;
PluginCore::~PluginCore() = default;

// --- calls in flight ---------------------------------------------------------------------------

PluginCore::CallScope::CallScope(PluginCore& core) : core_(core), entered_(false) {
    std::lock_guard<std::mutex> lock(core_.drainMutex_);
    if (!core_.stopping_.load()) {
        ++core_.callsInFlight_;
        entered_ = true;
    }
}

PluginCore::CallScope::~CallScope() {
    if (!entered_) {
        return;
    }
    std::lock_guard<std::mutex> lock(core_.drainMutex_);
    if (--core_.callsInFlight_ == 0) {
        core_.drained_.notify_all();
    }
}

void PluginCore::beginStopping() {
    std::lock_guard<std::mutex> lock(drainMutex_);
    stopping_.store(true);
}

void PluginCore::waitForCallsToDrain() {
    std::unique_lock<std::mutex> lock(drainMutex_);
    drained_.wait(lock, [this] { return callsInFlight_ == 0; });
}

// --- binding -----------------------------------------------------------------------------------

void PluginCore::bindCore(HostWord hostContext, const std::string& shortName) {
    hostContext_ = hostContext;
    shortName_ = shortName;
    telemetry_ = std::make_unique<HostTelemetrySink>(*this);
    registerEventHandler(kServiceProxyUuidEventName,
                         ServiceProxyHandler([this](const PluginServiceProxyResponse& answer) {
                             storeServiceProxyAnswer(answer.uuid, answer);
                         }),
                         1);
    registerEventHandler(kServiceProxyMethodEventName,
                         ServiceProxyHandler([this](const PluginServiceProxyResponse& answer) {
                             storeServiceProxyAnswer(
                                 serviceProxyKey(answer.serviceName, answer.methodName), answer);
                         }),
                         1);
    registerEventHandler(kServiceProxyAsyncEventName,
                         ServiceProxyHandler([this](const PluginServiceProxyResponse& answer) {
                             dispatchServiceProxyAsync(answer);
                         }),
                         1);
}

void PluginCore::yield() {
    CallHostBeginWait("Wait: yield", 0);
    CallHostYield();
    CallHostEndWait();
}

// --- requests ----------------------------------------------------------------------------------

void releaseHostResponse(HostResponse& response) {
    if (response.release != nullptr) {
        response.release(&response);
    }
    std::memset(static_cast<void*>(&response), 0, sizeof response);
}

CallResult<void> PluginCore::sendRequest(std::uint32_t method, const std::string& url,
                                         std::span<const HostArgumentEntry> arguments,
                                         HostResponse& response) {
    HostRequest request;
    std::memset(static_cast<void*>(&request), 0, sizeof request);
    request.method = methodToSend(method);
    request.path = url.c_str();
    request.arguments = arguments.empty() ? nullptr : arguments.data();
    request.argumentCount = static_cast<std::uint32_t>(arguments.size());
    request.callerContext = hostContext_;
    CallRequest(&response, &request);
    if (response.errorText != nullptr || response.isError != 0) {
        const char* error = response.errorText != nullptr ? response.errorText : "";
        return CallResult<void>::failure(
            requestError(response.status, kErrorResponse, method, url, error));
    }
    return {};
}

CallResult<Value> PluginCore::readResponse(std::uint32_t method, const std::string& url,
                                           HostResponse& response) {
    if (response.streamRead != nullptr) {
        std::string text;
        text.reserve(std::min(response.streamSize, kMaxStreamReserve));
        const char* readError = nullptr;
        char buffer[kStreamChunkSize];
        for (;;) {
            std::uint32_t length = kStreamChunkSize;
            std::uint8_t more = 0;
            if (response.streamRead(response.stream, buffer, &length, &more) == 0 ||
                length > kStreamChunkSize) {
                // A length above the buffer would make the append read past it.
                readError = "Stream read error";
                break;
            }
            text.append(buffer, length);
            if (more == 0) {
                break;
            }
            if (length < kStreamChunkSize) {
                yield();
            }
        }
        // The reader is done with the stream; the response's own release leaves it alone.
        if (response.streamRelease != nullptr) {
            response.streamRelease(response.stream);
        }
        response.streamRead = nullptr;
        response.streamRelease = nullptr;
        response.stream = nullptr;
        if (readError != nullptr) {
            return CallResult<Value>::failure(
                requestError(0, kStreamError, method, url, readError));
        }
        ValueResult parsed = parseJson(text);
        if (!parsed.ok()) {
            return CallResult<Value>::failure(
                requestError(0, kStreamError, method, url, parsed.error()));
        }
        return CallResult<Value>(std::move(parsed.value()));
    }
    HostResult status{};
    Value value;
    if (!fromHost(status, value, response.body, "<result>")) {
        CallError error =
            requestError(0, kConversionError, method, url, status.error ? status.error : "");
        releaseHostResult(status);
        return CallResult<Value>::failure(std::move(error));
    }
    releaseHostResult(status);
    return CallResult<Value>(std::move(value));
}

CallResult<Value> PluginCore::requestValue(std::uint32_t method, const std::string& url) {
    HostResponse response;
    std::memset(static_cast<void*>(&response), 0, sizeof response);
    CallResult<void> sent = sendRequest(method, url, {}, response);
    if (!sent.ok()) {
        releaseHostResponse(response);
        return CallResult<Value>::failure(sent.releaseError());
    }
    CallResult<Value> result = readResponse(method, url, response);
    releaseHostResponse(response);
    return result;
}

CallResult<void> PluginCore::sendRequestWithParameters(std::uint32_t method, const std::string& url,
                                                       std::span<const NamedParameter> parameters) {
    Value structure;
    structure.makeStructure();
    for (const NamedParameter& parameter : parameters) {
        structure.member(parameter.name) = parameter.value;
    }
    HostArgumentEntry argument;
    std::memset(static_cast<void*>(&argument), 0, sizeof argument);
    HostResult status{};
    if (!toHost(status, argument.value, structure, registry_)) {
        CallError error =
            requestError(400, kRequestNotSent, method, url, status.error ? status.error : "");
        releaseHostResult(status);
        releaseHostValue(argument.value);
        return CallResult<void>::failure(std::move(error));
    }
    releaseHostResult(status);
    HostResponse response;
    std::memset(static_cast<void*>(&response), 0, sizeof response);
    CallResult<void> sent = sendRequest(method, url, std::span(&argument, 1), response);
    // Nobody above this call holds the response or the argument: release both here.
    releaseHostResponse(response);
    releaseHostValue(argument.value);
    return sent;
}

// --- events ------------------------------------------------------------------------------------

std::string PluginCore::eventKeyOf(std::string_view path) {
    std::vector<std::string_view> segments;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            segments.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    const std::size_t keep =
        (!segments.empty() && segments.front() == "zek-platform-config") ? 5 : 3;
    std::string key = kJsonApiEventName;
    for (std::size_t i = 0; i < segments.size() && i < keep; ++i) {
        key += '_';
        key += segments[i];
    }
    return key;
}

bool PluginCore::matchesResourcePattern(std::string_view pattern, std::string_view uri) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < pattern.size() && j < uri.size()) {
        if (pattern[i] != '*') {
            if (pattern[i] != uri[j]) {
                return false;
            }
            ++i;
            ++j;
        } else if (uri[j] == '/') {
            ++i;  // the "*" ends at a segment boundary
        } else {
            ++j;
            if (j == uri.size()) {
                ++i;
            }
        }
    }
    return i == pattern.size() && j == uri.size();
}

void PluginCore::storeHandler(const std::string& eventKey, std::shared_ptr<HandlerHolder> holder,
                              std::uint32_t flags) {
    std::lock_guard<std::recursive_mutex> serialised(subscriptionMutex_);
    const HostEventTrampoline trampoline =
        holder->kind == EventKind::Resource ? &resourceTrampoline : &serviceProxyTrampoline;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        // A delivery that copied the previous holder keeps it alive until it ends.
        eventHandlers_[eventKey] = std::move(holder);
    }
    CallSubscribe(eventKey.c_str(), hostContext_, trampoline, static_cast<void*>(this), flags);
}

void PluginCore::registerEventHandler(const std::string& eventKey, ResourceEventHandler handler,
                                      std::uint32_t flags) {
    auto holder = std::make_shared<HandlerHolder>();
    holder->kind = EventKind::Resource;
    holder->onResource = std::move(handler);
    storeHandler(eventKey, std::move(holder), flags);
}

void PluginCore::registerEventHandler(const std::string& eventKey, ServiceProxyHandler handler,
                                      std::uint32_t flags) {
    auto holder = std::make_shared<HandlerHolder>();
    holder->kind = EventKind::ServiceProxy;
    holder->onServiceProxy = std::move(handler);
    storeHandler(eventKey, std::move(holder), flags);
}

void PluginCore::Subscribe(const std::string& path) {
    const std::string key = eventKeyOf(path);
    std::lock_guard<std::recursive_mutex> serialised(subscriptionMutex_);
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (++subscriptionCounts_[key] != 1) {
            return;
        }
    }
    registerEventHandler(key, ResourceEventHandler([this](const PluginResourceEvent& event) {
                             dispatchResourceEvent(event);
                         }),
                         0);
}

void PluginCore::Unsubscribe(const std::string& path) {
    const std::string key = eventKeyOf(path);
    std::lock_guard<std::recursive_mutex> serialised(subscriptionMutex_);
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        auto count = subscriptionCounts_.find(key);
        if (count == subscriptionCounts_.end() || count->second == 0) {
            // Unbalanced: wrapping the count would keep the next Subscribe from the host.
            return;
        }
        if (--count->second != 0) {
            return;
        }
        subscriptionCounts_.erase(count);
    }
    CallUnsubscribe(key.c_str(), hostContext_);
    std::lock_guard<std::mutex> lock(registryMutex_);
    eventHandlers_.erase(key);
}

void PluginCore::subscribeResource(const std::string& path, ResourceHandler handler) {
    const bool isPattern = path.find('*') != std::string::npos;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        (isPattern ? patternResourceHandlers_ : exactResourceHandlers_)[path] = handler;
    }
    Subscribe(path);
    if (isPattern) {
        return;
    }
    CallResult<Value> current = requestValue(kMethodGet, path);
    if (!current.ok() || !handler) {
        return;
    }
    PluginResourceEvent event;
    event.uri = path;
    event.eventType = PluginResourceEventType::Create;
    event.data = current.releaseValue();
    handler(path, event);
}

void PluginCore::dispatchResourceEvent(const PluginResourceEvent& event) {
    std::string uri = event.uri;
    if (uri.empty() || uri.front() != '/') {
        uri.insert(uri.begin(), '/');
    }
    std::vector<ResourceHandler> handlers;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        auto exact = exactResourceHandlers_.find(uri);
        if (exact != exactResourceHandlers_.end()) {
            handlers.push_back(exact->second);
        }
        for (const auto& [pattern, handler] : patternResourceHandlers_) {
            if (matchesResourcePattern(pattern, uri)) {
                handlers.push_back(handler);
            }
        }
    }
    for (const ResourceHandler& handler : handlers) {
        if (handler) {
            handler(uri, event);
        }
    }
}

void PluginCore::deliver(EventKind kind, HostEvent& event) {
    const char* name = event.name != nullptr ? event.name : "";
    CallScope scope(*this);
    if (!scope.entered()) {
        traceDebug("%s: Dropping event %s while shutting down", shortName_, name);
        return;
    }
    std::shared_ptr<HandlerHolder> holder;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        auto found = eventHandlers_.find(name);
        if (found == eventHandlers_.end()) {
            return;
        }
        holder = found->second;
    }
    HostValue payload;
    std::memcpy(static_cast<void*>(&payload), event.payload, sizeof payload);
    HostResult status{};
    Value value;
    if (!fromHost(status, value, payload, "<result>")) {
        const char* typeName =
            kind == EventKind::Resource ? "PluginResourceEvent" : "PluginServiceProxyResponse";
        traceDebug("%s: Couldn't convert payload %s for event %s: %s", shortName_, typeName, name,
                   status.error != nullptr ? status.error : "");
        releaseHostResult(status);
        return;
    }
    releaseHostResult(status);
    if (kind == EventKind::Resource) {
        PluginResourceEvent native;
        ValueResult converted = toNativeRecord(native, value, "<result>", *registry_);
        if (!converted.ok()) {
            traceDebug("%s: Couldn't convert payload %s for event %s: %s", shortName_,
                       "PluginResourceEvent", name, converted.error());
            return;
        }
        if (!holder->onResource) {
            traceDebug("%s: No handler for event %s", shortName_, name);
            return;
        }
        traceDebug("%s: Handling event %s", shortName_, name);
        holder->onResource(native);
        return;
    }
    PluginServiceProxyResponse native;
    ValueResult converted = toNativeRecord(native, value, "<result>", *registry_);
    if (!converted.ok()) {
        traceDebug("%s: Couldn't convert payload %s for event %s: %s", shortName_,
                   "PluginServiceProxyResponse", name, converted.error());
        return;
    }
    if (!holder->onServiceProxy) {
        traceDebug("%s: No handler for event %s", shortName_, name);
        return;
    }
    traceDebug("%s: Handling event %s", shortName_, name);
    holder->onServiceProxy(native);
}

void MOX_CDECL PluginCore::resourceTrampoline(HostEvent* event) {
    if (event == nullptr || event->userData == nullptr) {
        return;
    }
    try {
        static_cast<PluginCore*>(event->userData)->deliver(EventKind::Resource, *event);
    } catch (...) {
        traceDebug("Dropped event %s: its handler failed", event->name);
    }
}

void MOX_CDECL PluginCore::serviceProxyTrampoline(HostEvent* event) {
    if (event == nullptr || event->userData == nullptr) {
        return;
    }
    try {
        static_cast<PluginCore*>(event->userData)->deliver(EventKind::ServiceProxy, *event);
    } catch (...) {
        traceDebug("Dropped event %s: its handler failed", event->name);
    }
}

// --- service proxy -----------------------------------------------------------------------------

std::string PluginCore::serviceProxyKey(std::string_view serviceName, std::string_view methodName) {
    return formatMessage("%1.%2", serviceName, methodName);
}

void PluginCore::waitForServiceProxyAnswer(const std::string& answerKey,
                                           ServiceProxyHandler callback) {
    {
        std::lock_guard<std::mutex> lock(serviceProxyMutex_);
        waitingCallbacks_[answerKey] = std::move(callback);
    }
}

void PluginCore::setServiceProxyAsyncHandler(const std::string& serviceName,
                                             const std::string& methodName,
                                             ServiceProxyHandler handler) {
    std::lock_guard<std::mutex> lock(serviceProxyMutex_);
    asyncHandlers_[serviceProxyKey(serviceName, methodName)] = std::move(handler);
}

std::size_t PluginCore::unclaimedServiceProxyAnswers() const {
    std::lock_guard<std::mutex> lock(serviceProxyMutex_);
    return receivedAnswers_.size();
}

void PluginCore::storeServiceProxyAnswer(const std::string& answerKey,
                                         const PluginServiceProxyResponse& answer) {
    {
        std::lock_guard<std::mutex> lock(serviceProxyMutex_);
        for (auto it = receivedAnswers_.begin(); it != receivedAnswers_.end(); ++it) {
            if (it->first == answerKey) {
                receivedAnswers_.erase(it);
                break;
            }
        }
        if (receivedAnswers_.size() >= kMaxUnclaimedServiceProxyAnswers) {
            // Nothing claims answers in this library; an unbounded store would grow for as
            // long as the host keeps sending them.
            LogManager::write(kLogWarn, kGroupDbg, "%s: Dropped unclaimed service proxy answer: %s",
                              shortName_, receivedAnswers_.front().first);
            receivedAnswers_.pop_front();
        }
        receivedAnswers_.emplace_back(answerKey, answer);
    }
    fulfilServiceProxyAnswer();
}

void PluginCore::fulfilServiceProxyAnswer() {
    std::lock_guard<std::mutex> lock(serviceProxyMutex_);
    for (auto it = receivedAnswers_.begin(); it != receivedAnswers_.end(); ++it) {
        auto callback = waitingCallbacks_.find(it->first);
        if (callback == waitingCallbacks_.end()) {
            continue;
        }
        ServiceProxyHandler claimed = std::move(callback->second);
        waitingCallbacks_.erase(callback);
        const std::string key = it->first;
        const PluginServiceProxyResponse answer = std::move(it->second);
        receivedAnswers_.erase(it);
        if (claimed) {
            claimed(answer);
        }
        LogManager::write(kLogAlways, kGroupDbg, "%s: Fulfilled service proxy request: %s",
                          shortName_, key);
        return;
    }
}

void PluginCore::dispatchServiceProxyAsync(const PluginServiceProxyResponse& answer) {
    const std::string key = serviceProxyKey(answer.serviceName, answer.methodName);
    std::lock_guard<std::mutex> lock(serviceProxyMutex_);
    auto handler = asyncHandlers_.find(key);
    if (handler == asyncHandlers_.end() || !handler->second) {
        LogManager::write(kLogError, kGroupDbg,
                          "%s: Could not find registered handler for async service proxy event %s",
                          shortName_, key);
        return;
    }
    handler->second(answer);
}

// --- shut-down ---------------------------------------------------------------------------------

void PluginCore::onShutdown() {
    std::lock_guard<std::recursive_mutex> serialised(subscriptionMutex_);
    std::vector<std::string> keys;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        keys.reserve(eventHandlers_.size());
        for (const auto& entry : eventHandlers_) {
            keys.push_back(entry.first);
        }
    }
    for (const std::string& key : keys) {
        CallUnsubscribe(key.c_str(), hostContext_);
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        eventHandlers_.clear();
        subscriptionCounts_.clear();
    }
    {
        std::lock_guard<std::mutex> lock(serviceProxyMutex_);
        waitingCallbacks_.clear();
        asyncHandlers_.clear();
        receivedAnswers_.clear();
    }
    std::lock_guard<std::mutex> lock(registryMutex_);
    exactResourceHandlers_.clear();
    patternResourceHandlers_.clear();
}

// --- telemetry ---------------------------------------------------------------------------------

std::future<CallResult<void>> HostTelemetrySink::postTelemetryEvent(const std::string& name,
                                                                    const TelemetryFields& fields) {
    std::promise<CallResult<void>> promise;
    std::future<CallResult<void>> future = promise.get_future();
    std::vector<NamedParameter> parameters;
    parameters.reserve(fields.size());
    for (const auto& [field, text] : fields) {
        NamedParameter& parameter = parameters.emplace_back();
        parameter.name = field;
        parameter.value.setString(text);
    }
    promise.set_value(
        core_->sendRequestWithParameters(kMethodPost, "/telemetry/v1/events/" + name, parameters));
    return future;
}

}  // namespace mox
