#include "host/host_double.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "binding/api_description.h"
#include "binding/host_value.h"
#include "platform/shared_library.h"
#include "plugin/entry/allocation.h"
#include "routing/function_table.h"
#include "routing/host_request.h"
#include "routing/host_response.h"

namespace mox::host {

namespace {

static_assert(sizeof(HostValue) == kHostValueBytes);

// How deep the current thread is inside calls this process's doubles made into a plugin.
thread_local int tPluginCallDepth = 0;

// How deep the current thread is inside this process's doubles' host services.
thread_local int tHostServiceDepth = 0;

// How deep the current thread is inside the plugin's code, called by this process's doubles.
thread_local int tPluginCodeDepth = 0;

// Marks the current thread as running the plugin's code for its lifetime.
struct InPluginCode {
    InPluginCode() { ++tPluginCodeDepth; }
    ~InPluginCode() { --tPluginCodeDepth; }
    InPluginCode(const InPluginCode&) = delete;
    InPluginCode& operator=(const InPluginCode&) = delete;
};

// Marks the current thread as inside a host service for its lifetime.
struct InHostService {
    InHostService() { ++tHostServiceDepth; }
    ~InHostService() { --tHostServiceDepth; }
    InHostService(const InHostService&) = delete;
    InHostService& operator=(const InHostService&) = delete;
};

struct StreamState;

}  // namespace

// The services block handed to the plugin: the table first, so the plugin's `self` pointer
// leads back to the double.
struct ServicesBlock {
    HostServices services;
    HostDouble* owner;
    detail::HostDoubleState* state;
};

struct detail::HostDoubleState {
    ServicesBlock block{};
    HostBinding binding{};

    mutable std::mutex mutex;
    std::map<std::pair<std::uint32_t, std::string>, Reply> replies;
    Reply otherReply = Reply::withError("Not found", 404);
    std::vector<RecordedRequest> requests;
    std::vector<Subscription> subscribeCalls;
    std::vector<std::string> unsubscribeCalls;
    std::map<std::string, Subscription> active;
    std::vector<LogLine> logLines;
    std::vector<std::string> waits;
    std::size_t serviceCalls[6] = {};
    std::set<const void*> openStreams;
    std::vector<std::string> violations;
    std::function<void()> yieldHandler;
    bool shuttingDown = false;
    // Calls of this double inside the plugin (entered and not yet left), on any thread.
    std::size_t callsInFlight = 0;
    std::condition_variable callsLeft;

    // Event threads.
    std::deque<std::pair<std::string, Value>> queue;
    std::size_t delivering = 0;
    bool stopThreads = false;
    std::condition_variable queueChanged;
    std::vector<std::thread> threads;
};

namespace {

detail::HostDoubleState& stateOf(HostServices* self) {
    return *reinterpret_cast<ServicesBlock*>(self)->state;
}

struct StreamState {
    detail::HostDoubleState* state;
    std::size_t requestIndex;
    std::string body;
    std::vector<std::uint32_t> chunks;
    std::optional<std::size_t> failingRead;
    std::optional<std::size_t> oversizedRead;
    std::size_t position = 0;
    std::size_t reads = 0;
};

std::uint8_t MOX_CDECL streamRead(void* stream, void* buffer, std::uint32_t* length,
                                  std::uint8_t* more) {
    const InHostService inService;
    auto* s = static_cast<StreamState*>(stream);
    const std::size_t index = s->reads++;
    {
        std::lock_guard<std::mutex> lock(s->state->mutex);
        s->state->requests[s->requestIndex].streamReads = s->reads;
    }
    if (s->failingRead && *s->failingRead == index) {
        *length = 0;
        *more = 0;
        return 0;
    }
    const std::uint32_t capacity = *length;
    if (s->oversizedRead && *s->oversizedRead == index) {
        // Claims more than the buffer holds; writes only what fits.
        const std::size_t n = std::min<std::size_t>(capacity, s->body.size() - s->position);
        std::memcpy(buffer, s->body.data() + s->position, n);
        s->position += n;
        *length = capacity + 1;
        *more = 1;
        return 1;
    }
    std::size_t wanted = index < s->chunks.size() ? s->chunks[index] : capacity;
    wanted = std::min<std::size_t>({wanted, capacity, s->body.size() - s->position});
    std::memcpy(buffer, s->body.data() + s->position, wanted);
    s->position += wanted;
    *length = static_cast<std::uint32_t>(wanted);
    *more = s->position < s->body.size() ? 1 : 0;
    return 1;
}

void MOX_CDECL streamRelease(void* stream) {
    const InHostService inService;
    auto* s = static_cast<StreamState*>(stream);
    {
        std::lock_guard<std::mutex> lock(s->state->mutex);
        s->state->openStreams.erase(stream);
    }
    delete s;
}

void MOX_CDECL releaseReply(HostResponse* response) {
    const InHostService inService;
    releaseHostValue(response->body);
    deallocate(response->errorText);
    std::memset(static_cast<void*>(response), 0, sizeof *response);
}

// The release of a reply whose body the test owns (`Reply::rawBody`).
void MOX_CDECL releaseRawReply(HostResponse* response) {
    const InHostService inService;
    std::memset(static_cast<void*>(response), 0, sizeof *response);
}

void MOX_CDECL sendRequest(HostServices* self, HostResponse* response, const HostRequest* request) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    RecordedRequest recorded;
    recorded.method = request->method;
    recorded.path = request->path != nullptr ? request->path : "";
    recorded.callerContext = request->callerContext;
    for (std::uint32_t i = 0; request->arguments != nullptr && i < request->argumentCount; ++i) {
        const HostArgumentEntry& entry = request->arguments[i];
        RecordedArgument& argument = recorded.arguments.emplace_back();
        if (entry.name != nullptr) {
            argument.name = entry.name;
        }
        HostResult status{};
        if (!fromHost(status, argument.value, entry.value, "<value>")) {
            argument.value.setString(status.error != nullptr ? status.error : "unreadable");
        }
        releaseHostResult(status);
    }
    Reply reply;
    std::size_t requestIndex = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        auto found = state.replies.find({recorded.method, recorded.path});
        reply = found != state.replies.end() ? found->second : state.otherReply;
        requestIndex = state.requests.size();
        state.requests.push_back(std::move(recorded));
    }
    if (reply.delay.count() > 0) {
        std::this_thread::sleep_for(reply.delay);
    }
    std::memset(static_cast<void*>(response), 0, sizeof *response);
    response->status = reply.status;
    response->release = &releaseReply;
    if (reply.rawBody) {
        response->body = *reply.rawBody;
        response->release = &releaseRawReply;
        return;
    }
    if (reply.error) {
        response->errorText = duplicateString(reply.error->c_str());
        response->isError = 1;
        return;
    }
    if (reply.isStream) {
        auto* stream = new StreamState{&state,       requestIndex,      reply.streamBody,
                                       reply.chunks, reply.failingRead, reply.oversizedRead};
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.openStreams.insert(stream);
        }
        response->streamRead = &streamRead;
        response->streamRelease = &streamRelease;
        response->streamSize = reply.reportedSize
                                   ? *reply.reportedSize
                                   : static_cast<std::uint32_t>(reply.streamBody.size());
        response->stream = stream;
        return;
    }
    HostResult status{};
    if (!toHost(status, response->body, reply.body, nullptr)) {
        releaseHostValue(response->body);
        response->errorText = duplicateString(status.error != nullptr ? status.error : "");
        response->isError = 1;
        response->status = 500;
    }
    releaseHostResult(status);
}

HostWord MOX_CDECL service1(HostServices* self, HostWord, HostWord) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    std::lock_guard<std::mutex> lock(state.mutex);
    ++state.serviceCalls[1];
    return 0;
}

HostWord MOX_CDECL service2(HostServices* self, HostWord) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    std::lock_guard<std::mutex> lock(state.mutex);
    ++state.serviceCalls[2];
    return 0;
}

HostWord MOX_CDECL service5(HostServices* self, HostWord, HostWord, HostWord, double, HostWord) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    std::lock_guard<std::mutex> lock(state.mutex);
    ++state.serviceCalls[5];
    return 0;
}

HostWord MOX_CDECL subscribe(HostServices* self, const char* eventName, HostWord hostContext,
                             HostEventTrampoline trampoline, void* userData, std::uint32_t flags) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    Subscription subscription{eventName != nullptr ? eventName : "", hostContext, trampoline,
                              userData, flags};
    std::lock_guard<std::mutex> lock(state.mutex);
    state.subscribeCalls.push_back(subscription);
    state.active[subscription.name] = subscription;
    return 1;
}

HostWord MOX_CDECL unsubscribe(HostServices* self, const char* eventName, HostWord) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    const std::string name = eventName != nullptr ? eventName : "";
    std::lock_guard<std::mutex> lock(state.mutex);
    state.unsubscribeCalls.push_back(name);
    state.active.erase(name);
    return 0;
}

HostWord MOX_CDECL yieldService(HostServices* self) {
    detail::HostDoubleState& state = stateOf(self);
    std::function<void()> handler;
    {
        // The handler itself may call into the plugin: it runs outside the marked part.
        const InHostService inService;
        std::lock_guard<std::mutex> lock(state.mutex);
        state.waits.emplace_back("yield");
        handler = state.yieldHandler;
    }
    if (handler) {
        handler();
    }
    return 0;
}

HostWord MOX_CDECL beginWait(HostServices* self, const char* text, HostWord value) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    std::lock_guard<std::mutex> lock(state.mutex);
    state.waits.push_back("begin:" + std::string(text != nullptr ? text : "") + ":" +
                          std::to_string(value));
    return 0;
}

HostWord MOX_CDECL endWait(HostServices* self) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    std::lock_guard<std::mutex> lock(state.mutex);
    state.waits.emplace_back("end");
    return 0;
}

void MOX_CDECL log(HostServices* self, std::int32_t level, const char* text) {
    const InHostService inService;
    detail::HostDoubleState& state = stateOf(self);
    std::lock_guard<std::mutex> lock(state.mutex);
    state.logLines.push_back({level, text != nullptr ? text : ""});
}

}  // namespace

// --- replies -----------------------------------------------------------------------------------

Reply Reply::withValue(Value body, std::uint32_t status) {
    Reply reply;
    reply.body = std::move(body);
    reply.status = status;
    return reply;
}

Reply Reply::ok(std::uint32_t status) {
    Reply reply;
    reply.status = status;
    return reply;
}

Reply Reply::withError(std::string text, std::uint32_t status) {
    Reply reply;
    reply.error = std::move(text);
    reply.status = status;
    return reply;
}

Reply Reply::streamed(std::string body, std::vector<std::uint32_t> chunks) {
    Reply reply;
    reply.isStream = true;
    reply.streamBody = std::move(body);
    reply.chunks = std::move(chunks);
    return reply;
}

// --- life cycle --------------------------------------------------------------------------------

HostDouble::HostDouble(HostWord hostContext) : state_(std::make_unique<detail::HostDoubleState>()) {
    HostServices& s = state_->block.services;
    s.hostSendRequest = &sendRequest;
    s.hostService1 = &service1;
    s.hostService2 = &service2;
    s.hostSubscribe = &subscribe;
    s.hostUnsubscribe = &unsubscribe;
    s.hostService5 = &service5;
    s.hostYield = &yieldService;
    s.hostBeginWait = &beginWait;
    s.hostEndWait = &endWait;
    s.hostLog = &log;
    state_->block.owner = this;
    state_->block.state = state_.get();
    state_->binding.services = &state_->block.services;
    state_->binding.hostContext = hostContext;
}

HostDouble::~HostDouble() {
    stopEventThreads();
    if (loaded_ && !state_->shuttingDown) {
        shutdown();
    }
    // A loaded library stays mapped until the process ends unless `unloadLibrary` closed it,
    // as a host keeps its plugin modules.
}

bool HostDouble::enterPluginCall(const char* what) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!loaded_ || state_->shuttingDown) {
        state_->violations.push_back(std::string(what) + " without a live plugin");
        return false;
    }
    ++tPluginCallDepth;
    ++state_->callsInFlight;
    return true;
}

void HostDouble::leavePluginCall() {
    --tPluginCallDepth;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (--state_->callsInFlight == 0) {
        state_->callsLeft.notify_all();
    }
}

bool HostDouble::load(PluginLoadFunction load, std::uint32_t major, std::uint32_t minor,
                      std::uint32_t patch) {
    if (loaded_ || load == nullptr) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->violations.emplace_back("load twice");
        return false;
    }
    std::memset(static_cast<void*>(&record_), 0, sizeof record_);
    record_.apiMajor = major;
    record_.apiMinor = minor;
    record_.apiPatch = patch;
    {
        const InPluginCode inPlugin;
        load(&record_);
    }
    loaded_ = record_.entryTable != nullptr && record_.handle != nullptr;
    if (loaded_) {
        getMemoryStats_ = record_.entryTable->getMemoryStats;
    }
    return loaded_;
}

bool HostDouble::loadLibrary(const std::string& path, const char* symbol) {
    if (loaded_ || library_ != nullptr) {
        libraryError_ = "a plugin is loaded already";
        return false;
    }
    platform::SharedLibrary library = platform::openSharedLibrary(path, libraryError_);
    if (library.handle == nullptr) {
        return false;
    }
    void* entry = platform::findSharedLibrarySymbol(library, symbol, libraryError_);
    if (entry == nullptr || !load(reinterpret_cast<PluginLoadFunction>(entry))) {
        if (entry != nullptr) {
            libraryError_ = "the plugin did not fill the load record";
        }
        platform::closeSharedLibrary(library);
        return false;
    }
    library_ = library.handle;
    return true;
}

bool HostDouble::unloadLibrary() {
    if (library_ == nullptr || tPluginCallDepth > 0) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->violations.emplace_back(library_ == nullptr ? "unload without a library"
                                                            : "unload from inside a plugin call");
        return false;
    }
    stopEventThreads();
    if (loaded_ && !state_->shuttingDown) {
        shutdown();
    }
    platform::SharedLibrary library{library_};
    platform::closeSharedLibrary(library);
    library_ = nullptr;
    unloaded_ = true;
    return true;
}

bool HostDouble::initialize() {
    if (initialised_ || !enterPluginCall("initialize")) {
        return false;
    }
    initialised_ = true;
    bool result = false;
    {
        const InPluginCode inPlugin;
        result = record_.entryTable->initialize(record_.handle, &state_->binding) != 0;
    }
    leavePluginCall();
    return result;
}

void HostDouble::shutdown() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!loaded_ || state_->shuttingDown) {
            state_->violations.emplace_back("shutdown without a live plugin");
            return;
        }
        if (tPluginCallDepth > 0) {
            // The plugin waits for its calls in flight, this thread's among them.
            state_->violations.emplace_back("shutdown from inside a plugin call");
            return;
        }
        state_->shuttingDown = true;
    }
    const InPluginCode inPlugin;
    record_.entryTable->shutdown(record_.handle);
    // The plugin waited for its handlers; a call of this double may still be releasing the
    // response it got (through the plugin's release function). Nothing may reach the plugin
    // once this returns, so those are waited for too.
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->callsLeft.wait(lock, [this] { return state_->callsInFlight == 0; });
}

MemoryStats HostDouble::memoryStats() {
    MemoryStats stats{};
    if (loaded_ && !state_->shuttingDown) {
        record_.entryTable->getMemoryStats(record_.handle, &stats);
    }
    return stats;
}

MemoryStats HostDouble::memoryStatsAfterShutdown() {
    MemoryStats stats{};
    if (loaded_ && state_->shuttingDown && !unloaded_ && getMemoryStats_ != nullptr) {
        getMemoryStats_(nullptr, &stats);
    }
    return stats;
}

const HostApiDescription* HostDouble::functionTable() const {
    return loaded_ ? static_cast<const HostApiDescription*>(record_.functionTable) : nullptr;
}

// --- scripting and records ---------------------------------------------------------------------

void HostDouble::serve(std::uint32_t method, const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->replies[{method, path}] = std::move(reply);
}

void HostDouble::serveOthers(Reply reply) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->otherReply = std::move(reply);
}

std::vector<RecordedRequest> HostDouble::requests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->requests;
}

std::vector<Subscription> HostDouble::subscribeCalls() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->subscribeCalls;
}

std::vector<std::string> HostDouble::unsubscribeCalls() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->unsubscribeCalls;
}

std::vector<std::string> HostDouble::activeSubscriptions() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<std::string> names;
    for (const auto& entry : state_->active) {
        names.push_back(entry.first);
    }
    return names;
}

bool HostDouble::isSubscribed(const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->active.count(name) != 0;
}

std::vector<LogLine> HostDouble::logLines() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->logLines;
}

std::vector<std::string> HostDouble::waits() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->waits;
}

std::size_t HostDouble::serviceCalls(int number) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return number >= 0 && number < 6 ? state_->serviceCalls[number] : 0;
}

std::size_t HostDouble::openStreams() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->openStreams.size();
}

std::vector<std::string> HostDouble::contractViolations() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->violations;
}

void HostDouble::clearRecords() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->requests.clear();
    state_->subscribeCalls.clear();
    state_->unsubscribeCalls.clear();
    state_->logLines.clear();
    state_->waits.clear();
    std::fill(std::begin(state_->serviceCalls), std::end(state_->serviceCalls), 0);
}

bool HostDouble::insideHostService() {
    return tHostServiceDepth > 0;
}

bool HostDouble::insidePluginCode() {
    return tPluginCodeDepth > 0 && tHostServiceDepth == 0;
}

void HostDouble::setYieldHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->yieldHandler = std::move(handler);
}

// --- events ------------------------------------------------------------------------------------

bool HostDouble::deliver(const std::string& name, const Value& payload) {
    Subscription subscription;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        auto found = state_->active.find(name);
        if (found == state_->active.end()) {
            return false;
        }
        subscription = found->second;
    }
    if (subscription.trampoline == nullptr) {
        return false;
    }
    HostValue value{};
    HostResult status{};
    const bool converted = toHost(status, value, payload, nullptr);
    releaseHostResult(status);
    if (!converted) {
        releaseHostValue(value);
        return false;
    }
    if (!enterPluginCall("event delivery")) {
        releaseHostValue(value);
        return false;
    }
    HostEvent event;
    std::memset(static_cast<void*>(&event), 0, sizeof event);
    event.name = subscription.name.c_str();
    std::memcpy(event.payload, &value, sizeof value);
    event.userData = subscription.userData;
    {
        const InPluginCode inPlugin;
        subscription.trampoline(&event);
    }
    leavePluginCall();
    releaseHostValue(value);
    return true;
}

void HostDouble::post(const std::string& name, const Value& payload) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->queue.emplace_back(name, payload);
    }
    state_->queueChanged.notify_one();
}

void HostDouble::startEventThreads(std::size_t count) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopThreads = false;
    for (std::size_t i = 0; i < count; ++i) {
        state_->threads.emplace_back([this] {
            std::unique_lock<std::mutex> lock(state_->mutex);
            for (;;) {
                state_->queueChanged.wait(
                    lock, [this] { return state_->stopThreads || !state_->queue.empty(); });
                if (state_->queue.empty()) {
                    return;  // stopping, and nothing left
                }
                std::pair<std::string, Value> event = std::move(state_->queue.front());
                state_->queue.pop_front();
                ++state_->delivering;
                lock.unlock();
                deliver(event.first, event.second);
                lock.lock();
                --state_->delivering;
                state_->queueChanged.notify_all();
            }
        });
    }
}

void HostDouble::stopEventThreads() {
    std::vector<std::thread> threads;
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        if (!state_->threads.empty()) {
            state_->queueChanged.wait(
                lock, [this] { return state_->queue.empty() && state_->delivering == 0; });
        }
        state_->stopThreads = true;
        threads.swap(state_->threads);
    }
    state_->queueChanged.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// --- function calls ----------------------------------------------------------------------------

CallAnswer HostDouble::call(const std::string& function, std::uint32_t method,
                            const std::string& path) {
    return call(function, method, path, std::string(), nullptr);
}

CallAnswer HostDouble::call(const std::string& function, std::uint32_t method,
                            const std::string& path, const std::string& body,
                            const char* contentType) {
    CallAnswer answer;
    // Checked first: after shutdown even the table is gone.
    if (!enterPluginCall("function call")) {
        return answer;
    }
    const HostApiDescription* table = functionTable();
    if (table == nullptr) {
        leavePluginCall();
        return answer;
    }
    // Every function record of the table is the head of a `FunctionEntry`.
    const FunctionEntry* entry = nullptr;
    for (const HostFunctionRecord* record = table->functions; record != nullptr;
         record = record->next) {
        if (record->name != nullptr && function == record->name) {
            entry = reinterpret_cast<const FunctionEntry*>(record);
            break;
        }
    }
    if (entry == nullptr || entry->handler == nullptr) {
        leavePluginCall();
        return answer;
    }
    answer.found = true;
    HostRequest request;
    std::memset(static_cast<void*>(&request), 0, sizeof request);
    request.method = method;
    request.path = path.c_str();
    request.context = entry->description.dispatchContext;
    request.callerContext = state_->binding.hostContext;
    request.contentType = contentType;
    request.body = body.empty() ? nullptr : reinterpret_cast<const std::uint8_t*>(body.data());
    request.bodySize = static_cast<std::uint32_t>(body.size());
    HostResponse response;
    std::memset(static_cast<void*>(&response), 0, sizeof response);
    {
        const InPluginCode inPlugin;
        entry->handler(&response, &request);
    }
    answer.isError = response.isError != 0;
    answer.errorText = response.errorText != nullptr ? response.errorText : "";
    answer.status = response.status;
    answer.text = response.text != nullptr ? response.text : "";
    HostResult status{};
    if (!fromHost(status, answer.body, response.body, "<result>")) {
        answer.body.setString(status.error != nullptr ? status.error : "");
    }
    releaseHostResult(status);
    if (response.streamRead != nullptr) {
        char buffer[4096];
        for (;;) {
            std::uint32_t length = sizeof buffer;
            std::uint8_t more = 0;
            if (response.streamRead(response.stream, buffer, &length, &more) == 0 ||
                length > sizeof buffer) {
                break;
            }
            answer.streamed.append(buffer, length);
            if (more == 0) {
                break;
            }
        }
        if (response.streamRelease != nullptr) {
            response.streamRelease(response.stream);
        }
    }
    if (response.release != nullptr) {
        response.release(&response);
    }
    // Left only now: reading and releasing the response still run plugin code.
    leavePluginCall();
    return answer;
}

}  // namespace mox::host
