#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_test_support.h"
#include "plugin/call_result.h"
#include "plugin/entry/allocation.h"

namespace mox::testing {
namespace {

Value text(const char* s) {
    Value value;
    value.setString(s);
    return value;
}

Value boolean(bool b) {
    Value value;
    value.setBool(b);
    return value;
}

TEST(MessageTemplate, ConversionToPositionalFormAndFields) {
    struct Row {
        const char* reason;
        const char* messageTemplate;
        std::vector<Value> values;
        const char* positional;
        std::vector<std::string> fields;
    };
    const Row rows[] = {
        {"named placeholders in order",
         "Error response for {method} {url}: {error}",
         {text("GET"), text("/a"), text("gone")},
         "Error response for %1 %2: %3",
         {"error", "method", "url"}},
        {"escapes outside braces", "{{a}} }} %% 100%%", {}, "{a} } %% 100%%", {}},
        {"typed name gets the kind's suffix",
         "{#count} items",
         {unsignedValue(5)},
         "%1 items",
         {"count_int"}},
        {"typed name keeps a known suffix", "{#when_time}", {text("t")}, "%1", {"when_time"}},
        {"typed string", "{#who}", {text("me")}, "%1", {"who_str"}},
        {"alternative text for a false value", "[{flag?none}]", {boolean(false)}, "[none]", {}},
        {"no alternative for a true value", "[{flag?none}]", {boolean(true)}, "[%1]", {"flag"}},
        {"record-only strips trailing space",
         "done   {!rec} end",
         {text("x")},
         "done end",
         {"rec"}},
        {"printf conversion takes the next value",
         "%d of {total}",
         {unsignedValue(3), unsignedValue(7)},
         "%1$d of %2",
         {"total"}},
        {"backslash escapes inside a name", "{a\\}b}", {text("v")}, "%1", {"a}b"}},
        {"format part is ignored", "{x:08d}", {text("v")}, "%1", {"x"}},
        {"nested brace is ignored", "{a{b}", {text("v")}, "%1", {"ab"}},
        {"placeholder without a value", "a {missing} b", {}, "a  b", {}},
        {"unclosed placeholder ends the template", "a {open", {text("v")}, "a ", {}},
        {"empty name stores nothing", "{} x", {text("v")}, "%1 x", {}},
        {"a percent sign that starts no conversion is text",
         "{rate}%, 5%. 100%",
         {unsignedValue(5)},
         "%1%%, 5%%. 100%%",
         {"rate"}},
        {"a digit or dollar after a placeholder is not read as part of it",
         "{n}0 x{m}$ {a}{b}",
         {unsignedValue(1), unsignedValue(2), text("a"), text("b")},
         "%1$s0 x%2$s$ %3%4",
         {"a", "b", "m", "n"}},
        {"record-only strip back to a placeholder before a digit",
         "{a} {!b}7",
         {text("x"), text("y")},
         "%1$s7",
         {"a", "b"}},
        {"alternative text starting with a digit after a placeholder",
         "{a}{b?0}",
         {text("x"), boolean(false)},
         "%1$s0",
         {"a"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        std::string positional;
        std::unordered_map<std::string, Value> fields;
        convertMessageTemplate(row.messageTemplate, row.values, positional, fields);
        EXPECT_EQ(positional, row.positional);
        std::vector<std::string> names;
        for (const auto& entry : fields) {
            names.push_back(entry.first);
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, row.fields);
    }
}

TEST(MessageTemplate, ErrorsCarryMessageCodeAndFields) {
    const Value values[] = {text("GET"), text("/a"), text("100% gone")};
    const CallError error =
        CallError::fromTemplate(404, "Error response for {method} {url}: {error}", values);
    EXPECT_EQ(error.code, 404u);
    EXPECT_EQ(error.message, "Error response for GET /a: 100% gone");
    EXPECT_EQ(error.fields.size(), 4u);
    EXPECT_EQ(error.fields.at("url").asString(), "/a");
    EXPECT_EQ(error.fields.at("errorCode_int").asUnsigned(), 404u);

    const Value numbers[] = {unsignedValue(3), unsignedValue(7)};
    EXPECT_EQ(CallError::fromTemplate(0, "%d of {total}", numbers).message, "3 of 7");
    EXPECT_EQ(CallError::fromTemplate(0, "{n} x", numbers).fields.count("errorCode_int"), 0u);
    // Text after a placeholder or a lone "%" reaches the message as written.
    EXPECT_EQ(CallError::fromTemplate(0, "{n}0 items, 50%! {s}$", numbers).message,
              "30 items, 50%! 7$");

    EXPECT_EQ(makeServerError("").code, 500u);
    EXPECT_EQ(makeServerError("").message, "Internal server error");
    EXPECT_EQ(makeServerError("disk full").message, "disk full");
    EXPECT_EQ(makeServerError("x").fields.at("errorCode_int").asUnsigned(), 500u);
}

class HostRequestTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        loadAndInitialise();
        host.clearRecords();
    }
    void TearDown() override { EXPECT_EQ(host.openStreams(), 0u) << "a stream was not released"; }
};

TEST_F(HostRequestTest, PlainAndFailingReplies) {
    Value body;
    body.makeStructure();
    body.member("n").setSigned(-4);
    host.serve(host::kGet, "/res/v1/a", host::Reply::withValue(body));
    host.serve(host::kGet, "/res/v1/gone", host::Reply::withError("no such thing", 404));

    CallResult<Value> value = plugin().requestValue(kMethodGet, "/res/v1/a");
    ASSERT_TRUE(value.ok()) << value.error().message;
    EXPECT_EQ(value.value().find("n").asSigned(), -4);

    CallResult<Value> gone = plugin().requestValue(kMethodGet, "/res/v1/gone");
    ASSERT_FALSE(gone.ok());
    EXPECT_EQ(gone.error().code, 404u);
    EXPECT_EQ(gone.error().message, "Error response for GET /res/v1/gone: no such thing");
    EXPECT_EQ(gone.error().fields.at("method").asString(), "GET");
    EXPECT_EQ(gone.error().fields.at("url").asString(), "/res/v1/gone");
    EXPECT_EQ(gone.error().fields.at("error").asString(), "no such thing");
    EXPECT_EQ(gone.error().fields.at("errorCode_int").asUnsigned(), 404u);

    // An unknown method code is sent as 0 and named by an empty text.
    CallResult<Value> odd = plugin().requestValue(42, "/res/v1/odd");
    ASSERT_FALSE(odd.ok());
    EXPECT_EQ(odd.error().message, "Error response for  /res/v1/odd: Not found");

    const std::vector<host::RecordedRequest> requests = host.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, 2u);
    EXPECT_EQ(requests[0].path, "/res/v1/a");
    EXPECT_TRUE(requests[0].arguments.empty());
    EXPECT_EQ(requests[0].callerContext, 0x5eedu);
    EXPECT_EQ(requests[2].method, 0u);
}

TEST_F(HostRequestTest, StreamedReplies) {
    std::string big = "[\"" + std::string(4096 * 2 + 100 - 4, 'x') + "\"]";
    ASSERT_EQ(big.size(), 8292u);
    struct Row {
        const char* reason;
        host::Reply reply;
        std::size_t reads;
        std::size_t yields;
        const char* error;  // null for success
    };
    host::Reply failing = host::Reply::streamed("[1]");
    failing.failingRead = 0;
    host::Reply oversized = host::Reply::streamed(big);
    oversized.oversizedRead = 1;
    host::Reply hugeSize = host::Reply::streamed("[1, 2]");
    hugeSize.reportedSize = 0xFFFFFFFFu;
    const Row rows[] = {
        {"full chunks read again at once", host::Reply::streamed(big), 3, 0, nullptr},
        {"a short chunk with more to come yields first", host::Reply::streamed("[1, 2, 3]", {4, 5}),
         2, 1, nullptr},
        {"the host's size is only a hint", hugeSize, 1, 0, nullptr},
        {"a failing read", failing, 1, 0,
         "Error reading streamed response for GET /s: Stream read error"},
        {"a length beyond the buffer is a read error", oversized, 2, 0,
         "Error reading streamed response for GET /s: Stream read error"},
        {"a body that is not JSON", host::Reply::streamed("[1,"), 1, 0,
         "Error reading streamed response for GET /s: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        host.clearRecords();
        host.serve(host::kGet, "/s", row.reply);
        CallResult<Value> result = plugin().requestValue(kMethodGet, "/s");
        const std::vector<host::RecordedRequest> requests = host.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].streamReads, row.reads);
        std::size_t yields = 0;
        for (const std::string& wait : host.waits()) {
            yields += wait == "yield" ? 1 : 0;
        }
        EXPECT_EQ(yields, row.yields);
        EXPECT_EQ(host.openStreams(), 0u);
        if (row.error == nullptr) {
            ASSERT_TRUE(result.ok()) << result.error().message;
            EXPECT_EQ(result.value().kind(), ValueKind::Collection);
        } else {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error().message.rfind(row.error, 0), 0u) << result.error().message;
            EXPECT_EQ(result.error().code, 0u);
            EXPECT_EQ(result.error().fields.count("errorCode_int"), 0u);
        }
    }
}

TEST_F(HostRequestTest, TypedRequestsConvertUnderTheResultName) {
    Value resource;
    resource.makeStructure();
    resource.member("state").setString("PluginsInitialized");
    host.serve(host::kGet, "/pm/v1/state", host::Reply::withValue(resource));
    host.serve(host::kGet, "/pm/v1/text", host::Reply::withValue(text("not a record")));

    CallResult<PluginManagerResource> state =
        plugin().requestTyped<PluginManagerResource>(kMethodGet, "/pm/v1/state");
    ASSERT_TRUE(state.ok()) << state.error().message;
    EXPECT_EQ(state.value().state, PluginManagerState::PluginsInitialized);

    CallResult<PluginManagerResource> wrong =
        plugin().requestTyped<PluginManagerResource>(kMethodGet, "/pm/v1/text");
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error().code, 0u);
    EXPECT_EQ(wrong.error().message.rfind("Error converting response for GET /pm/v1/text: ", 0), 0u)
        << wrong.error().message;
    EXPECT_NE(wrong.error().message.find("<result>"), std::string::npos);
}

TEST_F(HostRequestTest, ParametersTravelAsOneUnnamedStructure) {
    host.serveOthers(host::Reply::ok());
    NamedParameter parameters[2];
    parameters[0].name = "b";
    parameters[0].value.setString("2");
    parameters[1].name = "a";
    parameters[1].value.setUnsigned(1);
    CallResult<void> sent = plugin().sendRequestWithParameters(kMethodPut, "/p", parameters);
    ASSERT_TRUE(sent.ok()) << sent.error().message;
    std::vector<host::RecordedRequest> requests = host.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, 7u);
    ASSERT_EQ(requests[0].arguments.size(), 1u);
    EXPECT_FALSE(requests[0].arguments[0].name.has_value());
    const Value& argument = requests[0].arguments[0].value;
    ASSERT_EQ(argument.kind(), ValueKind::Structure);
    EXPECT_EQ(argument.size(), 2u);
    EXPECT_EQ(argument.find("a").asUnsigned(), 1u);
    EXPECT_EQ(argument.find("b").asString(), "2");

    // A parameter that cannot cross the boundary: nothing is sent.
    host.clearRecords();
    NamedParameter deep;
    deep.name = "deep";
    Value* level = &deep.value;
    for (int i = 0; i < 300; ++i) {
        level = &level->append();
    }
    CallResult<void> refused =
        plugin().sendRequestWithParameters(kMethodPost, "/p", std::span(&deep, 1));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, 400u);
    EXPECT_EQ(refused.error().message.rfind(
                  "Request not sent: Error converting parameters for POST /p: ", 0),
              0u)
        << refused.error().message;
    EXPECT_TRUE(host.requests().empty());
}

TEST_F(HostRequestTest, TelemetryPostsOneEventPerCallWithoutLeaking) {
    host.serveOthers(host::Reply::ok());
    TelemetrySink& sink = *plugin().telemetrySink();
    std::future<CallResult<void>> posted =
        sink.postTelemetryEvent("probes__x", {{"probes.sent", "4"}, {"a", "b"}});
    ASSERT_EQ(posted.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_TRUE(posted.get().ok());
    (void)sink.postTelemetryEvent("with/slash", {}).get();

    std::vector<host::RecordedRequest> requests = host.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, 6u);
    EXPECT_EQ(requests[0].path, "/telemetry/v1/events/probes__x");
    ASSERT_EQ(requests[0].arguments.size(), 1u);
    EXPECT_EQ(requests[0].arguments[0].value.find("probes.sent").asString(), "4");
    EXPECT_EQ(requests[0].arguments[0].value.find("a").asString(), "b");
    EXPECT_EQ(requests[1].path, "/telemetry/v1/events/with/slash");
    ASSERT_EQ(requests[1].arguments.size(), 1u);
    EXPECT_EQ(requests[1].arguments[0].value.kind(), ValueKind::Structure);
    EXPECT_EQ(requests[1].arguments[0].value.size(), 0u);

    // A failed post is only visible in the future.
    host.serve(host::kPost, "/telemetry/v1/events/bad", host::Reply::withError("refused", 503));
    CallResult<void> failed = sink.postTelemetryEvent("bad", {}).get();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().code, 503u);

    // Every post releases its argument and the host's response.
    host.clearRecords();
    const MemoryStats before = memoryStats();
    for (int i = 0; i < 1000; ++i) {
        (void)sink.postTelemetryEvent("probes__x", {{"probes.sent", "4"}}).get();
    }
    const MemoryStats after = memoryStats();
    EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);
    EXPECT_GT(after.allocations - before.allocations, 1000u);
}

}  // namespace
}  // namespace mox::testing
