// toNative/toValue of registered records and of vectors, maps and optionals: required and
// omitted fields, nested failures, partial fills.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/converters.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox {
namespace {

enum class Mode : std::int32_t { Off = 0, On = 1 };

struct Inner {
    std::int32_t a = 0;
    std::string s = "default";
    std::optional<std::int32_t> o;
};

struct Outer {
    Inner inner;
    std::vector<Inner> list;
    std::unordered_map<std::string, Inner> byName;
    Value any;
    Mode mode = Mode::Off;
    std::vector<std::string> words;
};

struct Sparse {
    std::string text;
    std::uint32_t count = 0;
    double ratio = 0.0;
    bool flag = false;
    Mode mode = Mode::Off;
    std::vector<std::int32_t> numbers;
    Inner inner;
    std::optional<std::int32_t> maybe;
    std::uint32_t always = 0;
};

// A record that refers to itself through a vector, as the builder allows.
struct Node {
    std::vector<Node> kids;
};

class ConverterRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registry.beginEnum<Mode>("Mode").value("Off", Mode::Off).value("On", Mode::On).finish();
        ASSERT_EQ(registry.beginStruct<Inner>("Inner")
                      .field("a", &Inner::a, {.required = true})
                      .field("s", &Inner::s, {.omitIfEmpty = true})
                      .field("o", &Inner::o, {.omitIfEmpty = true})
                      .finish(),
                  TypeRegistrationStatus::Registered);
        ASSERT_EQ(registry.beginStruct<Outer>("Outer")
                      .field("inner", &Outer::inner)
                      .field("list", &Outer::list)
                      .field("byName", &Outer::byName)
                      .field("any", &Outer::any)
                      .field("mode", &Outer::mode)
                      .field("words", &Outer::words)
                      .finish(),
                  TypeRegistrationStatus::Registered);
        const FieldOptions omit{.omitIfEmpty = true};
        ASSERT_EQ(registry.beginStruct<Sparse>("Sparse")
                      .field("text", &Sparse::text, omit)
                      .field("count", &Sparse::count, omit)
                      .field("ratio", &Sparse::ratio, omit)
                      .field("flag", &Sparse::flag, omit)
                      .field("mode", &Sparse::mode, omit)
                      .field("numbers", &Sparse::numbers, omit)
                      .field("inner", &Sparse::inner, omit)
                      .field("maybe", &Sparse::maybe, omit)
                      .field("always", &Sparse::always)
                      .finish(),
                  TypeRegistrationStatus::Registered);
        ASSERT_EQ(registry.beginStruct<Node>("Node").field("kids", &Node::kids).finish(),
                  TypeRegistrationStatus::Registered);
    }

    template <class T>
    std::string fill(T& native, const Value& value) {
        const ValueResult result = toNativeRecord(native, value, "<value>", registry);
        return std::string(result.error());
    }

    TypeRegistry registry;
};

TEST_F(ConverterRecordTest, StructRules) {
    struct Row {
        const char* reason;
        void (*make)(Value&);
        const char* error;
    };
    const Row rows[] = {
        {"complete", [](Value& v) { v.member("inner").member("a").setSigned(3); }, ""},
        {"required field missing", [](Value& v) { v.member("inner").member("s").setString("x"); },
         "Couldn't assign value to 'inner' of type Inner because the input structure doesn't "
         "have required field 'a'."},
        {"an empty member counts as missing", [](Value& v) { v.member("inner").member("a"); },
         "Couldn't assign value to 'inner' of type Inner because the input structure doesn't "
         "have required field 'a'."},
        {"field not a structure", [](Value& v) { v.member("inner").setSigned(1); },
         "Couldn't assign value to 'inner' of type Inner because the input not a structure."},
        {"top level not a structure", [](Value& v) { v.setString("x"); },
         "Couldn't assign value to '<value>' of type Outer because the input not a structure."},
        {"top level empty", [](Value&) {}, "A value for '<value>' is required."},
        {"nested message is kept unchanged",
         [](Value& v) { v.member("inner").member("a").setString("zz"); },
         "Value zz for 'a' of type int32 is in an incorrect format"},
        {"unknown members are ignored", [](Value& v) { v.member("nope").setSigned(1); }, ""},
        {"enum field by name", [](Value& v) { v.member("mode").setString("On"); }, ""},
        {"vector not a collection", [](Value& v) { v.member("words").setString("a"); },
         "Couldn't assign value to 'words' of type vector because the input not a "
         "collection."},
        {"map not a structure", [](Value& v) { v.member("byName").makeCollection(); },
         "Couldn't assign value to 'byName' of type map because the input not a structure."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        Value value;
        row.make(value);
        Outer outer;
        EXPECT_EQ(fill(outer, value), row.error);
    }
}

TEST_F(ConverterRecordTest, MissingOptionalFieldsKeepTheirValues) {
    Value value;
    value.member("a").setSigned(9);
    value.member("s");  // empty: same as missing
    Inner inner;
    inner.s = "kept";
    inner.o = 4;
    ASSERT_EQ(fill(inner, value), "");
    EXPECT_EQ(inner.a, 9);
    EXPECT_EQ(inner.s, "kept");
    EXPECT_EQ(inner.o, 4);
}

TEST_F(ConverterRecordTest, UnregisteredStructure) {
    const Converter& converter = converterFor<Inner>();
    Value value;
    value.makeStructure();
    Inner inner;
    ValueResult result;
    converter.toNative(result, &inner, value, "x", nullptr, &registry, 0);
    EXPECT_EQ(result.error(),
              "Couldn't assign value to 'x' because the input is an unregistered structure or "
              "not a structure at all.");
    converter.toValue(result, &inner, nullptr, &registry);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error(),
              "Couldn't convert native value because it's an unregistered structure.");
}

TEST_F(ConverterRecordTest, VectorElements) {
    Value value;
    Value& list = value.member("list");
    list.append().member("a").setSigned(1);
    list.append().member("a").setSigned(2);
    list.append();  // empty: default element
    list.append().member("a").setSigned(4);
    Outer outer;
    outer.list.resize(9);
    ASSERT_EQ(fill(outer, value), "");
    ASSERT_EQ(outer.list.size(), 4u);
    EXPECT_EQ(outer.list[1].a, 2);
    EXPECT_EQ(outer.list[2].a, 0);
    EXPECT_EQ(outer.list[2].s, "default");
    EXPECT_EQ(outer.list[3].a, 4);

    // A failure in the second element: the first stays converted, the size is kept and the
    // inner message is reported unchanged.
    Value bad;
    Value& badList = bad.member("list");
    badList.append().member("a").setSigned(10);
    badList.append().member("a").setBool(true);
    badList.append().member("a").setSigned(30);
    Outer partial;
    EXPECT_EQ(fill(partial, bad),
              "Couldn't assign value to 'a' of type int32 because the input is of an invalid "
              "type bool.");
    ASSERT_EQ(partial.list.size(), 3u);
    EXPECT_EQ(partial.list[0].a, 10);
    EXPECT_EQ(partial.list[2].a, 0);

    // Vector elements are named by the vector itself.
    Value words;
    words.member("words").append().setSigned(1);
    Outer named;
    EXPECT_EQ(fill(named, words),
              "Couldn't assign value to 'words' because the input is not a string.");
}

TEST_F(ConverterRecordTest, MapEntries) {
    Value value;
    Value& byName = value.member("byName");
    byName.member("k1").member("a").setSigned(5);
    byName.member("k2");
    Outer outer;
    outer.byName["stale"].a = 1;
    ASSERT_EQ(fill(outer, value), "");
    ASSERT_EQ(outer.byName.size(), 1u);
    EXPECT_EQ(outer.byName.at("k1").a, 5);

    ValueResult back = toValueRecord(outer, registry);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back.value().find("byName").size(), 1u);
    EXPECT_EQ(back.value().find("byName").find("k1").find("a").asSigned(), 5);
}

TEST_F(ConverterRecordTest, OptionalNative) {
    std::optional<std::int32_t> optional = 3;
    const Value empty;
    ASSERT_TRUE(toNativeRecord(optional, empty, "o", registry).ok());
    EXPECT_FALSE(optional.has_value());
    Value number;
    number.setString("12");
    ASSERT_TRUE(toNativeRecord(optional, number, "o", registry).ok());
    EXPECT_EQ(optional, 12);
    Value wrong;
    wrong.setBool(true);
    EXPECT_FALSE(toNativeRecord(optional, wrong, "o", registry).ok());
    EXPECT_FALSE(optional.has_value());
}

TEST_F(ConverterRecordTest, OmitIfEmpty) {
    // Every omittable field empty or zero: only "always" is written.
    Sparse empty;
    empty.inner.s.clear();  // Inner.a is not omittable, so inner is written anyway
    ValueResult result = toValueRecord(empty, registry);
    ASSERT_TRUE(result.ok()) << result.error();
    std::vector<std::string> names;
    for (const auto member : result.value().members()) {
        names.emplace_back(member.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"always", "inner"}));
    EXPECT_EQ(result.value().find("inner").size(), 1u);  // "a" only; "s" and "o" omitted

    Sparse full;
    full.text = "t";
    full.count = 1;
    full.ratio = -0.0;  // negative zero is zero
    full.flag = true;
    full.mode = Mode::On;
    full.numbers = {0};
    full.maybe = 0;  // holds a value, but the value is zero
    result = toValueRecord(full, registry);
    ASSERT_TRUE(result.ok());
    names.clear();
    for (const auto member : result.value().members()) {
        names.emplace_back(member.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"always", "count", "flag", "inner", "mode",
                                               "numbers", "text"}));
}

TEST_F(ConverterRecordTest, RoundTrip) {
    Outer outer;
    outer.inner = {7, "seven", 8};
    outer.list = {{1, "", std::nullopt}, {2, "two", 3}};
    outer.byName["x"] = {4, "four", std::nullopt};
    outer.any.member("deep").append().setString("v");
    outer.mode = Mode::On;
    outer.words = {"a", "", "c"};

    ValueResult value = toValueRecord(outer, registry);
    ASSERT_TRUE(value.ok()) << value.error();
    EXPECT_EQ(value.value().find("mode").asEnum().number, 1);
    EXPECT_EQ(value.value().find("list").at(0).size(), 1u);  // empty "s" omitted

    Outer back;
    ASSERT_EQ(fill(back, value.value()), "");
    EXPECT_EQ(back.inner.a, 7);
    EXPECT_EQ(back.inner.s, "seven");
    EXPECT_EQ(back.inner.o, 8);
    ASSERT_EQ(back.list.size(), 2u);
    EXPECT_EQ(back.list[0].s, "default");  // omitted on the way out, default on the way in
    EXPECT_EQ(back.list[1].o, 3);
    EXPECT_EQ(back.byName.at("x").s, "four");
    EXPECT_EQ(back.any.find("deep").at(0).asString(), "v");
    EXPECT_EQ(back.mode, Mode::On);
    EXPECT_EQ(back.words, outer.words);
}

// Each Node level is two containers (its structure and its "kids" collection), so 128 levels
// reach the bound of 256 and 129 pass it. Deeper input stops at the bound instead of
// recursing, in both directions.
TEST_F(ConverterRecordTest, NestingStopsAtTheBound) {
    struct Row {
        const char* reason;
        std::size_t levels;
        bool ok;
    };
    const Row rows[] = {
        {"at the bound", 128, true},
        {"one level past the bound", 129, false},
        {"far past what a thread's stack would hold", 100000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        Value value;
        Value* level = &value;
        for (std::size_t i = 1; i < row.levels; ++i) {
            level = &level->member("kids").append();
        }
        level->member("kids").makeCollection();
        Node node;
        const ValueResult result = toNativeRecord(node, value, "<value>", registry);
        EXPECT_EQ(result.ok(), row.ok);
        if (!row.ok) {
            EXPECT_EQ(result.error(),
                      "Couldn't assign value to 'kids' because the input is nested more than 256 "
                      "levels deep.");
        }
    }

    // Natives deeper than a few thousand levels cannot even be destroyed by std::vector
    // without deep recursion, so the native side is tried to 5,000 levels.
    const Row nativeRows[] = {
        {"native at the bound", 128, true},
        {"native one level past the bound", 129, false},
        {"native deeper than the conversion's stack would hold", 5000, false},
    };
    for (const Row& row : nativeRows) {
        SCOPED_TRACE(row.reason);
        Node root;
        Node* level = &root;
        for (std::size_t i = 1; i < row.levels; ++i) {
            level = &level->kids.emplace_back();
        }
        const ValueResult result = toValueRecord(root, registry);
        EXPECT_EQ(result.ok(), row.ok);
        if (!row.ok) {
            EXPECT_EQ(result.error(),
                      "Couldn't convert native value because it is nested more than 256 levels "
                      "deep.");
        }
    }
}

// An "object" native may receive a value from inside itself: it must read the source before
// it lets go of what it held.
TEST_F(ConverterRecordTest, ObjectFromInsideItself) {
    Value native;
    native.member("a").member("b").setString("a text longer than a short-string buffer");
    native.member("c").setSigned(1);
    ASSERT_TRUE(toNativeRecord(native, native.find("a"), "<value>", registry).ok());
    Value expected;
    expected.member("b").setString("a text longer than a short-string buffer");
    EXPECT_TRUE(sameContent(native, expected));
}

}  // namespace
}  // namespace mox
