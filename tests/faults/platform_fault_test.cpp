// The system refusing what the experiments ask of it, injected through platform/: no socket to
// be had, no IPv6 stack, IPv4 header options refused; and a shutdown that comes right after
// the workers were started. Each gives its documented answer, status and log line, and the
// next update draws again where the experiment never started.
#include <gtest/gtest.h>

#include <string>

#include "fault_test_support.h"
#include "platform/fault_injection.h"
#include "tools/reflector/probe_reflector.h"

namespace mox::faults {
namespace {

using platform::FaultPoint;

// Disarms every fault point when the test ends, however it ends.
struct ClearFaults {
    ~ClearFaults() { platform::clearFaults(); }
};

std::uint16_t reflectorPort(const reflector::ProbeReflector& reflector, reflector::ProbeKind kind,
                            platform::AddressFamily family) {
    const auto endpoint = reflector.endpoint(kind, family);
    return endpoint ? endpoint->port : 0;
}

TEST(PlatformFaults, NoSocketMakesEachExperimentFailAsDocumented) {
    const ClearFaults clear;
    PluginHarness harness;
    ASSERT_TRUE(harness.start());
    const Value ipv4 = configValue({{"IPv4OptionsProbeServers", text("127.0.0.1")},
                                    {"IPv4OptionsProbability", number(1.0)},
                                    {"IPv4OptionsProbeCount", unsignedNumber(0)}});
    const Value game = configValue({{"GameLatencyProbeServers", text("127.0.0.1")},
                                    {"GameLatencyProbePort", unsignedNumber(9)}});
    platform::injectFault(FaultPoint::OpenIpv4Socket);

    // On demand: status 500 with the run's message.
    ASSERT_TRUE(harness.update(game));
    const host::CallAnswer answer = harness.get(kGameLatencyPath);
    EXPECT_TRUE(answer.isError);
    EXPECT_EQ(answer.status, 500u);
    EXPECT_EQ(answer.errorText, "Error creating UDP socket");

    // In the background: the error line, the status as it was, a new draw next time.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_TRUE(harness.update(ipv4));
        EXPECT_EQ(harness.statuses()["ipv4_options"], "Disabled");
        EXPECT_EQ(harness.logLinesWith("Error running IPv4 Options experiment. socket returned: "),
                  static_cast<std::size_t>(attempt));
    }
    platform::clearFaults();
    ASSERT_TRUE(harness.update(ipv4));
    EXPECT_TRUE(waitFor([&] { return harness.statuses()["ipv4_options"] == "Completed"; }));
    EXPECT_EQ(harness.posts("probes__ipv4_options").size(), 1u);
    EXPECT_GE(platform::injectedFailures(FaultPoint::OpenIpv4Socket), 3u);
}

TEST(PlatformFaults, WithoutAnIpv6StackTheExperimentNeverStartsAndSaysSoEachTime) {
    const ClearFaults clear;
    auto reflector = reflector::ProbeReflector::start(loopbackReflector());
    ASSERT_TRUE(reflector.ok()) << reflector.error().message;
    const std::uint16_t port = reflectorPort(*reflector.value(), reflector::ProbeKind::IPv6Support,
                                             platform::AddressFamily::IPv6);
    PluginHarness harness;
    ASSERT_TRUE(harness.start());
    const Value config = configValue({{"IPv6SupportProbeServers", text("::1")},
                                      {"IPv6SupportProbePort", unsignedNumber(port)},
                                      {"IPv6SupportProbability", number(1.0)},
                                      {"IPv6SupportProbeCount", unsignedNumber(1)}});
    platform::injectFault(FaultPoint::OpenIpv6Socket);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_TRUE(harness.update(config));
        EXPECT_EQ(harness.statuses()["ipv6_support"], "Disabled");
        EXPECT_EQ(harness.logLinesWith("network-testing: Error running IPv6 Support experiment. "
                                       "socket returned: "),
                  static_cast<std::size_t>(attempt));
    }
    EXPECT_TRUE(harness.posts("probes__ipv6_support").empty());
    platform::clearFaults();
    if (port != 0) {  // with a real IPv6 loopback the experiment then runs
        ASSERT_TRUE(harness.update(config));
        EXPECT_TRUE(waitFor([&] { return harness.statuses()["ipv6_support"] == "Completed"; }));
        EXPECT_EQ(harness.posts("probes__ipv6_support").size(), 1u);
    }
}

TEST(PlatformFaults, RefusedIpOptionsReportErrorsForTheOptionPhasesOnly) {
    const ClearFaults clear;
    auto reflector = reflector::ProbeReflector::start(loopbackReflector());
    ASSERT_TRUE(reflector.ok()) << reflector.error().message;
    const std::uint16_t port = reflectorPort(*reflector.value(), reflector::ProbeKind::IPv4Options,
                                             platform::AddressFamily::IPv4);
    PluginHarness harness;
    ASSERT_TRUE(harness.start());
    platform::injectFault(FaultPoint::SetIpv4Options);
    ASSERT_TRUE(harness.update(configValue({{"IPv4OptionsProbeServers", text("127.0.0.1")},
                                            {"IPv4OptionsProbePort", unsignedNumber(port)},
                                            {"IPv4OptionsProbability", number(1.0)},
                                            {"IPv4OptionsProbeCount", unsignedNumber(2)}})));
    ASSERT_TRUE(waitFor([&] { return harness.statuses()["ipv4_options"] == "Completed"; }));
    const auto posts = harness.posts("probes__ipv4_options");
    ASSERT_EQ(posts.size(), 1u);
    ASSERT_EQ(posts[0].arguments.size(), 1u);
    const Value& fields = posts[0].arguments[0].value;
    const std::map<std::string, std::string> expected = {
        {"probes.plain.sent", "2"},        {"probes.plain.error", "0"},
        {"probes.opt20zero.sent", "0"},    {"probes.opt20zero.error", "1"},
        {"probes.opt20nonzero.sent", "0"}, {"probes.opt20nonzero.error", "1"}};
    for (const auto& [field, value] : expected) {
        EXPECT_EQ(fields.find(field).asString(), value) << field;
    }
    EXPECT_EQ(harness.logLinesWith(
                  "Error running IPv4 Options experiment. setsockopt for option 20 returned: "),
              2u);
    // Only the plain phase reached the server.
    EXPECT_EQ(reflector.value()->snapshot().ipv4Options.datagrams, 2u);
}

// A host that shuts the plugin down right after Initialize started every worker: each worker
// must be joined while its experiment is whole (a worker that had not begun used to call a
// pure virtual and abort the process).
TEST(PlatformFaults, ShutdownRightAfterTheWorkersStartedEndsThemCleanly) {
    const Value config = configValue({{"GameLatencyProbeServers", text("127.0.0.1")},
                                      {"GameLatencyProbePort", unsignedNumber(9)},
                                      {"GameLatencyProbability", number(1.0)},
                                      {"GameLatencyTimeoutSecs", number(0.05)},
                                      {"IPv4OptionsProbeServers", text("127.0.0.1")},
                                      {"IPv4OptionsProbePort", unsignedNumber(9)},
                                      {"IPv4OptionsProbability", number(1.0)},
                                      {"IPv6SupportProbeServers", text("::1")},
                                      {"IPv6SupportProbePort", unsignedNumber(9)},
                                      {"IPv6SupportProbability", number(1.0)}});
    for (int round = 0; round < 50; ++round) {
        PluginHarness harness;
        ASSERT_TRUE(harness.start(&config));
        harness.host.shutdown();
        ASSERT_TRUE(harness.host.contractViolations().empty());
    }
}

}  // namespace
}  // namespace mox::faults
