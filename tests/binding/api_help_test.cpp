// API help: escaping, epytext type names, exact epytext texts, Full records and ordering.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/api_help.h"
#include "binding/builtin_types.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"

namespace mox {
namespace {

enum class Letters : std::int32_t { B = 2, A = 5 };

struct Probe {
    std::uint16_t port = 0;
    std::vector<std::string> names;
};

TEST(ApiHelpTest, EscapeEpytext) {
    struct Row {
        const char* input;
        const char* expected;
    };
    const Row rows[] = {
        {"-x {y}", "E{-}x E{lb}yE{rb}"},
        {"a-b", "a-b"},  // only a leading minus is escaped
        {"--", "E{-}-"},
        {"", ""},
        {"}{", "E{rb}E{lb}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(escapeEpytext(row.input), row.expected);
    }
}

TEST(ApiHelpTest, EpytextTypeNames) {
    TypeRegistry registry;
    registry.beginStruct<Probe>("S").finish();
    const TypeDescriptor* s = registry.findTypeByName("S");
    struct Row {
        const char* reason;
        TypeRef ref;
        const char* expected;
    };
    const Row rows[] = {
        {"vector of struct", {TypeKind::Vector, TypeKind::Struct, s}, "list[L{S}]"},
        {"map of double", {TypeKind::Map, TypeKind::Double, nullptr}, "dict[double]"},
        {"blob", {TypeKind::Blob, TypeKind::None, nullptr}, "bytearray"},
        {"callback", {TypeKind::Callback, TypeKind::None, nullptr}, "callback"},
        {"struct", {TypeKind::Struct, TypeKind::None, s}, "L{S}"},
        {"object", {TypeKind::Object, TypeKind::None, nullptr}, "object"},
        {"uint64", {TypeKind::UInt64, TypeKind::None, nullptr}, "uint64"},
        {"no type", {TypeKind::None, TypeKind::None, nullptr}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(epytextTypeName(row.ref), row.expected);
    }
}

TEST(ApiHelpTest, FunctionEpytext) {
    FunctionDescriptor plain;
    plain.name = "plain";
    plain.arguments.resize(1);
    plain.arguments[0].name = "a";
    plain.arguments[0].type = {TypeKind::Int32, TypeKind::None, nullptr};
    plain.result = {TypeKind::String, TypeKind::None, nullptr};
    EXPECT_EQ(functionEpytext(plain), "@type a: int32\r\n@rtype: string\r\n");

    FunctionDescriptor full;
    full.name = "full";
    full.description = "-Does {things}";
    full.help = "More.";
    full.arguments.resize(2);
    full.arguments[0].name = "first";
    full.arguments[0].description = "The first";
    full.arguments[0].optional = true;
    full.arguments[0].type = {TypeKind::Map, TypeKind::Double, nullptr};
    full.arguments[1].name = "second";
    full.arguments[1].type = {TypeKind::Bool, TypeKind::None, nullptr};
    full.result = {TypeKind::Blob, TypeKind::None, nullptr};
    full.tags = {"x", "y"};
    full.threadSafe = true;
    full.async = true;
    EXPECT_EQ(functionEpytext(full),
              "E{-}Does E{lb}thingsE{rb}\r\n\r\n"
              "More.\r\n\r\n"
              "@param first: (optional) The first\r\n"
              "@type first: dict[double]\r\n"
              "@type second: bool\r\n"
              "@rtype: bytearray\r\n"
              "@tags: x,y\r\n"
              "@threadsafe: true\r\n"
              "@async: bytearray\r\n");
}

TEST(ApiHelpTest, TypeAndEventEpytext) {
    TypeRegistry registry;
    registry.beginEnum<Letters>("Letters")
        .value("A", Letters::A, "the {a}")
        .value("B", Letters::B)
        .description("Two letters.")
        .tag("t1")
        .tag("t2")
        .finish();
    registry.beginStruct<Probe>("Probe")
        .field("port", &Probe::port, "-Port {raw}")
        .field("names", &Probe::names)
        .finish();
    // Enumerators by number; descriptions of enumerators and fields are not escaped.
    EXPECT_EQ(typeEpytext(*registry.findTypeByName("Letters")),
              "Two letters.\r\n\r\n"
              "@cvar B: (2)\r\n"
              "@cvar A: (5) the {a}\r\n"
              "@tags: t1,t2\r\n"
              "@size: 4\r\n");
    EXPECT_EQ(typeEpytext(*registry.findTypeByName("Probe")),
              "@ivar port: -Port {raw}\r\n"
              "@type port: uint16\r\n"
              "@ivar names: \r\n"
              "@type names: list[string]\r\n");

    EventDescriptor event;
    event.name = "OnThing";
    EXPECT_EQ(eventEpytext(event), "\r\n\r\n");  // the paragraph is written even when empty
    event.description = "{x}";
    event.tags = {"$builtin"};
    EXPECT_EQ(eventEpytext(event), "E{lb}xE{rb}\r\n\r\n@tags: $builtin\r\n");
}

class ApiHelpRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registerHelpTypes(registry);
        registry.beginEnum<Letters>("Letters")
            .value("A", Letters::A)
            .value("B", Letters::B)
            .finish();
        registry.beginStruct<Probe>("Probe")
            .field("port", &Probe::port, {.description = "Port", .optional = true})
            .field("names", &Probe::names)
            .finish();
        FunctionDescriptor* run = registry.registerFunction("run", {});
        run->result = {TypeKind::Struct, TypeKind::None, registry.findTypeByName("Probe")};
        run->async = true;
        run->tags = {"net"};
        std::vector<ArgumentDescriptor> arguments(1);
        arguments[0].name = "count";
        arguments[0].type = {TypeKind::UInt8, TypeKind::None, nullptr};
        registry.registerFunction("Alpha", std::move(arguments));
        EventDescriptor* event = registry.registerEvent(
            "OnProbe", {TypeKind::Struct, TypeKind::None, registry.findTypeByName("Probe")});
        event->description = "Probe done.";
    }
    TypeRegistry registry;
};

TEST_F(ApiHelpRegistryTest, FullRecords) {
    Value help;
    apiHelp(help, registry, BindingHelpFormat::Full);
    ASSERT_EQ(help.size(), 3u);

    // Functions sorted byte-wise: upper case before lower case.
    const Value& functions = help.find("functions");
    ASSERT_EQ(functions.size(), 2u);
    EXPECT_EQ(functions.at(0).find("name").asString(), "Alpha");
    const Value& alphaArgument = functions.at(0).find("arguments").at(0);
    EXPECT_EQ(alphaArgument.find("name").asString(), "count");
    EXPECT_EQ(alphaArgument.find("type").find("type").asString(), "uint8");
    EXPECT_EQ(alphaArgument.find("optional").kind(), ValueKind::Bool);
    const Value& run = functions.at(1);
    EXPECT_EQ(run.find("name").asString(), "run");
    EXPECT_EQ(run.find("async").asString(), "Probe");
    EXPECT_EQ(run.find("returns").find("type").asString(), "Probe");
    EXPECT_EQ(run.find("returns").find("elementType").asString(), "");
    EXPECT_EQ(run.find("tags").at(0).asString(), "net");
    EXPECT_EQ(run.find("arguments").kind(), ValueKind::Collection);

    const Value& types = help.find("types");
    const Value* letters = nullptr;
    const Value* probe = nullptr;
    std::string previous;
    for (const Value& type : types.elements()) {
        const std::string name(type.find("name").asString());
        EXPECT_LT(previous, name);
        previous = name;
        if (name == "Letters") {
            letters = &type;
        } else if (name == "Probe") {
            probe = &type;
        }
    }
    ASSERT_NE(letters, nullptr);
    ASSERT_NE(probe, nullptr);
    // Enum values by name (A before B); an enum has an empty field list, a struct an empty
    // value list.
    EXPECT_EQ(letters->find("values").at(0).find("name").asString(), "A");
    EXPECT_EQ(letters->find("values").at(0).find("value").asSigned(), 5);
    EXPECT_EQ(letters->find("values").at(1).find("name").asString(), "B");
    EXPECT_EQ(letters->find("fields").kind(), ValueKind::Collection);
    EXPECT_EQ(letters->find("fields").size(), 0u);
    EXPECT_EQ(letters->find("size").asUnsigned(), 4u);
    EXPECT_EQ(probe->find("values").size(), 0u);
    const Value& port = probe->find("fields").at(0);
    EXPECT_EQ(port.find("description").asString(), "Port");
    EXPECT_EQ(port.find("offset").asUnsigned(), offsetof(Probe, port));
    EXPECT_EQ(port.find("optional").asBool(), true);
    const Value& names = probe->find("fields").at(1);
    EXPECT_EQ(names.find("type").find("type").asString(), "vector");
    EXPECT_EQ(names.find("type").find("elementType").asString(), "string");

    const Value& event = help.find("events").at(0);
    EXPECT_EQ(event.find("name").asString(), "OnProbe");
    EXPECT_EQ(event.find("type").find("type").asString(), "Probe");
    EXPECT_EQ(event.find("description").asString(), "Probe done.");
}

TEST_F(ApiHelpRegistryTest, EpytextAndOtherFormats) {
    Value help;
    apiHelp(help, registry, BindingHelpFormat::Epytext);
    EXPECT_EQ(help.find("functions").find("Alpha").asString(), "@type count: uint8\r\n");
    EXPECT_EQ(help.find("functions").find("run").asString(),
              "@rtype: L{Probe}\r\n@tags: net\r\n@async: L{Probe}\r\n");
    EXPECT_EQ(help.find("events").find("OnProbe").asString(), "Probe done.\r\n\r\n");
    EXPECT_EQ(help.find("types").find("Letters").asString(),
              "@cvar B: (2)\r\n@cvar A: (5)\r\n@size: 4\r\n");

    Value other;
    apiHelp(other, registry, static_cast<BindingHelpFormat>(3));
    ASSERT_EQ(other.size(), 3u);
    for (const auto member : other.members()) {
        SCOPED_TRACE(std::string(member.name));
        EXPECT_TRUE(member.value.isEmpty());
    }
}

TEST(ApiHelpUnregisteredTest, FullElementStaysEmptyWithoutHelpTypes) {
    TypeRegistry registry;
    registry.beginStruct<Probe>("Probe").finish();
    Value help;
    apiHelp(help, registry, BindingHelpFormat::Full);
    ASSERT_EQ(help.find("types").size(), 1u);
    EXPECT_TRUE(help.find("types").at(0).isEmpty());
}

}  // namespace
}  // namespace mox
