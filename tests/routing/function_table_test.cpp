#include "routing/function_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/builtin_types.h"
#include "binding/type_registry.h"
#include "routing/endpoint.h"
#include "routing/request_dispatch.h"
#include "tests/routing/routing_test_support.h"

namespace mox {
namespace {

using test::Answer;
using test::field;
using test::RequestBuilder;

TEST(FunctionBinding, SettersKeepTheirRules) {
    struct Case {
        const char* reason;
        const char* given;
        const char* stored;
    };
    const Case cases[] = {
        {"one trailing slash is dropped", "/a/b/", "/a/b"},
        {"only one", "/a//", "/a/"},
        {"a single slash stays", "/", "/"},
        {"two slashes become one", "//", "/"},
        {"empty stays empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        FunctionBinding binding;
        binding.setTemplate(c.given);
        EXPECT_EQ(binding.templateText, c.stored);
    }
    FunctionBinding binding;
    binding.setCustomMethod("WATCH");
    EXPECT_EQ(binding.method, 8u);
    binding.setMethod(2);
    EXPECT_EQ(binding.method, 2u);
    EXPECT_EQ(binding.customMethod, "");
    binding.setTemplate("/a/{b");
    EXPECT_FALSE(binding.templateValid);
}

class FunctionTableTest : public ::testing::Test {
  protected:
    FunctionTableTest() { setUpBuiltinTypes(registry); }

    TypeRegistry registry;
    FunctionRouter router{registry};
};

TEST_F(FunctionTableTest, EntriesChainsAndContexts) {
    router
        .bind(RequestMethod::Get, "/things/{id}", [](std::string, int, bool) { return 1; },
              {"id", "n", "b"})
        .location("id", ParameterLocation::Path);
    router.bindFunction("Plain", [] { return 1; }).customMethod("WATCH");
    // Registered but not bound: in the API description, not in the table.
    registry.registerFunction("Unbound", {});
    // Bound to a template that does not compile: left out.
    router.bind(RequestMethod::Get, "/broken/{x", [] { return 1; });
    // Bound, then unregistered: cannot be named, left out.
    const FunctionDescriptor* gone = router.bindFunction("Gone", [] { return 1; }).function();
    ASSERT_TRUE(registry.unregisterFunction(gone));

    const HostApiDescription& table = router.buildFunctionTable();
    ASSERT_EQ(field(table.functionCount), 2u);
    const std::vector<FunctionEntry>& entries = router.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(table.functions, &entries[0].description);
    EXPECT_EQ(entries[0].description.next, &entries[1].description);
    EXPECT_EQ(entries[1].description.next, nullptr);

    const FunctionEntry* things = nullptr;
    const FunctionEntry* plain = nullptr;
    for (const FunctionEntry& e : entries) {
        const std::string name = e.description.name;
        (name == "GetThingsById" ? things : plain) = &e;
    }
    ASSERT_NE(things, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_STREQ(plain->description.name, "Plain");
    EXPECT_EQ(field(things->handler), &handleFunctionRequest);
    EXPECT_STREQ(things->templateText, "/things/{id}");
    EXPECT_EQ(field(things->method), 2u);
    EXPECT_EQ(field(plain->method), 8u);
    EXPECT_STREQ(plain->customMethod, "WATCH");
    EXPECT_STREQ(things->customMethod, "");
    EXPECT_EQ(field(plain->locations), nullptr);
    EXPECT_EQ(field(things->stringLists), nullptr);
    EXPECT_EQ(field(things->stringListCount), 0u);
    std::vector<std::uint32_t> codes;
    for (const ParameterLocationNode* n = things->locations; n != nullptr; n = n->next) {
        codes.push_back(n->location);
    }
    EXPECT_EQ(codes, (std::vector<std::uint32_t>{2, 0, 0}));

    const auto* context = static_cast<const DispatchContext*>(things->description.dispatchContext);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->registry, &registry);
    EXPECT_EQ(context->binding, router.bindingFor(*registry.findFunction("GetThingsById")));

    // The types and events are the API description's; "Unbound" is described there only.
    EXPECT_GT(field(table.typeCount), 0u);
    EXPECT_NE(table.types, nullptr);

    // Rebuilding keeps every context where it was.
    router.buildFunctionTable();
    for (const FunctionEntry& e : router.entries()) {
        if (std::string(e.description.name) == "GetThingsById") {
            EXPECT_EQ(e.description.dispatchContext, context);
        }
    }
}

TEST_F(FunctionTableTest, CarriesFlagsStringListsAndOutOfRangeCodes) {
    FunctionBinding& binding =
        *router.bindFunction("F", [](int, int) { return 1; }, {"a", "b"}).binding();
    binding.flag = 9;
    binding.method = 42;
    binding.locations = {3, 99};
    binding.stringLists = {{"x", "y"}, {}};
    router.buildFunctionTable();
    ASSERT_EQ(router.entries().size(), 1u);
    const FunctionEntry& entry = router.entries()[0];
    EXPECT_EQ(field(entry.flag), 9);
    EXPECT_EQ(field(entry.method), 0u);
    ASSERT_NE(entry.locations, nullptr);
    EXPECT_EQ(field(entry.locations->location), 3u);
    EXPECT_EQ(field(entry.locations->next->location), 0u);
    ASSERT_EQ(field(entry.stringListCount), 2u);
    const StringListNode* first = entry.stringLists;
    ASSERT_EQ(field(first->count), 2u);
    EXPECT_STREQ(first->texts[1], "y");
    EXPECT_EQ(field(first->next->count), 0u);
    EXPECT_EQ(first->next->next, nullptr);
}

TEST_F(FunctionTableTest, ABrokenTemplateAnswersInvalidFunction) {
    EndpointBuilder broken = router.bind(RequestMethod::Get, "/broken/{x", [] { return 1; });
    ASSERT_TRUE(broken.active());
    DispatchContext context{&registry, broken.binding()};
    RequestBuilder builder(RequestMethod::Get, "/broken/{x");
    builder.context(&context);
    const HostRequest request = builder.build();
    Answer answer;
    handleFunctionRequest(&answer.response, &request);
    EXPECT_EQ(answer.error(), "Invalid function");
    EXPECT_EQ(answer.status(), 404u);
}

}  // namespace
}  // namespace mox
