// A hostile peer on the game-latency socket during a run (loopback only): junk around every
// genuine reply (garbage, oversized datagrams and near-misses carrying the probe's own
// identifier, spoofed identifiers, duplicates) and a flood from many source ports. The run
// matches the genuine replies only, ends by its deadline, and a flood never holds up Shutdown.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "fault_test_support.h"
#include "hostile_peer.h"

namespace mox::faults {
namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Value gameLatencyAgainst(std::uint16_t port, double probability, double timeoutSecs,
                         std::uint64_t count) {
    return configValue({{"GameLatencyProbeServers", text("127.0.0.1")},
                        {"GameLatencyProbePort", unsignedNumber(port)},
                        {"GameLatencyProbability", number(probability)},
                        {"GameLatencyTimeoutSecs", number(timeoutSecs)},
                        {"GameLatencyProbeCount", unsignedNumber(count)}});
}

struct RunOutcome {
    std::size_t results = 0;
    std::size_t withLatency = 0;
    std::size_t outOfRange = 0;  // a latency no genuine reply could have given (too short)
    long long tookMs = 0;
};

// One on-demand run; a latency is genuine when it is not shorter than the peer's reply delay:
// the junk that carries a probe's identifier goes out at half the delay. The peer may read its
// clock for a probe a little before the plugin reads its own for the send, so the bound keeps
// a quarter of the delay as margin. (No upper bound: a slow system, Wine for one, sends the
// genuine replies late.)
RunOutcome runOnDemand(PluginHarness& harness, const HostilePeerOptions& peer) {
    RunOutcome outcome;
    const Clock::time_point start = Clock::now();
    const host::CallAnswer answer = harness.get(kGameLatencyPath);
    outcome.tookMs = millisecondsSince(start);
    EXPECT_FALSE(answer.isError) << answer.errorText;
    const Value& results = answer.body.find("results");
    outcome.results = results.size();
    const double low = static_cast<double>(peer.replyDelay.count()) * 0.75;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Value& latency = results.at(i).find("latency");
        if (latency.isEmpty()) {
            continue;
        }
        ++outcome.withLatency;
        const double ms = latency.asFloat(-1.0);
        if (ms < low) {
            ++outcome.outOfRange;
            ADD_FAILURE() << "result " << i << ": latency " << ms << " ms, below " << low;
        }
    }
    return outcome;
}

TEST(HostileNetwork, OnlyGenuineRepliesAreMatchedAmongJunk) {
    const HostilePeerOptions options;  // every probe answered after 30 ms, junk around each
    HostilePeer peer(options);
    ASSERT_TRUE(peer.ok());
    PluginHarness harness;
    ASSERT_TRUE(harness.start());
    ASSERT_TRUE(harness.update(gameLatencyAgainst(peer.port(), 0.0, 2.0, 20)));

    const RunOutcome outcome = runOnDemand(harness, options);
    EXPECT_EQ(outcome.results, 20u);
    EXPECT_EQ(outcome.withLatency, 20u);
    EXPECT_EQ(outcome.outOfRange, 0u);
    // Every probe answered: the run ends before its 2 s deadline.
    EXPECT_LT(outcome.tookMs, 2000);
    printFigure("hostile datagrams around 20 genuine replies",
                std::to_string(peer.hostileSent()) + ", replies matched correctly " +
                    std::to_string(outcome.withLatency - outcome.outOfRange) + "/20, run " +
                    std::to_string(outcome.tookMs) + " ms");
}

TEST(HostileNetwork, UnderAFloodTheRunEndsByItsDeadline) {
    HostilePeerOptions options;
    options.answerEvery = 2;  // half the probes are never answered
    HostilePeer peer(options);
    ASSERT_TRUE(peer.ok());
    peer.startFlood();  // from the first probe on
    PluginHarness harness;
    ASSERT_TRUE(harness.start());
    constexpr double kTimeoutSecs = 0.5;
    ASSERT_TRUE(harness.update(gameLatencyAgainst(peer.port(), 0.0, kTimeoutSecs, 10)));

    const RunOutcome outcome = runOnDemand(harness, options);
    EXPECT_EQ(outcome.results, 10u);
    EXPECT_LE(outcome.withLatency, 5u);  // never more than the genuine replies
    EXPECT_EQ(outcome.outOfRange, 0u);
    // The deadline, plus one readiness wait, plus room for a loaded machine.
    const long long overrun = outcome.tookMs - static_cast<long long>(kTimeoutSecs * 1000);
    EXPECT_LT(overrun, 300);
    printFigure("flood during a 0.5 s run",
                std::to_string(peer.floodSent()) + " datagrams from 16 sources, genuine " +
                    std::to_string(outcome.withLatency) +
                    "/5 matched, none wrong: " + (outcome.outOfRange == 0 ? "yes" : "no") +
                    ", deadline overrun " + std::to_string(overrun) + " ms");
}

TEST(HostileNetwork, AFloodDuringShutdownDoesNotDelayIt) {
    HostilePeerOptions options;
    options.answerEvery = 0;  // nothing genuine: the run would wait its full 10 s
    HostilePeer peer(options);
    ASSERT_TRUE(peer.ok());
    peer.startFlood();
    PluginHarness harness;
    const Value config = gameLatencyAgainst(peer.port(), 1.0, 10.0, 5);
    ASSERT_TRUE(harness.start(&config));
    ASSERT_TRUE(waitFor([&] { return peer.floodSent() > 2000; }));
    EXPECT_EQ(harness.statuses()["game_latency"], "InProgress");

    const Clock::time_point start = Clock::now();
    harness.host.shutdown();
    const long long took = millisecondsSince(start);
    EXPECT_LT(took, 250);  // one 50 ms readiness wait, plus room for a loaded machine
    EXPECT_TRUE(harness.posts("probes__game_latency").empty());
    printFigure("shutdown during a flood", std::to_string(took) + " ms after " +
                                               std::to_string(peer.floodSent()) +
                                               " flooded datagrams");
}

}  // namespace
}  // namespace mox::faults
