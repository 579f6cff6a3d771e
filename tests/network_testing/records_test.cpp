// The plugin's records as the binding sees them: registration names and order, and the
// configuration conversion rules an update goes through (defaults for absent members, whole
// rejection of an unconvertible member, unknown members ignored, no merging).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/converters.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "network_testing/dynamic_config.h"
#include "network_testing/experiment_status.h"
#include "network_testing/game_latency_results.h"
#include "network_testing/network_testing_types.h"

namespace mox {
namespace {

class RecordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(registerNetworkTestingTypes(registry, "NetworkTesting", tags));
    }

    // Converts `value` into a fresh record, as an update does.
    ValueResult convert(const Value& value, NetworkTestingDynamicConfig& config) {
        config = NetworkTestingDynamicConfig{};
        return toNativeRecord(config, value, "<value>", registry);
    }

    TypeRegistry registry;
    std::vector<std::string> tags{"network-testing", "help"};
};

TEST_F(RecordsTest, RegistersEveryRecordUnderTheApiNameWithTheHelpPathAsTags) {
    const char* names[] = {
        "NetworkTestingNetworkExperimentStatus",     "NetworkTestingNetworkTestingDynamicConfig",
        "NetworkTestingNetworkExperimentResource",   "NetworkTestingNetworkExperimentsResource",
        "NetworkTestingGameLatencyExperimentResult", "NetworkTestingGameLatencyExperimentResults",
    };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const TypeDescriptor* type = registry.findTypeByName(name);
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->tags, tags);
    }
    const TypeDescriptor* config = registry.findTypeByName(names[1]);
    ASSERT_EQ(config->fields.size(), 14u);
    EXPECT_EQ(config->fields.front().name, "GameLatencyProbeServers");
    EXPECT_EQ(config->fields.back().name, "IPv6SupportProbeCount");
    EXPECT_STREQ(registry.enumeratorName(typeIdOf<NetworkExperimentStatus>(), 2), "InProgress");
    // Idempotent: a second registration changes nothing and still reports success.
    EXPECT_TRUE(registerNetworkTestingTypes(registry, "NetworkTesting", {"other"}));
    EXPECT_EQ(registry.findTypeByName(names[0])->tags, tags);
}

TEST_F(RecordsTest, AbsentMembersKeepTheirDefaultsAndUnknownMembersAreIgnored) {
    Value value;
    value.member("GameLatencyProbability").setFloat(1.0);
    value.member("NotAField").setString("ignored");
    NetworkTestingDynamicConfig config;
    ASSERT_TRUE(convert(value, config).ok());
    const NetworkTestingDynamicConfig defaults;
    EXPECT_EQ(config.GameLatencyProbability, 1.0);
    EXPECT_EQ(config.GameLatencyProbeServers, "");
    EXPECT_EQ(config.GameLatencyProbePort, 5499);
    EXPECT_EQ(config.GameLatencyTimeoutSecs, 3.0);
    EXPECT_EQ(config.GameLatencyProbeCount, 5);
    EXPECT_EQ(config.GameLatencyProbeSize, 256);
    EXPECT_EQ(config.IPv4OptionsProbePort, 5498);
    EXPECT_EQ(config.IPv4OptionsProbeCount, 8);
    EXPECT_EQ(config.IPv6SupportProbePort, 5497);
    EXPECT_EQ(config.IPv6SupportProbeCount, 8);
    EXPECT_EQ(config.IPv4OptionsProbability, defaults.IPv4OptionsProbability);
}

TEST_F(RecordsTest, UnconvertibleMembersRejectTheWholeUpdate) {
    struct Case {
        const char* reason;
        Value value;
    };
    std::vector<Case> cases(3);
    cases[0].reason = "a structure where a count is expected";
    cases[0].value.member("GameLatencyProbeCount").member("x").setUnsigned(1);
    cases[1].reason = "a port beyond uint16";
    cases[1].value.member("IPv4OptionsProbePort").setUnsigned(70000);
    cases[2].reason = "not a structure at all";
    cases[2].value.setString("GameLatencyProbability=1");
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        NetworkTestingDynamicConfig config;
        EXPECT_FALSE(convert(row.value, config).ok());
    }
}

TEST_F(RecordsTest, EachUpdateStartsFromTheDefaults) {
    Value first;
    first.member("IPv4OptionsProbePort").setUnsigned(6000);
    Value second;
    second.member("IPv4OptionsProbability").setFloat(0.5);
    NetworkTestingDynamicConfig config;
    ASSERT_TRUE(convert(first, config).ok());
    EXPECT_EQ(config.IPv4OptionsProbePort, 6000);
    ASSERT_TRUE(convert(second, config).ok());
    EXPECT_EQ(config.IPv4OptionsProbePort, 5498);
}

TEST_F(RecordsTest, AnUnansweredProbeHasNoLatencyInItsValue) {
    GameLatencyExperimentResults results;
    results.results.push_back({"127.0.0.1", 256, std::nullopt});
    results.results.push_back({" 10.0.0.1", 8, 12.5});
    results.timestamp = "2021-03-04T05:06:07Z";
    ValueResult value = toValueRecord(results, registry);
    ASSERT_TRUE(value.ok());
    const Value& list = value.value().find("results");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list.at(0).find("latency").isEmpty());
    EXPECT_EQ(list.at(1).find("latency").asFloat(0.0), 12.5);
    EXPECT_EQ(list.at(1).find("server").asString(), " 10.0.0.1");
}

}  // namespace
}  // namespace mox
