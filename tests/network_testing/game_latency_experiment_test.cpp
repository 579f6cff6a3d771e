// The game-latency experiment without the plugin: the background worker's telemetry and
// stored results, the on-demand run behind `results`, clearing, failures as status 500, and
// destruction while an on-demand run is pending.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "experiment_test_support.h"
#include "network_testing/game_latency_experiment.h"
#include "scripted_peer.h"

namespace mox {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::ScriptedPeer;
using testing::ScriptedReply;
using testing::TelemetryRecorder;
using testing::waitFor;

NetworkTestingDynamicConfig gameConfig(std::uint16_t port, double probability = 0.0,
                                       double timeoutSecs = 0.2) {
    NetworkTestingDynamicConfig config;
    config.GameLatencyProbeServers = "127.0.0.1";
    config.GameLatencyProbePort = port;
    config.GameLatencyProbeCount = 3;
    config.GameLatencyProbeSize = 16;
    config.GameLatencyTimeoutSecs = timeoutSecs;
    config.GameLatencyProbability = probability;
    return config;
}

TEST(GameLatencyExperimentTest, BackgroundRunPostsThenStoresAndIsServedWithoutProbing) {
    // Replies of 50 and 100 ms and one unanswered probe.
    ScriptedPeer peer([](std::size_t n, const Bytes& probe) {
        if (n == 2) {
            return std::vector<ScriptedReply>{};
        }
        return std::vector<ScriptedReply>{{n == 0 ? 50ms : 100ms, testing::replyTo(probe)}};
    });
    TelemetryRecorder telemetry;
    GameLatencyExperiment experiment;
    experiment.applyConfig(gameConfig(peer.port(), 1.0, 0.4), telemetry.poster());
    ASSERT_TRUE(waitFor([&] { return experiment.status() == NetworkExperimentStatus::Completed; }));
    const auto events = telemetry.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "probes__game_latency");
    EXPECT_EQ(events[0].fields.at("probes.sent"), "3");
    EXPECT_EQ(events[0].fields.at("probes.received"), "2");
    const double latencyMs = std::stod(events[0].fields.at("latency_ms"));
    // About 75000 (a mean of 75 ms, times 1000). A sender preempted between its send and its
    // clock reading makes a latency look shorter, so the lower bound leaves room for that.
    EXPECT_GE(latencyMs, 50000.0);
    EXPECT_LT(latencyMs, 250000.0);

    const std::size_t probesBefore = peer.received().size();
    auto stored = experiment.results();
    ASSERT_TRUE(stored.ok());
    EXPECT_EQ(stored.value().results.size(), 3u);
    EXPECT_EQ(peer.received().size(), probesBefore);  // served from the store
    // A later update neither draws nor runs again; it only replaces the configuration copy.
    experiment.applyConfig(gameConfig(peer.port(), 1.0), telemetry.poster());
    EXPECT_EQ(experiment.status(), NetworkExperimentStatus::Completed);
}

TEST(GameLatencyExperimentTest, OnDemandRunsStoreTheirResultsAndDeleteForgetsThem) {
    ScriptedPeer peer;
    TelemetryRecorder telemetry;
    GameLatencyExperiment experiment;
    std::atomic<int> yields{0};
    experiment.setYield([&] { ++yields; });
    experiment.applyConfig(gameConfig(peer.port()), telemetry.poster());
    EXPECT_EQ(experiment.status(), NetworkExperimentStatus::Disabled);

    auto first = experiment.results();
    ASSERT_TRUE(first.ok());
    EXPECT_GT(yields.load(), 0);
    auto second = experiment.results();
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second.value().timestamp, first.value().timestamp);
    EXPECT_EQ(peer.received().size(), 3u);

    experiment.clearResults();
    experiment.clearResults();  // nothing stored: still fine
    auto fresh = experiment.results();
    ASSERT_TRUE(fresh.ok());
    EXPECT_EQ(peer.received().size(), 6u);
    EXPECT_TRUE(telemetry.events().empty());  // on-demand runs post nothing
    EXPECT_EQ(experiment.status(), NetworkExperimentStatus::Disabled);
}

TEST(GameLatencyExperimentTest, FailedOnDemandRunsAnswer500AndStoreNothing) {
    struct Case {
        const char* reason;
        std::uint8_t count;
        std::uint16_t size;
        const char* message;
    };
    const Case cases[] = {
        {"size above 1024", 3, 1025, "Probe size too large"},
        {"no probes", 0, 16, "No probes configured"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        TelemetryRecorder telemetry;
        GameLatencyExperiment experiment;
        NetworkTestingDynamicConfig config = gameConfig(9);
        config.GameLatencyProbeCount = row.count;
        config.GameLatencyProbeSize = row.size;
        experiment.applyConfig(config, telemetry.poster());
        auto outcome = experiment.results();
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().code, 500u);
        EXPECT_EQ(outcome.error().message, row.message);
    }
}

TEST(GameLatencyExperimentTest, AnImmediateYieldDoesNotSpin) {
    ScriptedPeer silent([](std::size_t, const Bytes&) { return std::vector<ScriptedReply>{}; });
    TelemetryRecorder telemetry;
    GameLatencyExperiment experiment;
    std::atomic<int> yields{0};
    experiment.setYield([&] { ++yields; });
    experiment.applyConfig(gameConfig(silent.port(), 0.0, 0.2), telemetry.poster());
    auto outcome = experiment.results();
    ASSERT_TRUE(outcome.ok());
    // About one yield per few milliseconds over 0.2 s, not millions.
    EXPECT_GT(yields.load(), 5);
    EXPECT_LT(yields.load(), 200);
}

TEST(GameLatencyExperimentTest, DestroyingDuringAPendingOnDemandRunEndsItWithExiting) {
    ScriptedPeer silent([](std::size_t, const Bytes&) { return std::vector<ScriptedReply>{}; });
    TelemetryRecorder telemetry;
    auto experiment = std::make_unique<GameLatencyExperiment>();
    experiment->applyConfig(gameConfig(silent.port(), 0.0, 1e9), telemetry.poster());
    std::atomic<bool> started{false};
    experiment->setYield([&] { started = true; });
    std::optional<CallResult<GameLatencyExperimentResults>> outcome;
    std::thread request([&] { outcome.emplace(experiment->results()); });
    ASSERT_TRUE(waitFor([&] { return started.load(); }));
    std::this_thread::sleep_for(20ms);
    const auto start = std::chrono::steady_clock::now();
    experiment.reset();  // waits for the pending request to leave
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    request.join();
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().message, "Exiting");
    EXPECT_EQ(outcome->error().code, 500u);
}

TEST(GameLatencyExperimentTest, DestroyingDuringTheBackgroundRunPostsNothing) {
    ScriptedPeer silent([](std::size_t, const Bytes&) { return std::vector<ScriptedReply>{}; });
    TelemetryRecorder telemetry;
    auto experiment = std::make_unique<GameLatencyExperiment>();
    experiment->applyConfig(gameConfig(silent.port(), 1.0, 1e9), telemetry.poster());
    ASSERT_TRUE(waitFor([&] { return silent.received().size() == 3; }));
    const auto start = std::chrono::steady_clock::now();
    experiment.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(telemetry.events().empty());
}

}  // namespace
}  // namespace mox
