// runProbes over real loopback sockets against a scripted peer: answered and unanswered runs,
// delays, malformed, oversized and duplicated replies, the server limit, the checks and their
// order, and the stop flag during a long wait and during a junk flood.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <set>
#include <string>
#include <thread>

#include "network_testing/game_latency_probe.h"
#include "scripted_peer.h"

namespace mox {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::ScriptedPeer;
using testing::ScriptedReply;
using Clock = std::chrono::steady_clock;

NetworkTestingDynamicConfig loopbackConfig(std::uint16_t port, std::uint8_t count = 3,
                                           double timeoutSecs = 0.3) {
    NetworkTestingDynamicConfig config;
    config.GameLatencyProbeServers = "127.0.0.1";
    config.GameLatencyProbePort = port;
    config.GameLatencyProbeCount = count;
    config.GameLatencyProbeSize = 32;
    config.GameLatencyTimeoutSecs = timeoutSecs;
    return config;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t answered(const GameLatencyExperimentResults& results) {
    std::size_t n = 0;
    for (const auto& result : results.results) {
        n += result.latency.has_value() ? 1 : 0;
    }
    return n;
}

TEST(RunProbesTest, ChecksComeInOrderBeforeAnySocketIsMade) {
    struct Case {
        const char* reason;
        std::uint8_t count;
        std::uint16_t size;
        const char* message;
    };
    const Case cases[] = {
        {"the count is checked first", 0, 2000, "No probes configured"},
        {"1025 is one too many", 1, 1025, "Probe size too large"},
    };
    std::atomic<bool> stop{false};
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        NetworkTestingDynamicConfig config = loopbackConfig(1, row.count);
        config.GameLatencyProbeSize = row.size;
        auto outcome = runProbes(config, stop);
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().message, row.message);
        EXPECT_EQ(outcome.error().code, 0u);
    }
}

TEST(RunProbesTest, EveryProbeAnsweredEndsBeforeTheDeadline) {
    ScriptedPeer peer;
    NetworkTestingDynamicConfig config = loopbackConfig(peer.port(), 5, 5.0);
    config.GameLatencyProbeSize = 1024;  // the largest allowed: 1040-byte datagrams
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    auto outcome = runProbes(config, stop);
    ASSERT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_LT(secondsSince(start), 2.0);
    ASSERT_EQ(outcome.value().results.size(), 5u);
    EXPECT_EQ(answered(outcome.value()), 5u);
    for (const auto& result : outcome.value().results) {
        EXPECT_EQ(result.server, "127.0.0.1");
        EXPECT_EQ(result.size, 1024);
        EXPECT_GE(*result.latency, 0.0);
    }
    for (const Bytes& datagram : peer.received()) {
        EXPECT_EQ(datagram.size(), 1040u);
    }
    EXPECT_EQ(outcome.value().timestamp.size(), 20u);
}

TEST(RunProbesTest, UnansweredProbesWaitAboutTheTimeoutAndHaveNoLatency) {
    ScriptedPeer peer([](std::size_t, const Bytes&) { return std::vector<ScriptedReply>{}; });
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    auto outcome = runProbes(loopbackConfig(peer.port(), 3, 0.2), stop);
    const double elapsed = secondsSince(start);
    ASSERT_TRUE(outcome.ok());
    EXPECT_GE(elapsed, 0.2);
    EXPECT_LT(elapsed, 1.0);
    EXPECT_EQ(outcome.value().results.size(), 3u);
    EXPECT_EQ(answered(outcome.value()), 0u);
}

TEST(RunProbesTest, LatencyIsTheDelayOfTheFirstMatchingReply) {
    // Probe 0 answered after 90 ms, probe 1 after 30 ms; probe 2 is never answered.
    ScriptedPeer peer([](std::size_t n, const Bytes& probe) {
        if (n == 2) {
            return std::vector<ScriptedReply>{};
        }
        return std::vector<ScriptedReply>{{n == 0 ? 90ms : 30ms, testing::replyTo(probe)}};
    });
    std::atomic<bool> stop{false};
    auto outcome = runProbes(loopbackConfig(peer.port(), 3, 0.3), stop);
    ASSERT_TRUE(outcome.ok());
    std::multiset<double> latencies;
    for (const auto& result : outcome.value().results) {
        if (result.latency) {
            latencies.insert(*result.latency);
        }
    }
    ASSERT_EQ(latencies.size(), 2u);
    // Each reply's delay, less any time the sender was preempted between a send and its clock
    // reading (the send time is read after the send returns).
    EXPECT_GE(*latencies.begin(), 15.0);
    EXPECT_GE(*latencies.rbegin(), 60.0);
    EXPECT_LT(*latencies.rbegin(), 300.0);
}

TEST(RunProbesTest, MalformedOversizedShortAndDuplicatedRepliesAreIgnored) {
    // Probe 0: junk of every kind around its reply, then the reply again twice (a duplicate and
    // a late replay). Probe 1: only the same junk, so the run must wait for it to the deadline.
    ScriptedPeer peer([](std::size_t n, const Bytes& probe) {
        Bytes good = testing::replyTo(probe);
        Bytes wrongMarker = good;
        wrongMarker[4] = 0x02;
        Bytes longer = good;
        longer.push_back(0);
        Bytes shorter(good.begin(), good.end() - 1);
        std::vector<ScriptedReply> replies = {
            {0ms, wrongMarker}, {0ms, longer}, {0ms, shorter}, {0ms, Bytes(1500, 0x01)}};
        if (n == 0) {
            replies.push_back({5ms, good});
            replies.push_back({6ms, good});
            replies.push_back({120ms, good});
        }
        return replies;
    });
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    auto outcome = runProbes(loopbackConfig(peer.port(), 2, 0.25), stop);
    ASSERT_TRUE(outcome.ok());
    EXPECT_GE(secondsSince(start), 0.25);  // the duplicate did not count for probe 1
    ASSERT_EQ(outcome.value().results.size(), 2u);
    ASSERT_EQ(answered(outcome.value()), 1u);
    for (const auto& result : outcome.value().results) {
        if (result.latency) {
            EXPECT_LT(*result.latency, 100.0);  // the first reply's time, not the replay's
        }
    }
}

TEST(RunProbesTest, AtMostFourOfSixServersAreProbedChosenAtRandom) {
    ScriptedPeer peer;
    NetworkTestingDynamicConfig config = loopbackConfig(peer.port(), 5, 2.0);
    // Six distinct texts for one address: the port written in a server text is ignored.
    config.GameLatencyProbeServers =
        "127.0.0.1:1,127.0.0.1:2,127.0.0.1:3,127.0.0.1:4,127.0.0.1:5,127.0.0.1:6";
    std::set<std::string> everProbed;
    std::atomic<bool> stop{false};
    for (int run = 0; run < 8; ++run) {
        auto outcome = runProbes(config, stop);
        ASSERT_TRUE(outcome.ok());
        EXPECT_EQ(outcome.value().results.size(), 20u);
        std::set<std::string> probed;
        for (const auto& result : outcome.value().results) {
            probed.insert(result.server);
        }
        EXPECT_EQ(probed.size(), 4u);
        everProbed.insert(probed.begin(), probed.end());
    }
    EXPECT_GT(everProbed.size(), 4u);
}

TEST(RunProbesTest, UnusableServerTextsSendNothingAndSucceedEmpty) {
    struct Case {
        const char* servers;
        const char* reason;
    };
    const Case cases[] = {
        {"", "one empty piece: the unspecified address, refused"},
        {"127.1", "a short form that the numeric parser refuses"},
        {"localhost", "a host name"},
    };
    std::atomic<bool> stop{false};
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        NetworkTestingDynamicConfig config = loopbackConfig(9, 2, 1e300);
        config.GameLatencyProbeServers = row.servers;
        auto outcome = runProbes(config, stop);
        ASSERT_TRUE(outcome.ok());
        EXPECT_TRUE(outcome.value().results.empty());
    }
}

TEST(RunProbesTest, ZeroAndNonFiniteTimeouts) {
    ScriptedPeer peer;
    std::atomic<bool> stop{false};
    // A timeout of 0 still waits once, which is enough for an immediate reply.
    auto once = runProbes(loopbackConfig(peer.port(), 1, 0.0), stop);
    ASSERT_TRUE(once.ok());
    EXPECT_EQ(answered(once.value()), 1u);

    ScriptedPeer silent([](std::size_t, const Bytes&) { return std::vector<ScriptedReply>{}; });
    const auto start = Clock::now();
    auto nan =
        runProbes(loopbackConfig(silent.port(), 1, std::numeric_limits<double>::quiet_NaN()), stop);
    ASSERT_TRUE(nan.ok());
    EXPECT_LT(secondsSince(start), 1.0);  // NaN counts as 0, not as "never"
}

// Sets `stop` after `after` and measures how long runProbes takes from then.
double secondsToStop(const NetworkTestingDynamicConfig& config, std::chrono::milliseconds after,
                     std::string& message) {
    std::atomic<bool> stop{false};
    Clock::time_point stoppedAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(after);
        stoppedAt = Clock::now();
        stop = true;
    });
    auto outcome = runProbes(config, stop);
    const auto ended = Clock::now();
    stopper.join();
    message = outcome.ok() ? "(success)" : outcome.error().message;
    return std::chrono::duration<double>(ended - stoppedAt).count();
}

TEST(RunProbesTest, StopEndsALongWaitWithinOneWaitEvenDuringAJunkFlood) {
    struct Case {
        const char* reason;
        bool flood;
        double timeoutSecs;
    };
    const Case cases[] = {
        {"silent peer, huge timeout", false, 1e12},
        {"infinite timeout", false, std::numeric_limits<double>::infinity()},
        {"peer floods the socket with junk", true, 1e12},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        ScriptedPeer peer([](std::size_t, const Bytes&) { return std::vector<ScriptedReply>{}; });
        if (row.flood) {
            peer.startFlood();
        }
        std::string message;
        const double seconds =
            secondsToStop(loopbackConfig(peer.port(), 2, row.timeoutSecs), 150ms, message);
        EXPECT_EQ(message, "Exiting");
        EXPECT_LT(seconds, 0.5);
        if (row.flood) {
            EXPECT_GT(peer.floodCount(), 0u);
        }
    }
}

}  // namespace
}  // namespace mox
