#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "frame_test_support.h"

namespace mox::testing {
namespace {

TEST(EventKeys, KeyOfAResourcePath) {
    struct Row {
        const char* path;
        const char* key;
    };
    const Row rows[] = {
        {"/zek-platform-config/v1/namespaces/NetworkTesting",
         "OnJsonApiEvent_zek-platform-config_v1_namespaces_NetworkTesting"},
        {"/zek-platform-config/v1/namespaces/NetworkTesting/more/and/more",
         "OnJsonApiEvent_zek-platform-config_v1_namespaces_NetworkTesting_more"},
        {"/zek-platform-config/v1", "OnJsonApiEvent_zek-platform-config_v1"},
        {"/network-testing/v1/experiments/extra", "OnJsonApiEvent_network-testing_v1_experiments"},
        {"/a", "OnJsonApiEvent_a"},
        {"a//b///c/d", "OnJsonApiEvent_a_b_c"},
        {"", "OnJsonApiEvent"},
        {"/", "OnJsonApiEvent"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(PluginCore::eventKeyOf(row.path), row.key);
    }
}

TEST(EventKeys, PatternRule) {
    struct Row {
        const char* pattern;
        const char* uri;
        bool matches;
    };
    const Row rows[] = {
        {"/a/*", "/a/b", true},      {"/a/*", "/a/bc", true},       {"/a/*", "/a/", false},
        {"/a/*", "/a/b/c", false},   {"/a/*x", "/a/bx", false},     {"/a/*/c", "/a/b/c", true},
        {"/a/*/c", "/a/bb/c", true}, {"/a/*/c", "/a/b/x/c", false}, {"/a/b", "/a/b", true},
        {"/a/b", "/a/bc", false},    {"/a/*/*", "/a/b/c", true},    {"*", "x", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.pattern) + " ~ " + row.uri);
        EXPECT_EQ(PluginCore::matchesResourcePattern(row.pattern, row.uri), row.matches);
    }
}

class EventsTest : public FrameTest {
  protected:
    std::size_t subscribeCount(const std::string& key) const {
        std::size_t n = 0;
        for (const host::Subscription& s : host.subscribeCalls()) {
            n += s.name == key ? 1 : 0;
        }
        return n;
    }
};

TEST_F(EventsTest, SubscriptionsAreCountedPerKey) {
    loadAndInitialise();
    const std::string key = "OnJsonApiEvent_a_b_c";
    plugin().Subscribe("/a/b/c/1");
    plugin().Subscribe("/a/b/c/2");
    EXPECT_EQ(subscribeCount(key), 1u);
    plugin().Unsubscribe("/a/b/c/1");
    EXPECT_TRUE(host.isSubscribed(key));
    plugin().Unsubscribe("/a/b/c/2");
    EXPECT_FALSE(host.isSubscribed(key));
    EXPECT_EQ(host.unsubscribeCalls(), std::vector<std::string>{key});

    // An unbalanced unsubscribe is ignored, so the next subscribe reaches the host again.
    plugin().Unsubscribe("/a/b/c/3");
    EXPECT_EQ(host.unsubscribeCalls().size(), 1u);
    plugin().Subscribe("/a/b/c/4");
    EXPECT_EQ(subscribeCount(key), 2u);
    EXPECT_TRUE(host.isSubscribed(key));
}

TEST_F(EventsTest, ExactSubscriptionsReadTheCurrentValueFirst) {
    host.serve(host::kGet, "/cfg/v1/ns/one", host::Reply::withValue(unsignedValue(7)));
    testPluginScript().subscribePaths = {"/cfg/v1/ns/one", "/cfg/v1/ns/missing", "/cfg/v1/*"};
    loadAndInitialise();

    std::vector<std::string> gets;
    for (const host::RecordedRequest& request : host.requests()) {
        EXPECT_EQ(request.method, 2u);
        gets.push_back(request.path);
    }
    // A pattern is never read.
    EXPECT_EQ(gets, (std::vector<std::string>{"/cfg/v1/ns/one", "/cfg/v1/ns/missing"}));
    std::vector<ReceivedEvent> received = plugin().received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].path, "/cfg/v1/ns/one");
    EXPECT_EQ(received[0].type, PluginResourceEventType::Create);
    EXPECT_EQ(received[0].data.asUnsigned(), 7u);

    // The failed read delivered nothing, but the subscription stands.
    ASSERT_TRUE(host.deliver("OnJsonApiEvent_cfg_v1_ns",
                             resourceEvent("/cfg/v1/ns/missing", "Update", unsignedValue(1))));
    received = plugin().received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].path, "/cfg/v1/ns/missing");
    EXPECT_EQ(received[1].type, PluginResourceEventType::Update);
}

TEST_F(EventsTest, DispatchAddsTheSlashAndCallsExactBeforePatterns) {
    loadAndInitialise();
    std::vector<std::string> calls;
    std::mutex mutex;
    auto record = [&](const char* who) {
        return [&, who](const std::string& path, const PluginResourceEvent& event) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(std::string(who) + " " + path + " " +
                            std::string(event.data.asString()));
        };
    };
    plugin().subscribeResource("/network-testing/v1/*", record("pattern"));
    plugin().subscribeResource("/network-testing/v1/x", record("exact"));
    calls.clear();  // the exact path's initial read found nothing anyway

    ASSERT_TRUE(host.deliver("OnJsonApiEvent_network-testing_v1_x",
                             resourceEvent("network-testing/v1/x", "Update", Value())));
    Value data;
    data.setString("d");
    // A pattern's key is made by the same rule, "*" and all.
    ASSERT_TRUE(host.deliver("OnJsonApiEvent_network-testing_v1_*",
                             resourceEvent("/network-testing/v1/y", "Delete", data)));
    EXPECT_EQ(calls, (std::vector<std::string>{"exact /network-testing/v1/x ",
                                               "pattern /network-testing/v1/x ",
                                               "pattern /network-testing/v1/y d"}));
}

TEST_F(EventsTest, UndeliverableEventsAreDropped) {
    testPluginScript().subscribePaths = {"/r/v1/x"};
    testPluginScript().onInitialised = [](TestPlugin& plugin) {
        plugin.subscribeResource("/t/v1/throws",
                                 [](const std::string&, const PluginResourceEvent&) {
                                     throw std::runtime_error("handler failed");
                                 });
    };
    loadAndInitialise();
    Value notAnEvent;
    notAnEvent.setString("not a record");
    const Value rows[] = {
        notAnEvent, resourceEvent("/r/v1/x", "Sideways", Value()),  // no such enumerator
    };
    for (const Value& payload : rows) {
        EXPECT_TRUE(host.deliver("OnJsonApiEvent_r_v1_x", payload));
    }
    EXPECT_TRUE(plugin().received().empty());
    // A handler that throws on the host's thread is dropped there.
    EXPECT_TRUE(host.deliver("OnJsonApiEvent_t_v1_throws",
                             resourceEvent("/t/v1/throws", "Update", Value())));
    // The next good event still arrives.
    EXPECT_TRUE(host.deliver("OnJsonApiEvent_r_v1_x", resourceEvent("/r/v1/x", "Update", Value())));
    EXPECT_EQ(plugin().received().size(), 1u);
}

TEST_F(EventsTest, EventsFromSeveralHostThreadsWhileThePluginSubscribes) {
    testPluginScript().subscribePaths = {"/busy/v1/key"};
    loadAndInitialise();
    constexpr int kEvents = 400;
    host.startEventThreads(4);
    for (int i = 0; i < kEvents; ++i) {
        host.post("OnJsonApiEvent_busy_v1_key",
                  resourceEvent("/busy/v1/key", "Update", unsignedValue(i)));
    }
    // Meanwhile the plugin keeps changing its registries on this thread.
    for (int i = 0; i < 100; ++i) {
        const std::string path = "/other/v1/p" + std::to_string(i % 7);
        plugin().subscribeResource(path, [](const std::string&, const PluginResourceEvent&) {});
        plugin().registerEventHandler("OnSomething", [](const PluginResourceEvent&) {});
        plugin().Subscribe("/busy/v1/key");
        plugin().Unsubscribe("/busy/v1/key");
        plugin().Unsubscribe(path);
    }
    host.stopEventThreads();
    EXPECT_EQ(plugin().received().size(), static_cast<std::size_t>(kEvents));
    EXPECT_TRUE(host.isSubscribed("OnJsonApiEvent_busy_v1_key"));
}

}  // namespace
}  // namespace mox::testing
