#include "routing/request_dispatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "binding/builtin_types.h"
#include "binding/type_identity.h"
#include "binding/type_registry.h"
#include "formats/json_reader.h"
#include "routing/argument_binding.h"
#include "routing/endpoint.h"
#include "routing/function_table.h"
#include "tests/routing/routing_test_support.h"

namespace mox {
namespace {

using test::Answer;
using test::field;
using test::LayerBalance;
using test::RequestBuilder;

// Records the generic arguments it is called with; answers success with an empty value.
class RecordingCallable final : public Callable {
  public:
    explicit RecordingCallable(std::vector<Value>& seen, int& calls) : seen_(seen), calls_(calls) {}
    std::unique_ptr<PendingCall> bindArguments(CallContext&, std::span<const Value> arguments,
                                               HostWord) override {
        seen_.assign(arguments.begin(), arguments.end());
        return std::make_unique<PendingCall>();
    }
    void invoke(CallContext&, const RequestInfo*, PendingCall&, HostWord) override { ++calls_; }
    std::uint32_t contextType() const noexcept override { return kNoTypeId; }

  private:
    std::vector<Value>& seen_;
    int& calls_;
};

struct Parameter {
    const char* name;
    TypeKind kind;
    ParameterLocation location = ParameterLocation::Any;
    bool optional = false;
};

class RouterTest : public ::testing::Test {
  protected:
    RouterTest() { setUpBuiltinTypes(registry); }

    // Binds a recording function; returns its binding.
    FunctionBinding& record(const char* name, const char* templateText, RequestMethod method,
                            std::vector<Parameter> parameters) {
        std::vector<ArgumentDescriptor> arguments;
        for (const Parameter& p : parameters) {
            ArgumentDescriptor& a = arguments.emplace_back();
            a.name = p.name;
            a.type.kind = p.kind;
            a.optional = p.optional;
        }
        FunctionDescriptor* function = registry.registerFunction(name, std::move(arguments));
        FunctionBinding& binding = router.addBinding(*function);
        binding.invoker = std::make_unique<RecordingCallable>(seen, calls);
        binding.setTemplate(templateText);
        binding.setMethod(static_cast<std::uint32_t>(method));
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            binding.locations[i] = static_cast<std::uint32_t>(parameters[i].location);
        }
        return binding;
    }

    // Sends the request to the function's table entry, as the host does.
    void call(const char* function, RequestBuilder& builder, Answer& answer) {
        router.buildFunctionTable();
        const DispatchContext* context = router.dispatchContextFor(function);
        ASSERT_NE(context, nullptr) << function;
        builder.context(const_cast<DispatchContext*>(context));
        const HostRequest request = builder.build();
        handleFunctionRequest(&answer.response, &request);
    }

    TypeRegistry registry;
    FunctionRouter router{registry};
    std::vector<Value> seen;
    int calls = 0;
};

TEST_F(RouterTest, MatchingPathAndMethod) {
    record("Experiments", "/network-testing/v1/experiments", RequestMethod::Get, {});
    record("Items", "/a/{x}", RequestMethod::None, {{"x", TypeKind::String}});
    record("Files", "/files/{+p}", RequestMethod::Get, {{"p", TypeKind::String}});
    record("Mine", "/mine", RequestMethod::Custom, {}).setCustomMethod("SUBSCRIBE");
    struct Case {
        const char* reason;
        const char* function;
        std::uint32_t method;
        const char* path;
        const char* customMethod;
        bool found;
        const char* x;  // the first argument, when found
    };
    const Case cases[] = {
        {"literal exact", "Experiments", 2, "/network-testing/v1/experiments", "", true, nullptr},
        {"literal with a trailing slash", "Experiments", 2, "/network-testing/v1/experiments/", "",
         false, nullptr},
        {"literal with a query", "Experiments", 2, "/network-testing/v1/experiments?a=1", "", false,
         nullptr},
        {"wrong method", "Experiments", 6, "/network-testing/v1/experiments", "", false, nullptr},
        {"method out of range is None", "Experiments", 99, "/network-testing/v1/experiments", "",
         false, nullptr},
        {"method 0 accepts any method", "Items", 6, "/a/hello%20world", "", true, "hello world"},
        {"simple stops at a slash", "Items", 2, "/a/b/c", "", false, nullptr},
        {"reserved takes slashes", "Files", 2, "/files/a/b/c", "", true, "a/b/c"},
        {"escapes and plus decode", "Items", 2, "/a/%41%2b+%4", "", true, "A+ 4"},
        {"custom method by name", "Mine", 8, "/mine", "SUBSCRIBE", true, nullptr},
        {"custom method compared byte for byte", "Mine", 8, "/mine", "subscribe", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        calls = 0;
        RequestBuilder builder(RequestMethod::None, c.path);
        builder.methodCode(c.method).customMethod(c.customMethod);
        Answer answer;
        call(c.function, builder, answer);
        EXPECT_EQ(calls, c.found ? 1 : 0);
        if (!c.found) {
            EXPECT_TRUE(answer.isError());
            EXPECT_EQ(answer.error(), "Invalid function");
            EXPECT_EQ(answer.status(), 404u);
        } else {
            EXPECT_FALSE(answer.isError()) << answer.error();
            if (c.x != nullptr) {
                EXPECT_EQ(seen.at(0).asString(), c.x);
            }
        }
    }
}

TEST_F(RouterTest, GathersArgumentsFromEverySource) {
    record("Get", "/items/{id}", RequestMethod::Get,
           {{"id", TypeKind::String},
            {"x", TypeKind::String},
            {"b", TypeKind::Bool},
            {"flag", TypeKind::Bool},
            {"maybe", TypeKind::Bool, ParameterLocation::Any, true},
            {"Token", TypeKind::String},
            {"list", TypeKind::Vector},
            {"obj", TypeKind::Struct},
            {"n", TypeKind::Int32}});
    const HostValue seven = [] {
        HostValue v{};
        setHostSigned(v, 7);
        return v;
    }();
    RequestBuilder builder(RequestMethod::Get, "/items/5?x=1&b&x=2&list.2=7&obj.a.b=%7b");
    builder.header("token", "secret").header("Token", "ignored").argument("n", seven);
    Answer answer;
    call("Get", builder, answer);
    ASSERT_FALSE(answer.isError()) << answer.error();
    ASSERT_EQ(seen.size(), 9u);
    // The pattern sees the query too: a Simple placeholder takes it whole (decoded).
    EXPECT_EQ(seen[0].asString(), "5?x=1&b&x=2&list.2=7&obj.a.b={");
    EXPECT_EQ(seen[1].asString(), "2");          // a repeated query name keeps its last value
    EXPECT_TRUE(seen[2].asBool());               // an empty text gives true for bool
    EXPECT_EQ(seen[3].kind(), ValueKind::Bool);  // unmentioned, not optional: false
    EXPECT_FALSE(seen[3].asBool(true));
    EXPECT_TRUE(seen[4].isEmpty());  // optional stays empty
    EXPECT_EQ(seen[5].asString(), "secret");
    ASSERT_EQ(seen[6].kind(), ValueKind::Collection);
    ASSERT_EQ(seen[6].size(), 3u);
    EXPECT_TRUE(seen[6].at(0).isEmpty());
    EXPECT_EQ(seen[6].at(2).asString(), "7");  // the last segment always becomes a string
    EXPECT_EQ(seen[7].find("a").find("b").asString(), "{");
    EXPECT_EQ(seen[8].asSigned(), 7);
}

TEST_F(RouterTest, ArgumentErrors) {
    record("F", "/f/{p}", RequestMethod::None,
           {{"p", TypeKind::String, ParameterLocation::Path},
            {"q", TypeKind::String, ParameterLocation::Query},
            {"n", TypeKind::Int32},
            {"list", TypeKind::Vector}});
    const std::string deep = [] {
        std::string name = "list";
        for (std::uint32_t i = 0; i <= kMaxNestingDepth; ++i) {
            name += ".x";
        }
        return name;
    }();
    const std::string chained = [] {
        std::string name = "list";
        for (int i = 0; i < 3; ++i) {
            name += ".40000";
        }
        return name;
    }();
    struct Case {
        const char* reason;
        std::string path;
        const char* message;
    };
    const Case cases[] = {
        {"unknown name", "/f/1?zz=1", "Unknown argument 'zz' for 'F'."},
        {"a trailing ampersand names the empty argument", "/f/1?q=1&",
         "Unknown argument '' for 'F'."},
        {"query into a path parameter", "/f/1?p=2",
         "Argument 'p' for 'F' was specified in an invalid location."},
        {"empty text for an integer", "/f/1?n", "Expected value for argument 'n'."},
        {"trailing characters after an index", "/f/1?list.1a=x",
         "Index 1a is in an incorrect format"},
        {"08 is not octal", "/f/1?list.08=x", "Index 08 is in an incorrect format"},
        {"above the per-index cap", "/f/1?list.65536=x", "Index 65536 is out of range"},
        {"above 2147483647", "/f/1?list.4294967296=x", "Index 4294967296 is out of range"},
        {"growth across levels is capped", "/f/1?" + chained + "=x", "Index 40000 is out of range"},
        {"nesting beyond the bound", "/f/1?" + deep + "=x",
         "Argument 'list' is nested deeper than 256 levels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        calls = 0;
        RequestBuilder builder(RequestMethod::Get, c.path);
        Answer answer;
        call("F", builder, answer);
        EXPECT_EQ(calls, 0);
        EXPECT_TRUE(answer.isError());
        EXPECT_EQ(answer.error(), c.message);
        EXPECT_EQ(answer.status(), 0u);
    }
}

TEST_F(RouterTest, IndexesTakeCsAutomaticBase) {
    // Literal routes compare the query too, so the path carries it in a placeholder.
    record("F", "/f/{p}", RequestMethod::None,
           {{"list", TypeKind::Vector}, {"p", TypeKind::String}});
    struct Case {
        const char* reason;
        const char* path;
        std::size_t size;
    };
    const Case cases[] = {
        {"decimal", "/f/?list.2=a", 3},         {"hexadecimal", "/f/?list.0x1=a", 2},
        {"octal", "/f/?list.010=a", 9},         {"zero", "/f/?list.0=a", 1},
        {"a member name", "/f/?list.abc=a", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        RequestBuilder builder(RequestMethod::Get, c.path);
        Answer answer;
        call("F", builder, answer);
        ASSERT_FALSE(answer.isError()) << answer.error();
        EXPECT_EQ(seen.at(0).size(), c.size);
    }
}

TEST_F(RouterTest, HostArgumentsByNameAndPosition) {
    record("F", "/f/{p}", RequestMethod::None,
           {{"p", TypeKind::String}, {"a", TypeKind::Int32}, {"b", TypeKind::Int32}});
    HostValue one{};
    setHostSigned(one, 1);
    {
        // An unnamed entry at position i selects parameter i plus the path parameter count.
        RequestBuilder builder(RequestMethod::Get, "/f/x");
        builder.argument(nullptr, one).argument(nullptr, one);
        Answer answer;
        call("F", builder, answer);
        ASSERT_FALSE(answer.isError()) << answer.error();
        EXPECT_EQ(seen[1].asSigned(), 1);
        EXPECT_EQ(seen[2].asSigned(), 1);
    }
    {
        RequestBuilder builder(RequestMethod::Get, "/f/x");
        builder.argument(nullptr, one).argument(nullptr, one).argument(nullptr, one);
        Answer answer;
        call("F", builder, answer);
        EXPECT_EQ(answer.error(), "Unknown argument '2' for 'F'.");
    }
    {
        HostValue bad{};
        bad.kind = static_cast<HostKind>(11);
        RequestBuilder builder(RequestMethod::Get, "/f/x");
        builder.argument("b", bad);
        Answer answer;
        call("F", builder, answer);
        EXPECT_EQ(answer.error(),
                  "Couldn't assign value to 'b' of type object because the input is of an "
                  "incompatible type ''.");
    }
}

TEST_F(RouterTest, BodiesByContentType) {
    record("Post", "/post", RequestMethod::None,
           {{"q", TypeKind::String}, {"data", TypeKind::Object, ParameterLocation::Body}});
    record("NoBody", "/nobody", RequestMethod::None, {{"q", TypeKind::String}});
    struct Case {
        const char* reason;
        const char* function;
        const char* path;
        const char* contentType;
        std::string body;
        const char* message;  // null: success
    };
    const Case cases[] = {
        {"no body parameter: ignored", "NoBody", "/nobody", "text/plain", "x", nullptr},
        {"unknown type", "Post", "/post", "text/plain", "x", "Unsupported body content type"},
        {"no content type", "Post", "/post", "", "x", "Unsupported body content type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        RequestBuilder builder(RequestMethod::Post, c.path);
        builder.body(c.contentType, c.body);
        Answer answer;
        call(c.function, builder, answer);
        EXPECT_EQ(answer.error(), c.message != nullptr ? c.message : "");
    }
    {
        // A null body is no body, whatever bodySize says.
        router.buildFunctionTable();
        RequestBuilder builder(RequestMethod::Post, "/post");
        builder.context(const_cast<DispatchContext*>(router.dispatchContextFor("Post")));
        HostRequest request = builder.build();
        request.contentType = "text/plain";
        request.bodySize = 100;
        Answer answer;
        handleFunctionRequest(&answer.response, &request);
        EXPECT_FALSE(answer.isError()) << answer.error();
    }
}

TEST_F(RouterTest, JsonBodiesAreReadWithinTheirSize) {
    if (!parseJson("1").ok()) {
        GTEST_SKIP() << "the JSON reader is not built yet";
    }
    record("Post", "/post", RequestMethod::None,
           {{"data", TypeKind::Object, ParameterLocation::Body}});
    // No NUL at the end: the copy ends at bodySize. A NUL inside ends the text there.
    const std::string text = "[1,2]";
    RequestBuilder builder(RequestMethod::Post, "/post");
    builder.body("APPLICATION/JSON; charset=utf-8", text + std::string("\0garbage", 8));
    Answer answer;
    call("Post", builder, answer);
    ASSERT_FALSE(answer.isError()) << answer.error();
    EXPECT_EQ(seen.at(0).size(), 2u);
}

TEST_F(RouterTest, NullTextsFromTheHost) {
    record("F", "/f", RequestMethod::None, {{"token", TypeKind::String}});
    record("Mine", "/mine", RequestMethod::Custom, {}).setCustomMethod("");
    router.buildFunctionTable();
    {
        RequestBuilder builder(RequestMethod::Get, "/f");
        builder.rawHeader(nullptr, "skipped").rawHeader("token", nullptr);
        builder.context(const_cast<DispatchContext*>(router.dispatchContextFor("F")));
        HostRequest request = builder.build();
        Answer answer;
        handleFunctionRequest(&answer.response, &request);
        // A null value reads as the empty text, which a string parameter refuses.
        EXPECT_EQ(answer.error(), "Expected value for argument 'token'.");
    }
    {
        RequestBuilder builder(RequestMethod::Get, "/f");
        builder.context(const_cast<DispatchContext*>(router.dispatchContextFor("F")));
        HostRequest request = builder.build();
        request.path = nullptr;
        Answer answer;
        handleFunctionRequest(&answer.response, &request);
        EXPECT_EQ(answer.error(), "Invalid function");
        EXPECT_EQ(answer.status(), 404u);
    }
    {
        RequestBuilder builder(RequestMethod::Custom, "/mine");
        builder.context(const_cast<DispatchContext*>(router.dispatchContextFor("Mine")));
        HostRequest request = builder.build();
        request.customMethod = nullptr;  // read as ""
        Answer answer;
        handleFunctionRequest(&answer.response, &request);
        EXPECT_FALSE(answer.isError()) << answer.error();
    }
    {
        Answer answer;
        handleFunctionRequest(&answer.response, nullptr);
        EXPECT_EQ(answer.error(), "Invalid function");
        RequestBuilder builder(RequestMethod::Get, "/f");  // no context at all
        const HostRequest request = builder.build();
        Answer other;
        handleFunctionRequest(&other.response, &request);
        EXPECT_EQ(other.error(), "Invalid function");
    }
}

TEST_F(RouterTest, ChoosesTheRouteWithTheShortestParameters) {
    const std::vector<FunctionBinding*> bindings = {
        &record("A", "/x/{p}", RequestMethod::None, {{"p", TypeKind::String}}),
        &record("B", "/x/a{p}", RequestMethod::None, {{"p", TypeKind::String}}),
        &record("C", "/x/abc", RequestMethod::None, {}),
        &record("F", "/x/{q}", RequestMethod::None, {{"q", TypeKind::String}}),
    };
    std::vector<Route> routes(bindings.size());
    for (std::size_t i = 0; i < bindings.size(); ++i) {
        ASSERT_TRUE(buildRoute(*bindings[i], routes[i]));
    }
    struct Case {
        const char* reason;
        const char* path;
        std::vector<int> order;
        const char* chosen;
    };
    const Case cases[] = {
        {"a strictly smaller total replaces", "/x/abc", {0, 1}, "B"},
        {"a larger total does not", "/x/abc", {1, 0}, "B"},
        {"a tie keeps the earlier", "/x/ab", {0, 3}, "A"},
        {"a tie keeps the earlier, other order", "/x/ab", {3, 0}, "F"},
        {"no parameters ends the search", "/x/abc", {2, 1}, "C"},
        {"no parameters replaces a longer total", "/x/abc", {0, 2, 1}, "C"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.reason);
        std::vector<Route> table;
        for (int i : k.order) {
            table.push_back(routes[static_cast<std::size_t>(i)]);
        }
        RouteMatch match;
        match.path = k.path;
        match.method = RequestMethod::Get;
        ASSERT_TRUE(matchRoutes(match, table));
        EXPECT_EQ(match.descriptor->name, k.chosen);
    }
}

}  // namespace
}  // namespace mox

namespace mox {
namespace {

class BodyTest : public RouterTest {
  protected:
    void SetUp() override {
        if (!parseJson("1").ok()) {
            GTEST_SKIP() << "the readers are not built yet";
        }
    }
};

TEST_F(BodyTest, BodiesAndArgumentTextsAreDecoded) {
    record("Post", "/post/{+rest}", RequestMethod::None,
           {{"data", TypeKind::Object, ParameterLocation::Body},
            {"s", TypeKind::Struct},
            {"text", TypeKind::String},
            {"m", TypeKind::Map},
            {"rest", TypeKind::String}});
    struct Case {
        const char* reason;
        const char* path;
        const char* contentType;
        std::string body;
        const char* message;  // null: success
        ValueKind dataKind;
        ValueKind sKind;
        ValueKind textKind;
    };
    const Case cases[] = {
        {"JSON body, prefix in capitals", "/post/x", "Application/JSON; charset=utf-8", "[1,2]",
         nullptr, ValueKind::Collection, ValueKind::Empty, ValueKind::Empty},
        {"JSON API body", "/post/x", "application/vnd.api+json", "{\"a\":1}", nullptr,
         ValueKind::Structure, ValueKind::Empty, ValueKind::Empty},
        {"YAML body", "/post/x", "application/x-yaml", "a: 1\n", nullptr, ValueKind::Structure,
         ValueKind::Empty, ValueKind::Empty},
        {"YAML is not text/x-yaml for bodies", "/post/x", "text/x-yaml", "a: 1\n",
         "Unsupported body content type", ValueKind::Empty, ValueKind::Empty, ValueKind::Empty},
        {"MessagePack body", "/post/x", "application/x-msgpack", "\x91\x01", nullptr,
         ValueKind::Collection, ValueKind::Empty, ValueKind::Empty},
        {"bytes after the MessagePack value", "/post/x", "application/x-msgpack-ext", "\x01\x02",
         "Extra MessgePack data found in body", ValueKind::Empty, ValueKind::Empty,
         ValueKind::Empty},
        {"a struct argument sniffs JSON, a string does not",
         "/post/x?s=%20%7B%22a%22:1%7D&text=%7B", "application/json", "1", nullptr,
         ValueKind::Unsigned, ValueKind::Structure, ValueKind::String},
        {"a struct argument sniffs YAML", "/post/x?s=---%0Aa:%201", "application/json", "1",
         nullptr, ValueKind::Unsigned, ValueKind::Structure, ValueKind::Empty},
        {"a map argument does not sniff", "/post/x?m=%7B", "application/json", "1", nullptr,
         ValueKind::Unsigned, ValueKind::Empty, ValueKind::Empty},
        {"bad JSON in an argument", "/post/x?s=%7B", "application/json", "1",
         "Couldn't deserialize JSON value for parameter 's' of 'Post': ", ValueKind::Empty,
         ValueKind::Empty, ValueKind::Empty},
        {"bad MessagePack in an argument", "/post/x?s=%DC", "application/json", "1",
         "Couldn't deserialize MessagePack value for parameter 's' of 'Post': ", ValueKind::Empty,
         ValueKind::Empty, ValueKind::Empty},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        seen.clear();
        RequestBuilder builder(RequestMethod::Post, c.path);
        builder.body(c.contentType, c.body);
        Answer answer;
        call("Post", builder, answer);
        if (c.message != nullptr) {
            EXPECT_EQ(answer.error().substr(0, std::strlen(c.message)), c.message);
            EXPECT_GT(answer.error().size(), 0u);
            continue;
        }
        ASSERT_FALSE(answer.isError()) << answer.error();
        EXPECT_EQ(seen.at(0).kind(), c.dataKind);
        EXPECT_EQ(seen.at(1).kind(), c.sKind);
        EXPECT_EQ(seen.at(2).kind(), c.textKind);
    }
}

}  // namespace
}  // namespace mox
