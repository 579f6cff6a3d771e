// A minimal plugin on the frame, for driving the frame through the host double: three
// endpoints, resource subscriptions chosen by the test, and a record of what it received.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "plugin/entry/plugin_entry.h"
#include "plugin/plugin_base.h"

namespace mox::testing {

struct ReceivedEvent {
    std::string path;
    PluginResourceEventType type;
    Value data;
};

class TestPlugin final : public PluginBase {
  public:
    TestPlugin();
    ~TestPlugin() override;

    void onRegisterEndpoints() override;
    bool onInitialised() override;
    void onShutdown() override;

    std::vector<ReceivedEvent> received() const;
    void onResource(const std::string& path, const PluginResourceEvent& event);

    // GET /test-plugin/v1/echo: "echo".
    std::string echo();
    // GET /test-plugin/v1/block: waits until `releaseBlocked()`, then "released".
    std::string block();
    // GET /test-plugin/v1/yield: yields once, then "yielded".
    std::string yieldOnce();

  private:
    mutable std::mutex mutex_;
    std::vector<ReceivedEvent> received_;
};

// What the next TestPlugin does; reset by `resetTestPlugin`.
struct TestPluginScript {
    std::vector<std::string> subscribePaths;  // subscribed in onInitialised
    bool initialiseResult = true;
    bool throwOnConstruction = false;
    std::function<void(TestPlugin&)> onInitialised;  // runs after the subscriptions
};

TestPluginScript& testPluginScript();
void resetTestPlugin();
// The live plugin (between its construction and destruction), or null.
TestPlugin* livePlugin();
int destroyedPlugins();
int shutdownCalls();

// The block endpoint's gate.
bool waitUntilBlocked(int milliseconds);
void releaseBlocked();

// The plugin's load function, as a plugin library exports it.
void MOX_CDECL loadTestPlugin(PluginLoadRecord* record);

}  // namespace mox::testing
