#include "routing/endpoint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/builtin_types.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "routing/argument_binding.h"
#include "routing/request_dispatch.h"
#include "tests/routing/routing_test_support.h"

namespace mox {
namespace {

struct ProbeResult {
    std::string server;
    std::uint32_t latency = 0;
};

struct ProbeResults {
    std::vector<ProbeResult> results;
};

// A value-or-error result as a layer above the router defines one.
struct TestError {
    std::uint32_t code = 0;
    std::string message;
};
template <class T>
struct TestResult {
    std::optional<T> value;
    TestError error;
};

}  // namespace

// The two lines that adapt such a result type to the router.
template <class T>
struct ReplyTraits<TestResult<T>> {
    using Value = T;
    static HandlerReply<T> toReply(TestResult<T>&& r) {
        return r.value ? HandlerReply<T>(std::move(*r.value))
                       : HandlerReply<T>::failure(r.error.code, r.error.message);
    }
};

namespace {

using test::Answer;
using test::field;
using test::LayerBalance;
using test::RequestBuilder;

class LatencyExperiment {
  public:
    TestResult<ProbeResults> getResults() {
        if (failing) {
            return {std::nullopt, {500, "Probe size too large"}};
        }
        return {ProbeResults{{{"probe-1", 12}, {"probe-2", 30}}}, {}};
    }
    void clearResults() { ++cleared; }

    bool failing = false;
    int cleared = 0;
};

class EndpointTest : public ::testing::Test {
  protected:
    EndpointTest() {
        setUpBuiltinTypes(registry);
        registry.beginStruct<ProbeResult>("ProbeResult")
            .field("server", &ProbeResult::server)
            .field("latency", &ProbeResult::latency)
            .finish();
        registry.beginStruct<ProbeResults>("ProbeResults")
            .field("results", &ProbeResults::results)
            .finish();
    }

    void call(const std::string& function, RequestBuilder& builder, Answer& answer) {
        router.buildFunctionTable();
        const DispatchContext* context = router.dispatchContextFor(function);
        ASSERT_NE(context, nullptr) << function;
        builder.context(const_cast<DispatchContext*>(context));
        const HostRequest request = builder.build();
        handleFunctionRequest(&answer.response, &request);
    }

    TypeRegistry registry;
    FunctionRouter router{registry};
};

TEST_F(EndpointTest, BindsAMemberFunctionReturningARecordOrAnError) {
    LatencyExperiment experiment;
    router
        .bind(RequestMethod::Get, "/network-testing/v1/game-latency", experiment,
              &LatencyExperiment::getResults)
        .tag("network-testing");
    router.bind(RequestMethod::Delete, "/network-testing/v1/game-latency/results", experiment,
                &LatencyExperiment::clearResults);
    {
        RequestBuilder builder(RequestMethod::Get, "/network-testing/v1/game-latency");
        Answer answer;
        call("GetNetworkTestingV1GameLatency", builder, answer);
        ASSERT_FALSE(answer.isError()) << answer.error();
        const Value body = answer.body();
        ASSERT_EQ(body.find("results").size(), 2u);
        EXPECT_EQ(body.find("results").at(1).find("server").asString(), "probe-2");
        EXPECT_EQ(body.find("results").at(1).find("latency").asUnsigned(), 30u);
    }
    {
        experiment.failing = true;
        RequestBuilder builder(RequestMethod::Get, "/network-testing/v1/game-latency");
        Answer answer;
        call("GetNetworkTestingV1GameLatency", builder, answer);
        EXPECT_TRUE(answer.isError());
        EXPECT_EQ(answer.error(), "Probe size too large");
        EXPECT_EQ(answer.status(), 500u);
        EXPECT_EQ(field(answer.response.body.kind), HostKind::Empty);
    }
    {
        RequestBuilder builder(RequestMethod::Delete, "/network-testing/v1/game-latency/results");
        Answer answer;
        call("DeleteNetworkTestingV1GameLatencyResults", builder, answer);
        EXPECT_FALSE(answer.isError()) << answer.error();
        EXPECT_EQ(experiment.cleared, 1);
    }
    const FunctionDescriptor* function = registry.findFunction("GetNetworkTestingV1GameLatency");
    ASSERT_NE(function, nullptr);
    EXPECT_EQ(function->result.kind, TypeKind::Struct);
    EXPECT_EQ(function->result.descriptor, registry.findTypeByName("ProbeResults"));
    EXPECT_EQ(function->tags, std::vector<std::string>{"network-testing"});
}

TEST_F(EndpointTest, ASecondRegistrationKeepsTheFirst) {
    EndpointBuilder first = router.bindFunction("Items", [] { return 1; });
    first.templateText("/items/").method(RequestMethod::Get).tag("one");
    EndpointBuilder second = router.bindFunction("Items", [] { return 2; });
    EXPECT_FALSE(second.active());
    second.templateText("/other").method(RequestMethod::Post).tag("two");
    const FunctionDescriptor* function = registry.findFunction("Items");
    ASSERT_NE(function, nullptr);
    const FunctionBinding* binding = router.bindingFor(*function);
    ASSERT_NE(binding, nullptr);
    EXPECT_EQ(binding->templateText, "/items");
    EXPECT_EQ(binding->method, 2u);
    EXPECT_EQ(function->tags, std::vector<std::string>{"one"});
}

TEST_F(EndpointTest, TypedParametersAndResponseDetails) {
    router
        .bind(RequestMethod::Get, "/items/{id}",
              [](std::uint32_t id, bool verbose, std::optional<std::string> note) {
                  return HandlerReply<std::string>(std::to_string(id) + (verbose ? "v" : "") +
                                                   note.value_or("-"))
                      .status(201)
                      .text("Created")
                      .header("x-id", std::to_string(id))
                      .flag(3)
                      .category(7);
              },
              {"id", "verbose", "note"})
        .location("id", ParameterLocation::Path);
    {
        // Not "/items/42?verbose": the placeholder would take the query as well.
        RequestBuilder builder(RequestMethod::Get, "/items/42");
        builder.header("verbose", "");
        Answer answer;
        call("GetItemsById", builder, answer);
        ASSERT_FALSE(answer.isError()) << answer.error();
        EXPECT_EQ(answer.body().asString(), "42v-");
        EXPECT_EQ(answer.status(), 201u);
        EXPECT_STREQ(answer.response.text, "Created");
        EXPECT_EQ(field(answer.response.flag), 3);
        EXPECT_EQ(field(answer.response.category), 0u);  // only 1 to 3 are sent
        ASSERT_EQ(field(answer.response.headerCount), 1u);
        EXPECT_STREQ(answer.response.headers[0].name, "x-id");
        EXPECT_STREQ(answer.response.headers[0].value, "42");
    }
    {
        RequestBuilder builder(RequestMethod::Get, "/items/4x2");
        Answer answer;
        call("GetItemsById", builder, answer);
        EXPECT_EQ(answer.error(), "Value 4x2 for 'id' of type uint32 is in an incorrect format");
        EXPECT_EQ(answer.status(), 0u);
    }
}

TEST_F(EndpointTest, FunctionsThatAskForTheRequestGetIt) {
    RequestInfo seen;
    std::string path;
    std::string header;
    router.bindFunction("Info",
                        [&](const RequestInfo& info, std::string q) {
                            seen = info;
                            path.assign(info.path);
                            const std::string* value = info.headers->find("x-a");
                            header = value != nullptr ? *value : "";
                            return q;
                        },
                        {"q"});
    const std::uint64_t before = requestTimeNow();
    RequestBuilder builder(RequestMethod::Custom, "Info");
    builder.customMethod("PROBE").header("x-a", "1").callerContext(77);
    Answer answer;
    call("Info", builder, answer);
    // "Info" is a literal route: a query would not match it, so q comes as a host argument.
    EXPECT_EQ(answer.error(), "A value for 'q' is required.");
    EXPECT_EQ(seen.callerContext, 0u);  // not called

    HostValue text{};
    ASSERT_TRUE(setHostString(text, "hi"));
    RequestBuilder named(RequestMethod::Custom, "Info");
    named.customMethod("PROBE").header("x-a", "1").callerContext(77).argument("q", text);
    Answer second;
    call("Info", named, second);
    releaseHostValue(text);
    ASSERT_FALSE(second.isError()) << second.error();
    EXPECT_EQ(seen.callerContext, 77u);
    EXPECT_EQ(seen.method, RequestMethod::Custom);
    EXPECT_EQ(path, "Info");
    EXPECT_EQ(header, "1");
    EXPECT_EQ(seen.registry, &registry);
    EXPECT_GE(seen.startTime, before);
    EXPECT_LE(seen.startTime, requestTimeNow());
    // 100 ns units since 1970: later than 2020-01-01 (15778368000000000).
    EXPECT_GT(seen.startTime, 15778368000000000ull);
}

TEST_F(EndpointTest, SharedRepliesAnswerTheHandlersObjectAndLetGoOfIt) {
    auto stored = std::make_shared<const ProbeResults>(ProbeResults{{{"probe-1", 12}}});
    std::shared_ptr<const ProbeResults> none;
    router.bindFunction("Stored", [&] { return HandlerReply<ProbeResults>::shared(stored); });
    router.bindFunction("Missing", [&] { return HandlerReply<ProbeResults>::shared(none); });
    {
        RequestBuilder builder(RequestMethod::Get, "Stored");
        Answer answer;
        call("Stored", builder, answer);
        ASSERT_FALSE(answer.isError()) << answer.error();
        EXPECT_EQ(answer.body().find("results").at(0).find("server").asString(), "probe-1");
        EXPECT_EQ(stored.use_count(), 1) << "the reply keeps no reference after the answer";
    }
    {
        RequestBuilder builder(RequestMethod::Get, "Missing");
        Answer answer;
        call("Missing", builder, answer);
        EXPECT_TRUE(answer.isError());
        EXPECT_EQ(answer.error(), "Internal server error");
        EXPECT_EQ(answer.status(), 500u);
    }
}

TEST_F(EndpointTest, FailuresInsideTheCallAreAnsweredNotThrown) {
    router.bindFunction("Deep", [] {
        Value deep;
        Value* at = &deep;
        for (std::uint32_t i = 0; i <= kMaxNestingDepth; ++i) {
            at = &at->append();
        }
        return deep;
    });
    router.bindFunction("NoMemory", []() -> int { throw std::bad_alloc(); });
    router.bindFunction("TooLong", []() -> int { throw std::length_error("vector"); });
    struct Case {
        const char* reason;
        const char* function;
        std::uint32_t status;
    };
    const Case cases[] = {
        {"a result too deep for the host form", "Deep", 500},
        {"an allocation failure", "NoMemory", 500},
        {"a length error", "TooLong", 500},
    };
    const LayerBalance balance;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        RequestBuilder builder(RequestMethod::Get, c.function);
        {
            Answer answer;
            call(c.function, builder, answer);
            EXPECT_TRUE(answer.isError());
            EXPECT_FALSE(answer.error().empty());
            EXPECT_EQ(answer.status(), c.status);
            EXPECT_EQ(field(answer.response.body.kind), HostKind::Empty);
        }
    }
    EXPECT_EQ(balance.liveBlocks(), 0);
}

class FixedStream final : public BodyStream {
  public:
    explicit FixedStream(std::string bytes, int* deleted)
        : bytes_(std::move(bytes)), deleted_(deleted) {}
    ~FixedStream() override { ++*deleted_; }
    std::uint32_t size() const noexcept override {
        return static_cast<std::uint32_t>(bytes_.size());
    }
    bool read(void* buffer, std::uint32_t capacity, std::uint32_t& delivered,
              bool& more) noexcept override {
        delivered =
            static_cast<std::uint32_t>(std::min<std::size_t>(capacity, bytes_.size() - at_));
        std::memcpy(buffer, bytes_.data() + at_, delivered);
        at_ += delivered;
        more = at_ < bytes_.size();
        return true;
    }

  private:
    std::string bytes_;
    std::size_t at_ = 0;
    int* deleted_;
};

TEST_F(EndpointTest, ABodyStreamGoesToTheResponse) {
    int deleted = 0;
    router.bindFunction("Stream", [&] {
        return HandlerReply<void>().stream(std::make_unique<FixedStream>("abcdef", &deleted));
    });
    RequestBuilder builder(RequestMethod::Get, "Stream");
    Answer answer;
    call("Stream", builder, answer);
    ASSERT_FALSE(answer.isError()) << answer.error();
    ASSERT_NE(field(answer.response.stream), nullptr);
    EXPECT_EQ(field(answer.response.streamSize), 6u);
    EXPECT_EQ(field(answer.response.streamPosition), 0u);
    char buffer[4];
    std::uint32_t length = sizeof buffer;
    std::uint8_t more = 0;
    ASSERT_EQ(answer.response.streamRead(answer.response.stream, buffer, &length, &more), 1);
    EXPECT_EQ(std::string(buffer, length), "abcd");
    EXPECT_EQ(more, 1);
    void* stream = answer.response.stream;
    const HostStreamRelease releaseStream = answer.response.streamRelease;
    answer.response.release(&answer.response);
    EXPECT_EQ(deleted, 0);  // releasing the response leaves the stream to its own release
    releaseStream(stream);
    EXPECT_EQ(deleted, 1);
}

TEST_F(EndpointTest, ReleaseResponseFreesEverythingAndZeroesTheRecord) {
    router.bindFunction("Full", [] {
        return HandlerReply<std::string>("body").text("t").header("a", "1").header("b", "2");
    });
    const LayerBalance balance;
    RequestBuilder builder(RequestMethod::Get, "Full");
    HostResponse response;
    std::memset(static_cast<void*>(&response), 0xAB, sizeof response);  // host garbage
    response.release = nullptr;  // not ours: must not be released
    router.buildFunctionTable();
    builder.context(const_cast<DispatchContext*>(router.dispatchContextFor("Full")));
    const HostRequest request = builder.build();
    handleFunctionRequest(&response, &request);
    ASSERT_EQ(field(response.release), &releaseResponse);
    EXPECT_EQ(field(response.headerCount), 2u);
    // A second dispatch into the same response releases what the first left there.
    handleFunctionRequest(&response, &request);
    response.release(&response);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&response);
    for (std::size_t i = 0; i < sizeof response; ++i) {
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
    EXPECT_EQ(balance.liveBlocks(), 0);
}

TEST_F(EndpointTest, BuiltinHelpOnlyWithARegistry) {
    int called = 0;
    router.bindFunction("Help", [&] { return ++called; }).tag("$builtin");
    router.bindFunction("Other", [&] { return ++called; }).tag("$builtin");
    Route help;
    Route other;
    ASSERT_TRUE(buildRoute(*router.bindingFor(*registry.findFunction("Help")), help));
    ASSERT_TRUE(buildRoute(*router.bindingFor(*registry.findFunction("Other")), other));
    const Route routes[] = {help, other};
    {
        RequestBuilder builder(RequestMethod::Get, "Help");
        const HostRequest request = builder.build();
        Answer answer;
        dispatchRequest(&registry, &answer.response, &request, routes);
        ASSERT_FALSE(answer.isError()) << answer.error();
        const Value body = answer.body();
        EXPECT_TRUE(body.contains("functions"));
        EXPECT_TRUE(body.contains("types"));
        EXPECT_TRUE(body.contains("events"));
        EXPECT_GT(body.find("types").size(), 0u);
        EXPECT_EQ(called, 0);
    }
    {
        RequestBuilder builder(RequestMethod::Get, "Other");
        const HostRequest request = builder.build();
        Answer answer;
        dispatchRequest(&registry, &answer.response, &request, routes);
        EXPECT_EQ(answer.error(), "Unsupported builtin function");
        EXPECT_EQ(answer.status(), 400u);
    }
    {
        RequestBuilder builder(RequestMethod::Get, "Help");
        const HostRequest request = builder.build();
        Answer answer;
        dispatchRequest(nullptr, &answer.response, &request, routes);
        EXPECT_FALSE(answer.isError()) << answer.error();
        EXPECT_EQ(called, 1);  // without a registry the function itself answers
    }
}

}  // namespace
}  // namespace mox
