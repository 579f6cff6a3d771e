#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "frame_test_support.h"
#include "logging/log_manager.h"
#include "logging/log_test_support.h"
#include "logging/plugin_log_target.h"

namespace mox::testing {
namespace {

class PluginLifecycleTest : public FrameTest {};

std::size_t count(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

TEST_F(PluginLifecycleTest, InitializeRoutesLoggingToTheHostAndSubscribesTheServiceProxy) {
    loadAndInitialise();
    // The three service-proxy events, with flags 1, this host's context and the plugin.
    const std::vector<host::Subscription> calls = host.subscribeCalls();
    ASSERT_EQ(calls.size(), 3u);
    const char* expected[] = {"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent",
                              "OnServiceProxyAsyncEvent"};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i]);
        EXPECT_EQ(calls[i].name, expected[i]);
        EXPECT_EQ(calls[i].flags, 1u);
        EXPECT_EQ(calls[i].hostContext, 0x5eedu);
        EXPECT_EQ(calls[i].userData, host.record().handle);
        EXPECT_NE(calls[i].trampoline, nullptr);
    }
    EXPECT_EQ(plugin().hostContext(), 0x5eedu);
    ASSERT_NE(plugin().telemetrySink(), nullptr);

    // Level 0 now reaches the host as level and message text; "XTR" stays suppressed.
    ASSERT_NE(plugin().logTarget(), nullptr);
    EXPECT_STREQ(plugin().logTarget()->format(), "#D| #L| #G| #M");
    EXPECT_EQ(LogManager::getLevel(), kLogOkay);
    EXPECT_EQ(LogManager::getSuppressedGroups(), kGroupXtr);
    LogManager::write(kLogOkay, kGroupDbg, "hello %s", "host");
    LogManager::write(kLogAlways, kGroupXtr, "suppressed");
    const std::vector<host::LogLine> lines = host.logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, kLogOkay);
    EXPECT_EQ(lines[0].text, "hello host");
}

TEST_F(PluginLifecycleTest, AnExistingPluginLogTargetLeavesTheLogSetUpAlone) {
    LogManager::addRef();
    CapturingTarget existing("PluginLogTarget");
    existing.attach();
    const LogLevel level = LogManager::getLevel();
    loadAndInitialise();
    EXPECT_EQ(plugin().logTarget(), nullptr);
    EXPECT_EQ(LogManager::getLevel(), level);
    LogManager::write(kLogError, kGroupDbg, "to the existing target");
    EXPECT_TRUE(host.logLines().empty());
    EXPECT_EQ(existing.messages().size(), 1u);
    host.shutdown();
    existing.detach();
    LogManager::release();
}

TEST_F(PluginLifecycleTest, InitializeReturnsWhatOnInitialisedReturns) {
    for (bool result : {true, false}) {
        SCOPED_TRACE(result);
        resetTestPlugin();
        testPluginScript().initialiseResult = result;
        host::HostDouble host;
        ASSERT_TRUE(host.load(&loadTestPlugin));
        EXPECT_EQ(host.initialize(), result);
    }
}

TEST_F(PluginLifecycleTest, YieldBracketsTheHostYieldWithAWait) {
    loadAndInitialise();
    const host::CallAnswer answer =
        host.call("GetTestPluginV1Yield", host::kGet, "/test-plugin/v1/yield");
    ASSERT_TRUE(answer.found);
    EXPECT_FALSE(answer.isError) << answer.errorText;
    EXPECT_EQ(answer.body.asString(), "yielded");
    EXPECT_EQ(host.waits(), (std::vector<std::string>{"begin:Wait: yield:0", "yield", "end"}));
}

TEST_F(PluginLifecycleTest, FunctionCallsReachTheRouter) {
    loadAndInitialise();
    const host::CallAnswer echo =
        host.call("GetTestPluginV1Echo", host::kGet, "/test-plugin/v1/echo");
    EXPECT_FALSE(echo.isError) << echo.errorText;
    EXPECT_EQ(echo.body.asString(), "echo");
    const host::CallAnswer wrongPath = host.call("GetTestPluginV1Echo", host::kGet, "/elsewhere");
    EXPECT_TRUE(wrongPath.isError);
    EXPECT_EQ(wrongPath.errorText, "Invalid function");
    EXPECT_EQ(wrongPath.status, 404u);
}

TEST_F(PluginLifecycleTest, ShutdownUnsubscribesEveryKeyOnceAndDestroysThePlugin) {
    testPluginScript().subscribePaths = {"/a/v1/x", "/b/v1/y", "/c/v1/*", "/a/v1/x/deeper"};
    loadAndInitialise();
    host.shutdown();
    const std::vector<std::string> unsubscribed = host.unsubscribeCalls();
    const char* keys[] = {"OnJsonApiEvent_a_v1_x",     "OnJsonApiEvent_b_v1_y",
                          "OnJsonApiEvent_c_v1_*",     "OnServiceProxyUuidEvent",
                          "OnServiceProxyMethodEvent", "OnServiceProxyAsyncEvent"};
    EXPECT_EQ(unsubscribed.size(), std::size(keys));
    for (const char* key : keys) {
        SCOPED_TRACE(key);
        EXPECT_EQ(count(unsubscribed, key), 1u);
    }
    EXPECT_TRUE(host.activeSubscriptions().empty());
    EXPECT_EQ(shutdownCalls(), 1);
    EXPECT_EQ(destroyedPlugins(), 1);
}

TEST_F(PluginLifecycleTest, ShutdownWaitsForACallInFlight) {
    loadAndInitialise();
    std::future<host::CallAnswer> call = std::async(std::launch::async, [this] {
        return host.call("GetTestPluginV1Block", host::kGet, "/test-plugin/v1/block");
    });
    ASSERT_TRUE(waitUntilBlocked(5000));
    std::future<void> shutdown = std::async(std::launch::async, [this] { host.shutdown(); });
    EXPECT_EQ(shutdown.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(destroyedPlugins(), 0);
    EXPECT_EQ(shutdownCalls(), 1);  // the stop itself ran; only the destruction waits
    releaseBlocked();
    shutdown.get();
    const host::CallAnswer answer = call.get();
    EXPECT_EQ(answer.body.asString(), "released");
    EXPECT_EQ(destroyedPlugins(), 1);
}

TEST_F(PluginLifecycleTest, TheHostDoubleRefusesCallsAgainstTheContract) {
    loadAndInitialise();
    // Shutdown from inside a yield the plugin makes during a call would wait for that call.
    host.setYieldHandler([this] { host.shutdown(); });
    (void)host.call("GetTestPluginV1Yield", host::kGet, "/test-plugin/v1/yield");
    host.setYieldHandler(nullptr);
    ASSERT_EQ(host.contractViolations(),
              (std::vector<std::string>{"shutdown from inside a plugin call"}));
    EXPECT_EQ(destroyedPlugins(), 0);
    host.shutdown();
    EXPECT_FALSE(host.call("GetTestPluginV1Echo", host::kGet, "/test-plugin/v1/echo").found);
    EXPECT_FALSE(host.deliver("OnServiceProxyUuidEvent", Value()));
    EXPECT_EQ(host.contractViolations().size(), 2u);
}

}  // namespace
}  // namespace mox::testing
