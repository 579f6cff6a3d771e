#include <gtest/gtest.h>

#include <string>

#include "binding/values/value.h"
#include "formats/json_reader.h"
#include "tools/nt_host/json_writer.h"
#include "tools/nt_host/run_report.h"

namespace mox::nthost {
namespace {

TEST(NtHostJson, StringsAreEscapedAndAlwaysValid) {
    struct Case {
        std::string input;
        std::string expected;
        const char* reason;
    };
    const Case cases[] = {
        {"plain", "\"plain\"", "nothing to escape"},
        {"a\"b\\c", "\"a\\\"b\\\\c\"", "quote and backslash"},
        {"l1\nl2\t\r", "\"l1\\nl2\\t\\r\"", "short escapes"},
        {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\"", "other control characters"},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\"", "valid UTF-8 passes through"},
        {"a\xff"
         "b",
         "\"a\xef\xbf\xbd"
         "b\"",
         "an invalid byte becomes U+FFFD"},
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\"", "an overlong form is not valid UTF-8"},
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"", "a surrogate is refused"},
        {"\xe2\x82", "\"\xef\xbf\xbd\xef\xbf\xbd\"", "a truncated sequence at the end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        std::string out;
        appendJsonString(out, c.input);
        EXPECT_EQ(out, c.expected);
        EXPECT_TRUE(parseJson(out).ok()) << out;
    }
}

TEST(NtHostJson, WriterPlacesCommasAndWritesValues) {
    Value value;
    value.member("b").setBool(true);
    value.member("n").setSigned(-3);
    value.member("f").setFloat(5.12);
    value.member("list").append().setUnsigned(7);
    value.member("list").append();
    value.member("blob").setBlob("\x01\x02", 2);
    value.member("empty").makeStructure();

    JsonWriter json;
    json.beginObject();
    json.key("v").value(value);
    json.key("nan").number(std::numeric_limits<double>::quiet_NaN());
    json.key("a").beginArray().endArray();
    json.endObject();
    EXPECT_EQ(json.text(),
              "{\"v\":{\"b\":true,\"blob\":[1,2],\"empty\":{},\"f\":5.12,\"list\":[7,null],"
              "\"n\":-3},\"nan\":null,\"a\":[]}");

    JsonWriter pretty(true);
    pretty.beginObject().key("x").beginArray().number(1).number(2).endArray().endObject();
    EXPECT_EQ(pretty.text(), "{\n  \"x\": [\n    1,\n    2\n  ]\n}");
}

// A results body as the plugin's GET answers it: two servers, one lost probe.
Value resultsBody() {
    Value body;
    body.member("timestamp").setString("2026-12-10T10:00:00Z");
    const struct {
        const char* server;
        double latency;  // < 0: no reply
    } rows[] = {{"127.0.0.1", 5.0}, {"10.0.0.1", -1}, {"127.0.0.1", 7.0}, {"127.0.0.1", 6.0}};
    for (const auto& row : rows) {
        Value& result = body.member("results").append();
        result.member("server").setString(row.server);
        result.member("size").setUnsigned(256);
        if (row.latency >= 0)
            result.member("latency").setFloat(row.latency);
    }
    return body;
}

TEST(NtHostReport, ResultsAreGroupedByServerInFirstAppearanceOrder) {
    std::string problem;
    const auto results = readGameLatencyResults(resultsBody(), problem);
    ASSERT_TRUE(results) << problem;
    EXPECT_EQ(results->timestamp, "2026-12-10T10:00:00Z");
    ASSERT_EQ(results->servers.size(), 2u);
    const ServerLatency& local = results->servers[0];
    EXPECT_EQ(local.server, "127.0.0.1");
    EXPECT_EQ(local.probeSize, 256u);
    EXPECT_EQ(local.summary.sent, 3u);
    EXPECT_DOUBLE_EQ(local.summary.medianMs, 6.0);
    EXPECT_DOUBLE_EQ(local.summary.jitterMs, 1.5);  // |7-5| and |6-7|
    EXPECT_EQ(results->servers[1].summary.received, 0u);
    EXPECT_DOUBLE_EQ(results->servers[1].summary.lossPercent, 100.0);

    Value notStructure;
    notStructure.setString("x");
    EXPECT_FALSE(readGameLatencyResults(notStructure, problem));
    EXPECT_NE(problem.find("not a structure"), std::string::npos);
}

TEST(NtHostReport, MergingRoundsAppendsRoundTrips) {
    std::string problem;
    auto all = readGameLatencyResults(resultsBody(), problem);
    const auto more = readGameLatencyResults(resultsBody(), problem);
    ASSERT_TRUE(all && more);
    mergeGameLatencyResults(*all, *more);
    EXPECT_EQ(all->servers[0].summary.sent, 6u);
    EXPECT_EQ(all->servers[0].summary.received, 6u);
    EXPECT_EQ(all->servers[1].summary.sent, 2u);
}

RunReport sampleReport() {
    RunReport report;
    report.pluginPath = "/x/mox-be-network-testing.so";
    report.pluginShortName = "network-testing";
    report.pluginApiVersion = "18.0.0";
    report.hostApiVersion = "18.2.0";
    report.configSource = "built-in demo";
    report.config.member("GameLatencyProbability").setFloat(1.0);
    report.outcome = ExitCode::Success;
    report.elapsedSeconds = 2.5;
    report.experiments = {{"game_latency", "Completed", true, true},
                          {"ipv4_options", "Completed", true, true},
                          {"ipv6_support", "Disabled", false, false}};
    report.telemetry.push_back({"probes__ipv4_options",
                                1.0,
                                {{"target.ip", "127.0.0.1"},
                                 {"experiment.id", "18446744073709551615"},
                                 {"probes.plain.sent", "3"},
                                 {"probes.plain.error", "0"},
                                 {"probes.opt20zero.sent", "0"},
                                 {"probes.opt20zero.error", "1"},
                                 {"probes.opt20nonzero.sent", "0"},
                                 {"probes.opt20nonzero.error", "1"}}});
    std::string problem;
    report.gameLatency = readGameLatencyResults(resultsBody(), problem);
    report.reflectorCounters = {{"gameLatencyAnswered", 3}};
    return report;
}

TEST(NtHostReport, JsonDocumentParsesAndCarriesEveryField) {
    const std::string text = renderRunJson(sampleReport());
    ValueResult parsed = parseJson(text);
    ASSERT_TRUE(parsed.ok()) << parsed.error() << "\n" << text;
    const Value& doc = parsed.value();
    for (const char* key : {"formatVersion", "command", "outcome", "exitCode", "elapsedSeconds",
                            "plugin", "configuration", "warnings", "experiments", "telemetry",
                            "gameLatency", "ipv4Options", "ipv6Support", "reflector"}) {
        EXPECT_TRUE(doc.contains(key)) << key;
    }
    EXPECT_EQ(doc.find("outcome").asString(), "success");
    EXPECT_EQ(doc.find("experiments").find("ipv6_support").find("status").asString(), "Disabled");
    EXPECT_TRUE(doc.find("ipv6Support").isEmpty());
    const Value& ipv4 = doc.find("ipv4Options");
    EXPECT_EQ(ipv4.find("experimentId").asString(), "18446744073709551615");
    EXPECT_EQ(ipv4.find("phases").find("plain").find("sent").asUnsigned(), 3u);
    EXPECT_FALSE(ipv4.find("routerAlertSent").asBool(true));
    const Value& server = doc.find("gameLatency").find("servers").at(0);
    for (const char* key :
         {"server", "probeSize", "sent", "received", "lossPercent", "minMs", "medianMs", "p95Ms",
          "maxMs", "meanMs", "jitterMs", "roundTripsMs", "histogram"}) {
        EXPECT_TRUE(server.contains(key)) << key;
    }
    // JSON does not tell 6 from 6.0: the reader gives an unsigned number for "6".
    EXPECT_EQ(server.find("medianMs").asUnsigned(), 6u);
    // The silent server has no latency figures: null, not 0.
    EXPECT_TRUE(doc.find("gameLatency").find("servers").at(1).find("minMs").isEmpty());
    EXPECT_TRUE(doc.find("gameLatency").find("servers").at(1).contains("minMs"));
}

TEST(NtHostReport, TextNamesOutcomesAndFigures) {
    const std::string text = renderRunText(sampleReport());
    for (const char* part :
         {"game_latency   Completed", "ipv6_support   Disabled", "(probability 0",
          "127.0.0.1  (probe size 256 bytes)", "3 sent, 3 received, 0.0% loss",
          "min 5.00  median 6.00  p95 7.00  max 7.00 ms", "jitter    1.50 ms",
          "refused the Router Alert option", "10.0.0.1", "no reply", "success after 2.5 s"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
}

TEST(NtHostReport, TelemetryLinesAreSortedAndPrintable) {
    const TelemetryEvent event{
        "probes__ipv6_support", 0.0, {{"target.ip", "::1\x1b[2J"}, {"probes.sent", "5"}}};
    EXPECT_EQ(telemetryLine(event),
              "telemetry probes__ipv6_support: probes.sent=5, target.ip=::1?[2J");
}

TEST(NtHostReport, MeasureLinesAreOneJsonDocumentEach) {
    std::string problem;
    MeasureRound ok{1, 0.5, 200, "", readGameLatencyResults(resultsBody(), problem)};
    MeasureRound failed{2, 1.5, 500, "Probe size too large", std::nullopt};
    for (const MeasureRound* round : {&ok, &failed}) {
        const std::string line = renderRoundJson(*round);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        ValueResult parsed = parseJson(line);
        ASSERT_TRUE(parsed.ok()) << line;
        EXPECT_EQ(parsed.value().find("round").asUnsigned(), round->index);
    }
    EXPECT_NE(renderRoundText(failed).find("failed: Probe size too large (status 500)"),
              std::string::npos);
    MeasureSummary summary{2, 1, *ok.results};
    ValueResult parsed = parseJson(renderMeasureSummaryJson(summary));
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value().find("summary").find("failedRounds").asUnsigned(), 1u);
}

}  // namespace
}  // namespace mox::nthost
