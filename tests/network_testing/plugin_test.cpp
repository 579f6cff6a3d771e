// The whole plugin through the host double, over loopback: load and initialise, the
// configuration subscription (initial read, updates, rejected updates, Delete events,
// deliveries from two threads at once), the three endpoints and their errors, telemetry posts,
// and shutdown while experiments probe (also during a junk flood) or an on-demand run waits.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "binding/values/value.h"
#include "experiment_test_support.h"
#include "host/host_double.h"
#include "network_testing/dynamic_config.h"
#include "platform/abi.h"
#include "plugin/entry/plugin_entry.h"
#include "routing/request_method.h"
#include "routing/route_template.h"
#include "scripted_peer.h"

extern "C" void MOX_CDECL load_network_testing(mox::PluginLoadRecord* record);

namespace mox {
namespace {

using namespace std::chrono_literals;
using host::HostDouble;
using host::Reply;
using testing::Bytes;
using testing::ScriptedPeer;
using testing::ScriptedReply;
using testing::waitFor;

constexpr const char kConfigKey[] =
    "OnJsonApiEvent_zek-platform-config_v1_namespaces_NetworkTesting";
constexpr const char kExperimentsPath[] = "/network-testing/v1/experiments";
constexpr const char kGameLatencyPath[] = "/network-testing/v1/game-latency";
constexpr const char kResultsPath[] = "/network-testing/v1/game-latency/results";

// A namespace value: only the members given.
using Members = std::map<std::string, std::function<void(Value&)>>;

Value configValue(const Members& members) {
    Value value;
    value.makeStructure();
    for (const auto& [name, set] : members) {
        set(value.member(name));
    }
    return value;
}

std::function<void(Value&)> number(double x) {
    return [x](Value& v) { v.setFloat(x); };
}
std::function<void(Value&)> unsignedNumber(std::uint64_t x) {
    return [x](Value& v) { v.setUnsigned(x); };
}
std::function<void(Value&)> text(std::string s) {
    return [s](Value& v) { v.setString(s); };
}

Value resourceEvent(const char* type, const Value& data) {
    Value event;
    event.member("uri").setString(kNetworkTestingConfigPath);
    event.member("eventType").setString(type);
    event.member("data") = data;
    return event;
}

// Game latency against `port` with a short timeout, at probability `p`.
Members gameLatency(std::uint16_t port, double p, double timeoutSecs = 0.2) {
    return {{"GameLatencyProbeServers", text("127.0.0.1")},
            {"GameLatencyProbePort", unsignedNumber(port)},
            {"GameLatencyProbability", number(p)},
            {"GameLatencyTimeoutSecs", number(timeoutSecs)},
            {"GameLatencyProbeCount", unsignedNumber(2)},
            {"GameLatencyProbeSize", unsignedNumber(16)}};
}

std::string functionFor(RequestMethod method, const char* path) {
    return functionNameFor(method, path);
}

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* event :
             {"probes__game_latency", "probes__ipv4_options", "probes__ipv6_support"}) {
            host.serve(host::kPost, std::string("/telemetry/v1/events/") + event, Reply::ok());
        }
    }

    // Loads and initialises; `config` (when given) is the namespace's current value.
    void start(const Value* config = nullptr) {
        if (config != nullptr) {
            host.serve(host::kGet, kNetworkTestingConfigPath, Reply::withValue(*config));
        }
        ASSERT_TRUE(host.load(&load_network_testing));
        ASSERT_TRUE(host.initialize());
    }

    host::CallAnswer get(const char* path) {
        return host.call(functionFor(RequestMethod::Get, path), host::kGet, path);
    }

    // The status name of every experiment.
    std::map<std::string, std::string> statuses() {
        host::CallAnswer answer = get(kExperimentsPath);
        std::map<std::string, std::string> out;
        EXPECT_TRUE(answer.found);
        EXPECT_FALSE(answer.isError) << answer.errorText;
        const Value& experiments = answer.body.find("experiments");
        for (const char* name : {"game_latency", "ipv4_options", "ipv6_support"}) {
            const Value& status = experiments.find(name).find("status");
            out[name] = std::string(status.asString());
        }
        return out;
    }

    std::vector<host::RecordedRequest> posts(const std::string& event) {
        std::vector<host::RecordedRequest> out;
        for (const auto& request : host.requests()) {
            if (request.method == host::kPost && request.path == "/telemetry/v1/events/" + event) {
                out.push_back(request);
            }
        }
        return out;
    }

    HostDouble host;
};

TEST_F(PluginTest, WithoutAConfigurationEverythingIsDisabled) {
    start();  // the initial read fails: onInitialised still succeeds
    EXPECT_TRUE(host.isSubscribed(kConfigKey));
    const std::map<std::string, std::string> expected = {
        {"game_latency", "Disabled"}, {"ipv4_options", "Disabled"}, {"ipv6_support", "Disabled"}};
    EXPECT_EQ(statuses(), expected);
    host.shutdown();
    EXPECT_TRUE(host.contractViolations().empty());
}

TEST_F(PluginTest, BackgroundRunPostsTelemetryAndServesItsResults) {
    ScriptedPeer peer([](std::size_t n, const Bytes& probe) {
        if (n == 1) {
            return std::vector<ScriptedReply>{};  // the second probe stays unanswered
        }
        return std::vector<ScriptedReply>{{50ms, testing::replyTo(probe)}};
    });
    const Value config = configValue(gameLatency(peer.port(), 1.0, 0.3));
    start(&config);
    ASSERT_TRUE(waitFor([&] { return statuses()["game_latency"] == "Completed"; }));
    const auto sent = posts("probes__game_latency");
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].arguments.size(), 1u);
    const Value& fields = sent[0].arguments[0].value;
    EXPECT_EQ(fields.find("probes.sent").asString(), "2");
    EXPECT_EQ(fields.find("probes.received").asString(), "1");
    // A 50 ms reply: about 50000 (less when the sender is preempted after its send).
    EXPECT_GE(std::stod(std::string(fields.find("latency_ms").asString())), 30000.0);

    host::CallAnswer first = get(kGameLatencyPath);
    ASSERT_FALSE(first.isError) << first.errorText;
    EXPECT_EQ(first.body.find("results").size(), 2u);
    EXPECT_EQ(peer.received().size(), 2u);  // served from the store, no new probes

    host::CallAnswer cleared =
        host.call(functionFor(RequestMethod::Delete, kResultsPath), host::kDelete, kResultsPath);
    EXPECT_FALSE(cleared.isError) << cleared.errorText;
    host::CallAnswer fresh = get(kGameLatencyPath);
    ASSERT_FALSE(fresh.isError) << fresh.errorText;
    EXPECT_EQ(peer.received().size(), 4u);
    host::CallAnswer again = get(kGameLatencyPath);
    EXPECT_EQ(again.body.find("timestamp").asString(), fresh.body.find("timestamp").asString());
    EXPECT_EQ(posts("probes__game_latency").size(), 1u);  // on-demand runs post nothing
    // The on-demand wait let the host run.
    bool yielded = false;
    for (const std::string& wait : host.waits()) {
        yielded = yielded || wait == "yield";
    }
    EXPECT_TRUE(yielded);
}

TEST_F(PluginTest, OnDemandFailuresAnswer500WithTheRunsMessage) {
    Members members = gameLatency(9, 0.0);
    members["GameLatencyProbeSize"] = unsignedNumber(1025);
    const Value config = configValue(members);
    start(&config);
    host::CallAnswer answer = get(kGameLatencyPath);
    EXPECT_TRUE(answer.isError);
    EXPECT_EQ(answer.status, 500u);
    EXPECT_EQ(answer.errorText, "Probe size too large");
}

TEST_F(PluginTest, UpdatesDrawAgainUntilAWorkerStartsAndDeleteOrBadUpdatesChangeNothing) {
    start();
    struct Step {
        const char* reason;
        const char* type;
        Value data;
        const char* status;
    };
    std::vector<Step> steps;
    steps.push_back({"a forced skip", "Update",
                     configValue({{"IPv4OptionsProbability", number(1e-300)}}), "Skipped"});
    steps.push_back({"a Delete event is ignored (its default record would say Disabled)", "Delete",
                     configValue({}), "Skipped"});
    steps.push_back(
        {"a count given as a structure rejects the whole update", "Update",
         configValue({{"IPv4OptionsProbability", number(0.0)},
                      {"IPv4OptionsProbeCount", [](Value& v) { v.member("x").setUnsigned(1); }}}),
         "Skipped"});
    steps.push_back({"probability 0", "Update",
                     configValue({{"IPv4OptionsProbability", number(0)}}), "Disabled"});
    for (const Step& step : steps) {
        SCOPED_TRACE(step.reason);
        ASSERT_TRUE(host.deliver(kConfigKey, resourceEvent(step.type, step.data)));
        EXPECT_EQ(statuses()["ipv4_options"], step.status);
    }
}

TEST_F(PluginTest, ConcurrentDeliveriesStartOneWorker) {
    ScriptedPeer peer({}, platform::AddressFamily::IPv6);
    start();
    const Value update =
        resourceEvent("Update", configValue({{"IPv6SupportProbeServers", text("::1")},
                                             {"IPv6SupportProbePort", unsignedNumber(peer.port())},
                                             {"IPv6SupportProbability", number(1.0)},
                                             {"IPv6SupportProbeCount", unsignedNumber(1)}}));
    host.startEventThreads(2);
    for (int i = 0; i < 6; ++i) {
        host.post(kConfigKey, update);
    }
    host.stopEventThreads();
    ASSERT_TRUE(waitFor([&] { return statuses()["ipv6_support"] == "Completed"; }));
    EXPECT_EQ(posts("probes__ipv6_support").size(), 1u);
    EXPECT_EQ(peer.received().size(), 1u);
}

TEST_F(PluginTest, ShutdownWhileProbingReturnsWithinOneWait) {
    struct Case {
        const char* reason;
        bool flood;
        bool onDemand;
    };
    const Case cases[] = {
        {"background run, silent peer", false, false},
        {"background run, junk flood", true, false},
        {"pending on-demand GET", false, true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        ScriptedPeer peer([](std::size_t, const Bytes&) { return std::vector<ScriptedReply>{}; });
        HostDouble local;
        local.serve(host::kPost, "/telemetry/v1/events/probes__game_latency", Reply::ok());
        const Value config = configValue(gameLatency(peer.port(), row.onDemand ? 0.0 : 1.0, 1e12));
        local.serve(host::kGet, kNetworkTestingConfigPath, Reply::withValue(config));
        ASSERT_TRUE(local.load(&load_network_testing));
        ASSERT_TRUE(local.initialize());
        std::thread request;
        host::CallAnswer answer;
        if (row.onDemand) {
            request = std::thread([&] {
                answer = local.call(functionFor(RequestMethod::Get, kGameLatencyPath), host::kGet,
                                    kGameLatencyPath);
            });
        }
        ASSERT_TRUE(waitFor([&] { return peer.received().size() == 2; }));
        if (row.flood) {
            peer.startFlood();
            ASSERT_TRUE(waitFor([&] { return peer.floodCount() > 100; }));
        }
        const auto begin = std::chrono::steady_clock::now();
        local.shutdown();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
        if (request.joinable()) {
            request.join();
            EXPECT_TRUE(answer.isError);
            EXPECT_EQ(answer.status, 500u);
            EXPECT_EQ(answer.errorText, "Exiting");
        }
        for (const auto& recorded : local.requests()) {
            EXPECT_NE(recorded.method, host::kPost) << recorded.path;
        }
        EXPECT_TRUE(local.contractViolations().empty());
    }
}

}  // namespace
}  // namespace mox
