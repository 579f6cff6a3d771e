// The IPv4 options and IPv6 support experiments over loopback: what they send and post, the
// draw and its statuses, serialised starts under concurrent deliveries, and stopping within
// the current pause.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "experiment_test_support.h"
#include "network_testing/ipv4_options_experiment.h"
#include "network_testing/ipv6_support_experiment.h"
#include "scripted_peer.h"

namespace mox {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::ScriptedPeer;
using testing::TelemetryRecorder;
using testing::waitFor;

constexpr auto kShortPause = 2ms;

NetworkTestingDynamicConfig ipv4Config(std::uint16_t port, std::uint8_t count,
                                       double probability = 1.0) {
    NetworkTestingDynamicConfig config;
    config.IPv4OptionsProbeServers = "127.0.0.1, 127.0.0.1";
    config.IPv4OptionsProbePort = port;
    config.IPv4OptionsProbeCount = count;
    config.IPv4OptionsProbability = probability;
    return config;
}

NetworkTestingDynamicConfig ipv6Config(std::uint16_t port, std::uint8_t count,
                                       double probability = 1.0) {
    NetworkTestingDynamicConfig config;
    config.IPv6SupportProbeServers = "::1";
    config.IPv6SupportProbePort = port;
    config.IPv6SupportProbeCount = count;
    config.IPv6SupportProbability = probability;
    return config;
}

bool completed(const NetworkExperiment& experiment) {
    return experiment.status() == NetworkExperimentStatus::Completed;
}

std::uint64_t idOf(const Bytes& datagram) {
    std::uint64_t id = 0;
    for (int i = 7; i >= 0; --i) {
        id = (id << 8) | datagram[2 + static_cast<std::size_t>(i)];
    }
    return id;
}

TEST(IPv4OptionsExperimentTest, SendsThreePhasesAndPostsTheirCounters) {
    ScriptedPeer peer;
    TelemetryRecorder telemetry;
    IPv4OptionsExperiment experiment(kShortPause);
    experiment.applyConfig(ipv4Config(peer.port(), 3), telemetry.poster());
    ASSERT_TRUE(waitFor([&] { return completed(experiment); }));
    const auto events = telemetry.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "probes__ipv4_options");
    const TelemetryFields& fields = events[0].fields;
    EXPECT_EQ(fields.size(), 8u);
    EXPECT_EQ(fields.at("target.ip"), "127.0.0.1");  // the blank after the comma is trimmed
    EXPECT_EQ(fields.at("probes.plain.sent"), "3");
    EXPECT_EQ(fields.at("probes.plain.error"), "0");
    // Whether the system accepts Router Alert from this process decides the option phases:
    // either all their probes left, or none did and the phase reports the error.
    for (const char* phase : {"opt20zero", "opt20nonzero"}) {
        SCOPED_TRACE(phase);
        const std::string sent = fields.at(std::string("probes.") + phase + ".sent");
        const std::string error = fields.at(std::string("probes.") + phase + ".error");
        EXPECT_TRUE((sent == "3" && error == "0") || (sent == "0" && error == "1"));
    }
    ASSERT_TRUE(waitFor([&] { return peer.received().size() >= 3; }));
    const auto received = peer.received();
    for (const Bytes& datagram : received) {
        ASSERT_EQ(datagram.size(), kIpv4OptionsProbeSize);
        EXPECT_EQ(std::to_string(idOf(datagram)), fields.at("experiment.id"));
    }
    const Bytes firstPlain = received.front();
    EXPECT_EQ(firstPlain[10], 0);  // plain phase, index 0, value 0
    EXPECT_EQ(firstPlain[11], 0);
    if (received.size() == 9) {
        const Bytes& last = received.back();  // index 2 of the phase with value 42
        EXPECT_EQ(Bytes(last.begin() + 10, last.end()), (Bytes{0x14, 0x02, 0x2A, 0x00}));
    }
}

TEST(IPv4OptionsExperimentTest, ZeroProbesPostZeroCounters) {
    ScriptedPeer peer;
    TelemetryRecorder telemetry;
    IPv4OptionsExperiment experiment(kShortPause);
    experiment.applyConfig(ipv4Config(peer.port(), 0), telemetry.poster());
    ASSERT_TRUE(waitFor([&] { return completed(experiment); }));
    const auto events = telemetry.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].fields.at("probes.plain.sent"), "0");
    EXPECT_EQ(events[0].fields.at("probes.opt20nonzero.sent"), "0");
}

TEST(ProbeSeriesExperimentTest, DrawDecidesTheStatusUntilAWorkerStarts) {
    ScriptedPeer peer;
    TelemetryRecorder telemetry;
    IPv4OptionsExperiment experiment(kShortPause);
    EXPECT_EQ(experiment.status(), NetworkExperimentStatus::Disabled);
    struct Step {
        double probability;
        NetworkExperimentStatus status;
        const char* reason;
    };
    const Step losing[] = {
        {0.0, NetworkExperimentStatus::Disabled, "probability 0"},
        {-1.0, NetworkExperimentStatus::Skipped, "a negative probability is a lost draw"},
        {1e-300, NetworkExperimentStatus::Skipped, "a forced skip"},
        {0.0, NetworkExperimentStatus::Disabled, "a later update draws again"},
    };
    for (const Step& step : losing) {
        SCOPED_TRACE(step.reason);
        experiment.applyConfig(ipv4Config(peer.port(), 1, step.probability), telemetry.poster());
        EXPECT_EQ(experiment.status(), step.status);
    }
    EXPECT_TRUE(peer.received().empty());
    experiment.applyConfig(ipv4Config(peer.port(), 1, 1.0), telemetry.poster());
    ASSERT_TRUE(waitFor([&] { return completed(experiment); }));
    // Completed is final: later updates neither draw nor start anything.
    experiment.applyConfig(ipv4Config(peer.port(), 1, 0.0), telemetry.poster());
    experiment.applyConfig(ipv4Config(peer.port(), 1, 1.0), telemetry.poster());
    EXPECT_EQ(experiment.status(), NetworkExperimentStatus::Completed);
    EXPECT_EQ(telemetry.events().size(), 1u);
}

TEST(ProbeSeriesExperimentTest, ConcurrentDeliveriesStartOneWorker) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ScriptedPeer peer;
        TelemetryRecorder telemetry;
        auto experiment = std::make_unique<IPv6SupportExperiment>(kShortPause);
        const NetworkTestingDynamicConfig config = ipv6Config(peer.port(), 2);
        std::thread other([&] { experiment->applyConfig(config, telemetry.poster()); });
        experiment->applyConfig(config, telemetry.poster());
        other.join();
        ASSERT_TRUE(waitFor([&] { return completed(*experiment); }));
        experiment.reset();
        EXPECT_EQ(telemetry.events().size(), 1u);
    }
}

TEST(ProbeSeriesExperimentTest, DestroyingDuringASeriesEndsWithinThePauseWithoutTelemetry) {
    ScriptedPeer peer;
    TelemetryRecorder telemetry;
    auto experiment = std::make_unique<IPv4OptionsExperiment>(kProbeSendInterval);
    experiment->applyConfig(ipv4Config(peer.port(), 2), telemetry.poster());
    // Into the second phase: the first phase's two datagrams are out.
    ASSERT_TRUE(waitFor([&] { return peer.received().size() >= 2; }));
    std::this_thread::sleep_for(250ms);
    const auto start = std::chrono::steady_clock::now();
    experiment.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_TRUE(telemetry.events().empty());
}

TEST(ProbeSeriesExperimentTest, DestroyingRightAfterTheStartNeverReachesAHalfDestroyedObject) {
    // The worker calls the experiment's virtual operations. Destroyed while the worker is
    // only starting, the experiment must have joined it before its derived part is gone: a
    // join left to the base destructor let the worker make a pure virtual call (an abort).
    struct Case {
        const char* name;
        std::function<std::unique_ptr<NetworkExperiment>(std::uint16_t port)> start;
    };
    TelemetryRecorder telemetry;
    const Case cases[] = {
        {"ipv4_options",
         [&](std::uint16_t port) {
             auto experiment = std::make_unique<IPv4OptionsExperiment>(kShortPause);
             experiment->applyConfig(ipv4Config(port, 1), telemetry.poster());
             return std::unique_ptr<NetworkExperiment>(std::move(experiment));
         }},
        {"ipv6_support",
         [&](std::uint16_t port) {
             auto experiment = std::make_unique<IPv6SupportExperiment>(kShortPause);
             experiment->applyConfig(ipv6Config(port, 1), telemetry.poster());
             return std::unique_ptr<NetworkExperiment>(std::move(experiment));
         }},
    };
    ScriptedPeer peer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int round = 0; round < 200; ++round) {
            std::unique_ptr<NetworkExperiment> experiment = c.start(peer.port());
            experiment.reset();
        }
    }
}

TEST(IPv6SupportExperimentTest, SendsNumberedDatagramsToTheTarget) {
    struct Case {
        const char* servers;
        const char* sent;
        const char* reason;
    };
    ScriptedPeer peer({}, platform::AddressFamily::IPv6);
    const Case cases[] = {
        {"::1", "3", "loopback"},
        {" [::1]:7 ", "3", "brackets, port and blanks: only the address is used"},
        {"::ffff:127.0.0.1", "0", "v4-mapped: the socket is v6-only"},
        {"not-an-address", "0", "unparsable: nothing is sent to ::"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        TelemetryRecorder telemetry;
        IPv6SupportExperiment experiment(kShortPause);
        NetworkTestingDynamicConfig config = ipv6Config(peer.port(), 3);
        config.IPv6SupportProbeServers = row.servers;
        experiment.applyConfig(config, telemetry.poster());
        ASSERT_TRUE(waitFor([&] { return completed(experiment); }));
        const auto events = telemetry.events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, "probes__ipv6_support");
        EXPECT_EQ(events[0].fields.size(), 3u);
        EXPECT_EQ(events[0].fields.at("probes.sent"), row.sent);
    }
    ASSERT_TRUE(waitFor([&] { return peer.received().size() >= 6; }));
    const auto received = peer.received();
    ASSERT_EQ(received.size(), 6u);
    EXPECT_EQ(received[2].size(), kIpv6SupportProbeSize);
    EXPECT_EQ(received[2][0], 0x01);
    EXPECT_EQ(received[2][1], 0x02);
    EXPECT_EQ(received[2][10], 0x02);  // index 2
}

}  // namespace
}  // namespace mox
