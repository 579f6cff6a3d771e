#include "binding/api_description.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "binding/type_descriptor.h"
#include "binding/type_ref.h"
#include "support/packed_field.h"

namespace mox {
namespace {

using test::field;

// Walks a record list through its `next` links and checks that it visits the array in index
// order and ends with null; returns the number of records visited.
template <class Record>
std::size_t walk(const Record* first, std::uint32_t count) {
    std::size_t visited = 0;
    for (const Record* record = first; record != nullptr; record = record->next) {
        EXPECT_EQ(record, first + visited) << "link " << visited << " skips or reorders";
        if (++visited > count) {
            break;  // a cycle or a missing terminator
        }
    }
    EXPECT_EQ(visited, count);
    return visited;
}

FieldDescriptor makeField(const char* name, std::uint32_t offset, TypeRef type) {
    FieldDescriptor field;
    field.name = name;
    field.description = std::string("about ") + name;
    field.offset = offset;
    field.type = type;
    return field;
}

ArgumentDescriptor makeArgument(const char* name, TypeRef type, TypeRef hostType = {}) {
    ArgumentDescriptor argument;
    argument.name = name;
    argument.type = type;
    argument.hostType = hostType;
    return argument;
}

// A small API: a struct S with two fields, an enum E, functions of several shapes, two events.
class ApiDescriptionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        s.name = "S";
        s.size = 32;
        s.nameSpace = "ns";
        s.description = "A record.";
        s.tags = {"$builtin", "help"};
        s.fields.push_back(makeField("id", 0, {TypeKind::UInt32, TypeKind::None, nullptr}));
        s.fields.push_back(makeField("mode", 8, {TypeKind::Enum, TypeKind::None, &e}));
        s.fields.back().hostType = {TypeKind::String, TypeKind::None, nullptr};
        s.fields.back().optional = true;

        e.name = "E";
        e.size = 4;
        e.isEnum = true;
        e.enumerators["Zeta"] = EnumeratorDescriptor{1, "Zeta", "", &e};
        e.enumerators["Alpha"] = EnumeratorDescriptor{3, "Alpha", "", &e};
        e.enumerators["Mid"] = EnumeratorDescriptor{2, "Mid", "", &e};

        none.name = "NoArguments";
        none.description = "Takes nothing.";
        none.help = "Help text.";
        none.threadSafe = true;

        shaped.name = "Shaped";
        shaped.nameSpace = "net";
        shaped.tags = {"Plugins"};
        shaped.arguments.push_back(makeArgument("list", {TypeKind::Vector, TypeKind::Struct, &s}));
        shaped.arguments.push_back(
            makeArgument("text", {TypeKind::String, TypeKind::None, nullptr}));
        shaped.arguments.push_back(makeArgument("hidden", {TypeKind::Struct, TypeKind::None, &s},
                                                {TypeKind::Map, TypeKind::Int64, nullptr}));
        shaped.arguments.push_back(
            makeArgument("odd", {static_cast<TypeKind>(42), static_cast<TypeKind>(20), &s}));
        shaped.arguments.back().optional = true;
        shaped.result = {TypeKind::Struct, TypeKind::None, &s};

        async.name = "Later";
        async.async = true;
        async.result = {TypeKind::Object, TypeKind::None, nullptr};
        async.hostResult = {TypeKind::Struct, TypeKind::None, &s};

        changed.name = "OnChanged";
        changed.payload = {TypeKind::Struct, TypeKind::None, &s};
        changed.tags = {"vclient"};
        plain.name = "OnPlain";
        plain.payload = {TypeKind::String, TypeKind::None, nullptr};
    }

    const HostApiDescription& describe() {
        return description.describeApi({&none, &shaped, &async}, {&s, &e}, {&changed, &plain});
    }

    TypeDescriptor s, e;
    FunctionDescriptor none, shaped, async;
    EventDescriptor changed, plain;
    ApiDescription description;
};

TEST_F(ApiDescriptionTest, ArraysAreCountedAndLinkedInSnapshotOrder) {
    const HostApiDescription& api = describe();
    EXPECT_EQ(&api, &description.description());
    ASSERT_EQ(field(walk(api.functions, api.functionCount)), 3u);
    ASSERT_EQ(field(walk(api.types, api.typeCount)), 2u);
    ASSERT_EQ(field(walk(api.events, api.eventCount)), 2u);
    EXPECT_STREQ(api.functions[1].name, "Shaped");
    EXPECT_STREQ(api.types[1].name, "E");
    EXPECT_STREQ(api.events[1].name, "OnPlain");
    walk(api.functions[1].arguments, api.functions[1].argumentCount);
    walk(api.types[0].fields, api.types[0].count);
    walk(api.types[1].enumerators, api.types[1].count);
}

TEST_F(ApiDescriptionTest, FunctionRecords) {
    const HostApiDescription& api = describe();
    const HostFunctionRecord& noArgs = api.functions[0];
    EXPECT_EQ(field(noArgs.argumentCount), 0u);
    EXPECT_EQ(field(noArgs.arguments), nullptr);
    EXPECT_EQ(field(noArgs.reserved), nullptr);
    EXPECT_EQ(field(noArgs.dispatchContext), nullptr);
    EXPECT_EQ(field(noArgs.resultKind), 0u) << "no result";
    EXPECT_STREQ(noArgs.resultTypeName, "");
    EXPECT_EQ(field(noArgs.name), none.name.c_str()) << "texts point into the descriptor";
    EXPECT_EQ(field(noArgs.description), none.description.c_str());
    EXPECT_EQ(field(noArgs.help), none.help.c_str());
    EXPECT_EQ(field(noArgs.threadSafe), 1);
    EXPECT_STREQ(noArgs.async, "");
    EXPECT_EQ(field(noArgs.tags), nullptr);
    EXPECT_EQ(field(noArgs.tagCount), 0u);

    const HostFunctionRecord& withArgs = api.functions[1];
    EXPECT_EQ(field(withArgs.nameSpace), shaped.nameSpace.c_str());
    EXPECT_EQ(field(withArgs.resultKind), 17u);
    EXPECT_STREQ(withArgs.resultTypeName, "S");
    EXPECT_STREQ(withArgs.async, "") << "not asynchronous";
    ASSERT_EQ(field(withArgs.tagCount), 1u);
    EXPECT_EQ(field(withArgs.tags[0]), shaped.tags[0].c_str());

    const HostFunctionRecord& later = api.functions[2];
    EXPECT_EQ(field(later.resultKind), 17u) << "the host result replaces the object result";
    EXPECT_STREQ(later.resultTypeName, "S");
    EXPECT_EQ(field(later.async), s.name.c_str());
}

TEST_F(ApiDescriptionTest, ArgumentRecordsFollowTheTypeNameRule) {
    const HostApiDescription& api = describe();
    struct Case {
        const char* reason;
        std::uint32_t kind;
        std::uint32_t elementKind;
        const char* typeName;
        std::uint8_t optional;
    };
    const Case cases[] = {
        {"vector of struct S", 15, 17, "S", 0},
        {"string has no type name", 12, 0, "", 0},
        {"host type described instead; map without descriptor has no name", 19, 8, "", 0},
        {"kinds outside 1..19 are sent as 0, and so get no name", 0, 0, "", 1},
    };
    const HostArgumentRecord* argument = api.functions[1].arguments;
    ASSERT_EQ(field(api.functions[1].argumentCount), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i, ++argument) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(field(argument->name), shaped.arguments[i].name.c_str());
        EXPECT_EQ(field(argument->kind), c.kind);
        EXPECT_EQ(field(argument->elementKind), c.elementKind);
        ASSERT_NE(field(argument->typeName), nullptr);
        EXPECT_STREQ(argument->typeName, c.typeName);
        EXPECT_EQ(field(argument->optional), c.optional);
    }
}

TEST_F(ApiDescriptionTest, StructsHaveFieldsAndEnumsEnumeratorsInNameOrder) {
    const HostApiDescription& api = describe();
    const HostTypeRecord& record = api.types[0];
    EXPECT_EQ(field(record.name), s.name.c_str());
    EXPECT_EQ(field(record.nameSpace), s.nameSpace.c_str());
    EXPECT_EQ(field(record.nativeSize), 32u);
    EXPECT_EQ(field(record.description), s.description.c_str());
    ASSERT_EQ(field(record.tagCount), 2u);
    EXPECT_EQ(field(record.tags[1]), s.tags[1].c_str());
    ASSERT_NE(field(record.fields), nullptr);
    EXPECT_EQ(field(record.enumerators), nullptr);
    ASSERT_EQ(field(record.count), 2u);
    EXPECT_EQ(field(record.fields[0].name), s.fields[0].name.c_str());
    EXPECT_EQ(field(record.fields[0].description), s.fields[0].description.c_str());
    EXPECT_EQ(field(record.fields[0].kind), 7u);
    EXPECT_EQ(field(record.fields[1].offset), 8u);
    EXPECT_EQ(field(record.fields[1].kind), 12u) << "the host type (string) replaces the enum";
    EXPECT_STREQ(record.fields[1].typeName, "");
    EXPECT_EQ(field(record.fields[1].optional), 1);

    const HostTypeRecord& enumeration = api.types[1];
    EXPECT_EQ(field(enumeration.fields), nullptr);
    ASSERT_NE(field(enumeration.enumerators), nullptr);
    ASSERT_EQ(field(enumeration.count), 3u);
    EXPECT_EQ(field(enumeration.tags), nullptr);
    const char* names[] = {"Alpha", "Mid", "Zeta"};
    const std::int32_t numbers[] = {3, 2, 1};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_STREQ(enumeration.enumerators[i].name, names[i]);
        EXPECT_EQ(field(enumeration.enumerators[i].number), numbers[i]);
        EXPECT_EQ(field(enumeration.enumerators[i].name), e.enumerators.at(names[i]).name.c_str());
    }
}

TEST_F(ApiDescriptionTest, EventRecords) {
    const HostApiDescription& api = describe();
    EXPECT_STREQ(api.events[0].payloadTypeName, "S");
    ASSERT_EQ(field(api.events[0].tagCount), 1u);
    EXPECT_EQ(field(api.events[0].tags[0]), changed.tags[0].c_str());
    EXPECT_STREQ(api.events[1].payloadTypeName, "") << "a string payload has no type name";
}

TEST_F(ApiDescriptionTest, RebuildingReplacesTheRecordsAndEmptySnapshotsGiveNulls) {
    describe();
    const HostApiDescription& api = description.describeApi({}, {}, {});
    EXPECT_EQ(field(api.functions), nullptr);
    EXPECT_EQ(field(api.functionCount), 0u);
    EXPECT_EQ(field(api.types), nullptr);
    EXPECT_EQ(field(api.typeCount), 0u);
    EXPECT_EQ(field(api.events), nullptr);
    EXPECT_EQ(field(api.eventCount), 0u);

    const HostApiDescription& again =
        description.describeApi({&shaped, nullptr}, {nullptr, &e}, {});
    EXPECT_EQ(field(again.functionCount), 1u) << "null snapshot entries are skipped";
    EXPECT_EQ(field(again.typeCount), 1u);
    EXPECT_EQ(field(again.functions[0].next), nullptr);
}

TEST_F(ApiDescriptionTest, MovedDescriptionKeepsItsRecords) {
    const HostApiDescription& api = describe();
    const HostFunctionRecord* first = api.functions;
    ApiDescription moved = std::move(description);
    EXPECT_EQ(field(moved.description().functions), first);
    EXPECT_EQ(field(walk(moved.description().functions, 3)), 3u);
}

}  // namespace
}  // namespace mox
