// The host misbehaving: its answer to the configuration read failing in every way a reply can
// fail (error texts, streams that break on the first or a later chunk, broken host values),
// configuration values of every wrong kind, and telemetry posts that fail or hang for
// seconds. The plugin must stay usable, keep what it had, release every stream and block, and
// lose no measurement.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "allocation_balance.h"
#include "fault_test_support.h"
#include "tools/reflector/probe_reflector.h"

namespace mox::faults {
namespace {

using host::Reply;

// Every probability negative: a configuration the plugin accepts turns all three experiments
// "Skipped" and starts nothing.
Members allSkipped() {
    return {{"GameLatencyProbability", number(-1.0)},
            {"IPv4OptionsProbability", number(-1.0)},
            {"IPv6SupportProbability", number(-1.0)}};
}

const std::map<std::string, std::string> kAllDisabled = {
    {"game_latency", "Disabled"}, {"ipv4_options", "Disabled"}, {"ipv6_support", "Disabled"}};
const std::map<std::string, std::string> kAllSkipped = {
    {"game_latency", "Skipped"}, {"ipv4_options", "Skipped"}, {"ipv6_support", "Skipped"}};

Reply streamedFailingAt(std::string body, std::vector<std::uint32_t> chunks, std::size_t read) {
    Reply reply = Reply::streamed(std::move(body), std::move(chunks));
    reply.failingRead = read;
    return reply;
}

Reply rawBody(HostKind kind, HostPayload payload) {
    Reply reply;
    HostValue value;
    value.kind = kind;
    value.payload = payload;
    reply.rawBody = value;
    return reply;
}

// A JSON text of the all-skipped configuration padded with white space to `size` bytes, so a
// stream of it takes several reads.
std::string paddedConfigJson(std::size_t size) {
    std::string json =
        R"({"GameLatencyProbability":-1,"IPv4OptionsProbability":-1,"IPv6SupportProbability":-1)";
    json.append(size > json.size() + 1 ? size - json.size() - 1 : 0, ' ');
    json += "}";
    return json;
}

TEST(HostFaults, AFailedConfigurationReadLeavesEverythingDisabledAndReleased) {
    struct Row {
        const char* reason;
        Reply reply;
        bool stillConfigured = false;  // the reply carries the configuration all the same
    };
    HostMembers nullMembers{nullptr, 5};
    HostArray hugeArray{nullptr, 0xFFFFFFFFu};
    HostText nullText{nullptr, 10};
    HostPayload members{};
    members.structure = nullMembers;
    HostPayload array{};
    array.array = hugeArray;
    HostPayload textPayload{};
    textPayload.string = nullText;
    Reply hugeSize = Reply::streamed(paddedConfigJson(100));
    hugeSize.reportedSize = 0xFFFFFFFFu;
    Reply oversized = Reply::streamed(paddedConfigJson(9000));
    oversized.oversizedRead = 1;

    std::vector<Row> rows;
    rows.push_back({"error text with 404", Reply::withError("Not found", 404)});
    rows.push_back({"error text with 500", Reply::withError("Internal error", 500)});
    rows.push_back({"error text without a status", Reply::withError("", 0)});
    rows.push_back(
        {"stream fails on its first read", streamedFailingAt(paddedConfigJson(100), {}, 0)});
    rows.push_back({"stream fails on its third read, after two full chunks",
                    streamedFailingAt(paddedConfigJson(9000), {}, 2)});
    rows.push_back({"stream of invalid JSON", Reply::streamed("{\"GameLatencyProbability\":")});
    rows.push_back({"stream of JSON that is not a structure", Reply::streamed("[1, 2, 3]")});
    rows.push_back({"stream claims more bytes than the buffer holds", oversized});
    // The reported size is a hint: the body is read to its end whatever it says.
    rows.push_back({"stream reports a size of 4 GiB", hugeSize, true});
    rows.push_back({"body of an unknown kind", rawBody(static_cast<HostKind>(99), HostPayload{})});
    rows.push_back({"structure body with null members", rawBody(HostKind::Structure, members)});
    rows.push_back(
        {"collection body claiming 4 billion null elements", rawBody(HostKind::Collection, array)});
    rows.push_back(
        {"text body with a null pointer", rawBody(HostKind::BorrowedString, textPayload)});

    // One pass of a row; true when its expectations held. The statuses after the read are
    // those of a plugin that got no configuration, unless the reply still carried one.
    const auto pass = [](const Reply& reply, const std::map<std::string, std::string>& expected) {
        PluginHarness harness;
        harness.host.serve(host::kGet, kNetworkTestingConfigPath, reply);
        EXPECT_TRUE(harness.start());  // a failed read does not fail Initialize
        EXPECT_EQ(harness.statuses(), expected);
        EXPECT_EQ(harness.host.openStreams(), 0u);
        EXPECT_TRUE(harness.host.isSubscribed(kConfigKey));
        // The subscription still delivers what comes later.
        EXPECT_TRUE(harness.update(configValue(allSkipped())));
        EXPECT_EQ(harness.statuses(), kAllSkipped);
        harness.host.shutdown();
        EXPECT_TRUE(harness.host.contractViolations().empty());
    };
    // Process-lifetime state (first uses of the log core, the readers...) is made once here,
    // outside the balance.
    pass(Reply::streamed(paddedConfigJson(100)), kAllSkipped);
    pass(Reply::withError("Not found", 404), kAllDisabled);

    std::size_t injected = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        const std::map<std::string, std::string>& expected =
            row.stillConfigured ? kAllSkipped : kAllDisabled;
        test::LayerBalance balance;
        pass(row.reply, expected);
        ++injected;
        EXPECT_EQ(balance.liveBlocks(), 0);
    }
    printFigure("failed configuration reads injected", std::to_string(injected));
}

TEST(HostFaults, AConfigurationValueOfAWrongKindIsRejectedWhole) {
    struct Row {
        const char* reason;
        Value value;
    };
    const auto withBad = [](const char* field, std::function<void(Value&)> set) {
        Members members = allSkipped();
        members[field] = std::move(set);
        return configValue(members);
    };
    const auto structure = [](Value& v) { v.member("x").setUnsigned(1); };
    const auto collection = [](Value& v) { v.append().setUnsigned(1); };
    const auto blob = [](Value& v) { v.setBlob("\x01\x02", 2); };
    const auto negative = [](Value& v) { v.setSigned(-1); };

    std::vector<Row> rows;
    for (const char* field :
         {"GameLatencyProbeServers", "GameLatencyProbePort", "GameLatencyTimeoutSecs",
          "GameLatencyProbeCount", "GameLatencyProbeSize", "IPv4OptionsProbeServers",
          "IPv4OptionsProbePort", "IPv4OptionsProbeCount", "IPv6SupportProbeServers",
          "IPv6SupportProbePort", "IPv6SupportProbeCount", "GameLatencyProbability"}) {
        rows.push_back({field, withBad(field, structure)});
        rows.push_back({field, withBad(field, collection)});
        rows.push_back({field, withBad(field, blob)});
    }
    for (const char* field :
         {"GameLatencyProbePort", "GameLatencyProbeCount", "GameLatencyProbeSize",
          "IPv4OptionsProbeCount", "IPv6SupportProbePort"}) {
        rows.push_back({field, withBad(field, negative)});
    }
    rows.push_back({"a uint8 count of 256", withBad("GameLatencyProbeCount", unsignedNumber(256))});
    rows.push_back(
        {"a uint16 port of 65536", withBad("IPv4OptionsProbePort", unsignedNumber(65536))});
    rows.push_back(
        {"a uint16 size of 2^32", withBad("GameLatencyProbeSize", unsignedNumber(1ull << 32))});
    Value notStructure;
    notStructure.setString("GameLatencyProbability=1");
    rows.push_back({"a text instead of a structure", notStructure});
    Value list;
    list.append() = configValue(allSkipped());
    rows.push_back({"a collection instead of a structure", list});
    Value numberRoot;
    numberRoot.setFloat(1.0);
    rows.push_back({"a number instead of a structure", numberRoot});

    PluginHarness harness;
    ASSERT_TRUE(harness.start());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        ASSERT_TRUE(harness.update(row.value));
        // Accepted, it would have turned all three "Skipped".
        EXPECT_EQ(harness.statuses(), kAllDisabled);
    }
    ASSERT_TRUE(harness.update(configValue(allSkipped())));
    EXPECT_EQ(harness.statuses(), kAllSkipped);
    EXPECT_TRUE(harness.host.requests().size() == 1u);  // the initial read only: nothing ran
    printFigure("configuration values of a wrong kind rejected", std::to_string(rows.size()));
}

// A background game-latency run against the reflector, whose telemetry post fails or hangs.
TEST(HostFaults, AFailingOrHangingTelemetryPostLosesNoResultsAndBlocksNothingElse) {
    struct Row {
        const char* reason;
        Reply reply;
        bool slow;
    };
    Reply slowThenError = Reply::withError("Service unavailable", 503);
    slowThenError.delay = 1500ms;
    Reply slow = Reply::ok();
    slow.delay = 1500ms;
    const std::vector<Row> rows = {
        {"post answered with an error", Reply::withError("Internal error", 500), false},
        {"post answered after 1.5 s", slow, true},
        {"post answered with an error after 1.5 s", slowThenError, true},
    };

    auto reflector = reflector::ProbeReflector::start(loopbackReflector());
    ASSERT_TRUE(reflector.ok()) << reflector.error().message;
    const std::uint16_t port =
        reflector.value()
            ->endpoint(reflector::ProbeKind::GameLatency, platform::AddressFamily::IPv4)
            ->port;
    const Value config = configValue({{"GameLatencyProbeServers", text("127.0.0.1")},
                                      {"GameLatencyProbePort", unsignedNumber(port)},
                                      {"GameLatencyProbability", number(1.0)},
                                      {"GameLatencyTimeoutSecs", number(1.0)},
                                      {"GameLatencyProbeCount", unsignedNumber(3)}});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        PluginHarness harness;
        harness.host.serve(host::kPost, std::string(kTelemetryPrefix) + "probes__game_latency",
                           row.reply);
        ASSERT_TRUE(harness.start(&config));
        ASSERT_TRUE(waitFor([&] { return harness.posts("probes__game_latency").size() == 1; }));
        if (row.slow) {
            // While the post waits on the host, the status reads and other requests answer.
            const auto asked = std::chrono::steady_clock::now();
            EXPECT_EQ(harness.statuses()["game_latency"], "InProgress");
            EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
        }
        ASSERT_TRUE(waitFor([&] { return harness.statuses()["game_latency"] == "Completed"; }));
        // The run's results are kept whatever the post's fate: served without a new run.
        const host::CallAnswer answer = harness.get(kGameLatencyPath);
        ASSERT_FALSE(answer.isError) << answer.errorText;
        const Value& results = answer.body.find("results");
        ASSERT_EQ(results.size(), 3u);
        for (std::size_t i = 0; i < results.size(); ++i) {
            EXPECT_FALSE(results.at(i).find("latency").isEmpty()) << "result " << i;
        }
        EXPECT_EQ(reflector.value()->snapshot().gameLatency.answered % 3, 0u);
        EXPECT_EQ(harness.posts("probes__game_latency").size(), 1u);  // not retried
    }
}

TEST(HostFaults, ShutdownDuringAHangingTelemetryPostWaitsOnlyForThePost) {
    auto reflector = reflector::ProbeReflector::start(loopbackReflector());
    ASSERT_TRUE(reflector.ok()) << reflector.error().message;
    const std::uint16_t port =
        reflector.value()
            ->endpoint(reflector::ProbeKind::GameLatency, platform::AddressFamily::IPv4)
            ->port;
    const Value config = configValue({{"GameLatencyProbeServers", text("127.0.0.1")},
                                      {"GameLatencyProbePort", unsignedNumber(port)},
                                      {"GameLatencyProbability", number(1.0)},
                                      {"GameLatencyTimeoutSecs", number(1.0)},
                                      {"GameLatencyProbeCount", unsignedNumber(2)}});
    PluginHarness harness;
    Reply slow = Reply::ok();
    slow.delay = 2000ms;
    harness.host.serve(host::kPost, std::string(kTelemetryPrefix) + "probes__game_latency", slow);
    ASSERT_TRUE(harness.start(&config));
    ASSERT_TRUE(waitFor([&] { return harness.posts("probes__game_latency").size() == 1; }));
    const auto posted = std::chrono::steady_clock::now();
    harness.host.shutdown();
    const auto took = std::chrono::steady_clock::now() - posted;
    // The post is the host's own call: the worker is joined once the host lets it return.
    EXPECT_LT(took, 2500ms);
    printFigure(
        "shutdown during a 2 s telemetry post, ms",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

}  // namespace
}  // namespace mox::faults
