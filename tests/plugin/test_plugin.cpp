#include "test_plugin.h"

#include <chrono>
#include <stdexcept>

#include "routing/endpoint.h"

namespace mox::testing {

namespace {

std::mutex gMutex;
std::condition_variable gChanged;
TestPlugin* gLive = nullptr;
int gDestroyed = 0;
int gShutdownCalls = 0;
bool gBlocked = false;
bool gReleased = false;

}  // namespace

TestPluginScript& testPluginScript() {
    static TestPluginScript script;
    return script;
}

void resetTestPlugin() {
    testPluginScript() = TestPluginScript{};
    std::lock_guard<std::mutex> lock(gMutex);
    gDestroyed = 0;
    gShutdownCalls = 0;
    gBlocked = false;
    gReleased = false;
}

TestPlugin* livePlugin() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gLive;
}

int destroyedPlugins() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gDestroyed;
}

int shutdownCalls() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gShutdownCalls;
}

bool waitUntilBlocked(int milliseconds) {
    std::unique_lock<std::mutex> lock(gMutex);
    return gChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                             [] { return gBlocked; });
}

void releaseBlocked() {
    std::lock_guard<std::mutex> lock(gMutex);
    gReleased = true;
    gChanged.notify_all();
}

TestPlugin::TestPlugin() {
    if (testPluginScript().throwOnConstruction) {
        throw std::runtime_error("constructor failed");
    }
    std::lock_guard<std::mutex> lock(gMutex);
    gLive = this;
}

TestPlugin::~TestPlugin() {
    std::lock_guard<std::mutex> lock(gMutex);
    gLive = nullptr;
    ++gDestroyed;
}

void TestPlugin::onRegisterEndpoints() {
    router().bind(RequestMethod::Get, "/test-plugin/v1/echo", *this, &TestPlugin::echo);
    router().bind(RequestMethod::Get, "/test-plugin/v1/block", *this, &TestPlugin::block);
    router().bind(RequestMethod::Get, "/test-plugin/v1/yield", *this, &TestPlugin::yieldOnce);
}

bool TestPlugin::onInitialised() {
    for (const std::string& path : testPluginScript().subscribePaths) {
        subscribeResource(path, [this](const std::string& uri, const PluginResourceEvent& event) {
            onResource(uri, event);
        });
    }
    if (testPluginScript().onInitialised) {
        testPluginScript().onInitialised(*this);
    }
    return testPluginScript().initialiseResult;
}

void TestPlugin::onShutdown() {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        ++gShutdownCalls;
    }
    PluginBase::onShutdown();
}

void TestPlugin::onResource(const std::string& path, const PluginResourceEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back({path, event.eventType, event.data});
}

std::vector<ReceivedEvent> TestPlugin::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string TestPlugin::echo() {
    return "echo";
}

std::string TestPlugin::block() {
    std::unique_lock<std::mutex> lock(gMutex);
    gBlocked = true;
    gChanged.notify_all();
    gChanged.wait(lock, [] { return gReleased; });
    return "released";
}

std::string TestPlugin::yieldOnce() {
    yield();
    return "yielded";
}

void MOX_CDECL loadTestPlugin(PluginLoadRecord* record) {
    loadPlugin<TestPlugin>(record, "test-plugin");
}

}  // namespace mox::testing
