#include "binding/values/value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/static_type_id.h"
#include "binding/values/fnv1a.h"
#include "binding/values/value_context.h"
#include "binding/values/value_result.h"

namespace mox {
namespace {

std::vector<std::string> memberNames(const Value& value) {
    std::vector<std::string> names;
    for (auto [name, member] : value.members()) {
        names.emplace_back(name);
    }
    return names;
}

const StaticTypeId kColourType{0x1234ABCDu, "Colour"};

TEST(Value, IsSixteenBytesAndStartsAsAnEmptyRoot) {
    static_assert(sizeof(Value) == 16);
    Value value;
    EXPECT_TRUE(value.isEmpty());
    EXPECT_TRUE(value.ownsContext());
    EXPECT_EQ(value.context(), nullptr);
    EXPECT_EQ(value.size(), 0u);
}

TEST(Value, KindNames) {
    const struct {
        int number;
        const char* name;
    } cases[] = {{0, "empty"},      {1, "bool"},      {2, "signed"}, {3, "unsigned"},
                 {4, "float"},      {5, "string"},    {6, "blob"},   {7, "enum"},
                 {8, "collection"}, {9, "structure"}, {10, ""},      {255, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_STREQ(valueKindName(static_cast<ValueKind>(c.number)), c.name);
    }
}

// Every setter stores its kind; size() follows the kind's rule; a typed read returns the
// payload only for its own kind (no conversion), the caller's default otherwise.
TEST(Value, SettersSizesAndTypedReadsWithoutConversion) {
    const struct {
        const char* reason;
        void (*set)(Value&);
        ValueKind kind;
        std::size_t size;
    } cases[] = {
        {"bool counts as one", [](Value& v) { v.setBool(true); }, ValueKind::Bool, 1},
        {"signed, from int32 sign-extended", [](Value& v) { v.setSigned(std::int32_t{-5}); },
         ValueKind::Signed, 1},
        {"unsigned, from uint8 widened", [](Value& v) { v.setUnsigned(std::uint8_t{200}); },
         ValueKind::Unsigned, 1},
        {"float", [](Value& v) { v.setFloat(2.5); }, ValueKind::Float, 1},
        {"string size is its byte length", [](Value& v) { v.setString("abc"); }, ValueKind::String,
         3},
        {"blob size is its byte count",
         [](Value& v) {
             v.setBlob(ValueBytes{1, 2, 3, 4});
         },
         ValueKind::Blob, 4},
        {"enum counts as one", [](Value& v) { v.setEnum(3, &kColourType); }, ValueKind::Enum, 1},
        {"empty collection", [](Value& v) { v.makeCollection(); }, ValueKind::Collection, 0},
        {"structure size is its member count",
         [](Value& v) {
             v.member("x");
             v.member("y");
         },
         ValueKind::Structure, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        Value value;
        value.setString("something else first");  // every setter replaces what was there
        c.set(value);
        EXPECT_EQ(value.kind(), c.kind);
        EXPECT_EQ(value.size(), c.size);
        EXPECT_EQ(value.asBool(false), c.kind == ValueKind::Bool);
        EXPECT_EQ(value.asSigned(7), c.kind == ValueKind::Signed ? -5 : 7);
        EXPECT_EQ(value.asUnsigned(7), c.kind == ValueKind::Unsigned ? 200u : 7u);
        EXPECT_EQ(value.asFloat(7.0), c.kind == ValueKind::Float ? 2.5 : 7.0);
        EXPECT_EQ(value.asString("dflt"), c.kind == ValueKind::String ? "abc" : "dflt");
        EXPECT_EQ(value.asBlob().size(), c.kind == ValueKind::Blob ? 4u : 0u);
        const EnumValue fallback{-1, nullptr};
        const EnumValue expectedEnum =
            c.kind == ValueKind::Enum ? EnumValue{3, &kColourType} : fallback;
        EXPECT_EQ(value.asEnum(fallback), expectedEnum);
        value.reset();
        EXPECT_TRUE(value.isEmpty());
        EXPECT_EQ(value.size(), 0u);
    }
}

TEST(Value, ElementPastTheEndGrowsWithEmptyElements) {
    Value value;
    Value& fourth = value.element(3);
    ASSERT_EQ(value.kind(), ValueKind::Collection);
    ASSERT_EQ(value.size(), 4u);
    EXPECT_EQ(&fourth, &value.elements()[3]);
    for (const Value& element : value.elements()) {
        EXPECT_TRUE(element.isEmpty());
        EXPECT_FALSE(element.ownsContext());
        EXPECT_EQ(element.context(), value.context());
    }
    value.append().setSigned(9);
    EXPECT_EQ(value.size(), 5u);
    EXPECT_EQ(value.at(4).asSigned(), 9);
}

TEST(Value, ElementsSurviveGrowthInOrder) {
    Value value;
    for (int i = 0; i < 1000; ++i) {
        value.append().setSigned(i);
    }
    value.makeCollection();  // keeps the elements
    ASSERT_EQ(value.size(), 1000u);
    std::int64_t expected = 0;
    for (const Value& element : value.elements()) {
        EXPECT_EQ(element.asSigned(-1), expected++);
    }
}

TEST(Value, MembersIterateInByteWiseNameOrder) {
    Value value;
    value.member("b").setSigned(2);
    value.member("a").setSigned(1);
    EXPECT_EQ(memberNames(value), (std::vector<std::string>{"a", "b"}));

    // Unsigned bytes, then length: upper case before lower case, a prefix before its
    // extensions, bytes >= 0x80 last, the empty name first.
    Value mixed;
    for (const char* name : {"apple", "\xC3\xA9t\xC3\xA9", "ab", "Zebra", "a", ""}) {
        mixed.member(name);
    }
    EXPECT_EQ(memberNames(mixed),
              (std::vector<std::string>{"", "Zebra", "a", "ab", "apple", "\xC3\xA9t\xC3\xA9"}));
    EXPECT_EQ(&mixed.member("ab"), &mixed.find("ab"));  // an existing member is found again
    EXPECT_EQ(mixed.size(), 6u);

    // Names compared eight bytes at a time and, past 64 bytes, by memcmp: differences inside
    // and after the first word, bytes >= 0x80 in either place, prefixes across a word boundary.
    // std::string orders by unsigned bytes too (char_traits<char>).
    const std::string longName(70, 'n');
    std::vector<std::string> names = {"abcdefgh",
                                      "abcdefghi",
                                      "abcdefgh\xFF",
                                      "abcdefgZ",
                                      "abcdefg\x80",
                                      "abcdefgh\x01zz",
                                      "\x80"
                                      "bcdefghijk",
                                      longName,
                                      longName + "a",
                                      longName + "\xFF",
                                      longName.substr(1)};
    Value words;
    for (const std::string& name : names) {
        words.member(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(memberNames(words), names);
    for (const std::string& name : names) {
        EXPECT_TRUE(words.contains(name)) << name;
    }
}

TEST(Value, ManyMembersInRandomOrderStaySortedAndFindable) {
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) {
        names.push_back("member" + std::to_string(i * 7919 % 10007));
    }
    std::mt19937 random(42);
    std::shuffle(names.begin(), names.end(), random);
    Value value;
    for (std::size_t i = 0; i < names.size(); ++i) {
        value.member(names[i]).setUnsigned(i);
    }
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(memberNames(value), sorted);
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(value.find(names[i]).asUnsigned(99999), i) << names[i];
    }
    EXPECT_FALSE(value.contains("member"));
    EXPECT_TRUE(value.find("member").isEmpty());
}

TEST(Value, ReadOnlyAccessReturnsTheSharedEmptyValueAndChangesNothing) {
    Value text;
    text.setString("abc");
    Value list;
    list.makeCollection();
    Value record;
    record.member("present");
    const struct {
        const char* reason;
        const Value* result;
        const Value* subject;
        ValueKind kindAfter;
        std::size_t sizeAfter;
    } cases[] = {
        {"find on a string", &text.find("x"), &text, ValueKind::String, 3},
        {"at(0) on an empty collection", &list.at(0), &list, ValueKind::Collection, 0},
        {"at on a string", &text.at(0), &text, ValueKind::String, 3},
        {"find of a missing member", &record.find("absent"), &record, ValueKind::Structure, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(c.result, &Value::emptyValue());
        EXPECT_EQ(c.subject->kind(), c.kindAfter);
        EXPECT_EQ(c.subject->size(), c.sizeAfter);
    }
    EXPECT_TRUE(Value::emptyValue().isEmpty());
    EXPECT_TRUE(record.contains("present"));  // present though empty, unlike find()
    EXPECT_FALSE(text.contains("present"));
}

TEST(Value, MakeContainerKeepsItsOwnKindAndReplacesOthers) {
    Value value;
    value.append().setBool(true);
    value.makeCollection();
    EXPECT_EQ(value.size(), 1u);
    value.makeStructure();
    EXPECT_EQ(value.kind(), ValueKind::Structure);
    EXPECT_EQ(value.size(), 0u);
    value.member("k");
    value.makeStructure();
    EXPECT_EQ(value.size(), 1u);
    value.element(0);  // element() on a structure replaces it with a collection
    EXPECT_EQ(value.kind(), ValueKind::Collection);
    EXPECT_EQ(value.size(), 1u);
}

TEST(Value, LengthLimit) {
    Value list;
    list.makeCollection();
    EXPECT_THROW(list.element(kMaxValueLength), std::length_error);
    EXPECT_THROW(list.reserve(kMaxValueLength + 1), std::length_error);
    EXPECT_EQ(list.size(), 0u);
    list.reserve(100);  // room only: the size stays
    EXPECT_EQ(list.size(), 0u);
    Value text;
    text.setString("abc");
    text.reserve(kMaxValueLength + 1);  // not a collection: nothing happens
    EXPECT_EQ(text.asString(), "abc");
}

TEST(Value, EqualTextsShareOneCountedEntry) {
    Value root;
    root.member("first").setString("shared");
    root.member("second").setString(std::string("shared"));
    const InternedString* entry = root.find("first").asInterned();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry, root.find("second").asInterned());
    EXPECT_EQ(entry->refs, 2u);  // the member names hold references of their own entries
    const InternedStringTable& strings = root.context()->strings();
    EXPECT_EQ(strings.size(), 3u);  // "first", "second", "shared"

    // A member name and a string value with the same text share the entry too.
    root.member("shared");
    EXPECT_EQ(entry->refs, 3u);
    root.member("shared").setString("shared");
    EXPECT_EQ(entry->refs, 4u);
    root.member("shared").reset();
    EXPECT_EQ(entry->refs, 3u);

    root.member("first").reset();
    root.member("second").reset();
    EXPECT_EQ(entry->refs, 1u);  // only the name of member "shared" is left
    root.reset();
    EXPECT_EQ(strings.size(), 0u);
    EXPECT_EQ(strings.lookup("shared", fnv1a("shared")), nullptr);
}

TEST(Value, EmptyStringsUseTheSharedUncountedEntry) {
    Value value;
    value.setString("");
    EXPECT_EQ(value.asInterned(), &emptyInternedString());
    EXPECT_EQ(value.kind(), ValueKind::String);
    EXPECT_EQ(value.size(), 0u);
    EXPECT_EQ(value.context(), nullptr);  // nothing to store yet
    value.setString(static_cast<const char*>(nullptr));
    EXPECT_STREQ(value.asCString("x"), "");
    EXPECT_EQ(emptyInternedString().refs, 0u);
}

TEST(Value, SetStringFromItsOwnText) {
    Value value;
    value.setString("a text longer than the inline buffer of a string object");
    value.setString(value.asString());
    EXPECT_EQ(value.asString(), "a text longer than the inline buffer of a string object");
    EXPECT_EQ(value.asInterned()->refs, 1u);
    value.setString(value.asString().substr(2, 4));
    EXPECT_EQ(value.asString(), "text");
}

TEST(Value, BlobsAreTakenWithoutCopyOrCopied) {
    ValueBytes bytes(100, 0xAB);
    const std::uint8_t* data = bytes.data();
    Value moved;
    moved.setBlob(std::move(bytes));
    EXPECT_EQ(moved.asBlob().data(), data);
    EXPECT_EQ(moved.size(), 100u);

    const ValueBytes source{1, 2, 3};
    Value copied;
    copied.setBlob(source);
    EXPECT_NE(copied.asBlob().data(), source.data());
    EXPECT_TRUE(std::ranges::equal(copied.asBlob(), source));
    copied.setBlob(nullptr, 0);
    EXPECT_EQ(copied.kind(), ValueKind::Blob);
    EXPECT_EQ(copied.size(), 0u);
}

Value sampleTree() {
    Value root;
    root.member("name").setString("probe");
    root.member("count").setUnsigned(3);
    root.member("ratio").setFloat(0.5);
    root.member("flag").setBool(true);
    root.member("colour").setEnum(2, &kColourType);
    root.member("bytes").setBlob(ValueBytes{9, 8, 7});
    Value& list = root.member("list");
    for (int i = 0; i < 10; ++i) {
        Value& item = list.append();
        item.member("index").setSigned(-i);
        item.member("label").setString("item" + std::to_string(i % 3));
    }
    list.append();  // an empty element
    return root;
}

TEST(Value, AssignDeepCopiesIntoTheDestinationTree) {
    const Value source = sampleTree();
    Value target;
    target.member("old").setString("gone");
    target.assign(source);
    EXPECT_TRUE(sameContent(target, source));
    EXPECT_NE(target.context(), source.context());
    // Strings are interned again in the destination.
    EXPECT_NE(target.find("name").asInterned(), source.find("name").asInterned());
    EXPECT_EQ(target.find("list").at(0).find("label").asInterned(),
              target.find("list").at(3).find("label").asInterned());
    EXPECT_NE(target.find("bytes").asBlob().data(), source.find("bytes").asBlob().data());
    EXPECT_FALSE(target.contains("old"));

    // An element of another tree takes the copy into its own tree.
    Value holder;
    holder.element(2).assign(source);
    EXPECT_TRUE(sameContent(holder.at(2), source));
    EXPECT_EQ(holder.at(2).find("name").asInterned()->refs, 1u);

    // Copy construction and copy assignment are deep copies too.
    Value constructed(source);
    EXPECT_TRUE(sameContent(constructed, source));
    EXPECT_TRUE(constructed.ownsContext());
    Value assigned;
    assigned = source;
    EXPECT_TRUE(sameContent(assigned, source));
}

TEST(Value, AssignWithinOneTree) {
    Value value = sampleTree();
    const Value snapshot(value);

    value.assign(value);  // self-assignment: nothing happens
    EXPECT_TRUE(sameContent(value, snapshot));

    // A member copied next to itself shares the tree's entries.
    value.member("copy").assign(value.find("list"));
    EXPECT_TRUE(sameContent(value.find("copy"), snapshot.find("list")));
    EXPECT_EQ(value.find("copy").at(0).find("label").asInterned(),
              value.find("list").at(0).find("label").asInterned());

    // Replacing a value by one of its own descendants, and a descendant by its ancestor.
    Value list(snapshot.find("list"));
    list.assign(list.at(1));
    EXPECT_TRUE(sameContent(list, snapshot.find("list").at(1)));

    Value nested;
    nested.append().setSigned(1);
    nested.append().setSigned(2);
    nested.element(0).assign(nested);
    ASSERT_EQ(nested.size(), 2u);
    EXPECT_EQ(nested.at(0).size(), 2u);
    EXPECT_EQ(nested.at(0).at(1).asSigned(), 2);
}

TEST(Value, TakeSwapsRootsWithoutCopying) {
    Value source = sampleTree();
    ValueContext* context = source.context();
    const Value* name = &source.find("name");
    Value target;
    target.setString("old");
    target.take(source);
    EXPECT_EQ(target.context(), context);
    EXPECT_EQ(&target.find("name"), name);
    EXPECT_TRUE(source.isEmpty());
    EXPECT_TRUE(source.ownsContext());

    // The move constructor of a root takes the tree too.
    Value moved(std::move(target));
    EXPECT_EQ(moved.context(), context);
    EXPECT_EQ(&moved.find("name"), name);
    EXPECT_TRUE(target.isEmpty());

    moved.take(moved);  // nothing happens
    EXPECT_EQ(&moved.find("name"), name);
}

TEST(Value, TakeOfAnElementCopiesAndEmptiesIt) {
    Value tree = sampleTree();
    const Value expected(tree.find("list").at(4));
    Value root;
    root.take(tree.member("list").element(4));
    EXPECT_TRUE(sameContent(root, expected));
    EXPECT_NE(root.context(), tree.context());
    EXPECT_TRUE(tree.find("list").at(4).isEmpty());
    EXPECT_EQ(tree.find("list").size(), 11u);

    // Between members of one tree the storage changes hands.
    const Value* labelBefore = &tree.find("list").at(5).find("label");
    tree.member("moved").take(tree.member("list").element(5));
    EXPECT_EQ(&tree.find("moved").find("label"), labelBefore);
    EXPECT_TRUE(tree.find("list").at(5).isEmpty());

    // From a descendant into its ancestor.
    Value list(tree.find("list"));
    list.take(list.element(6));
    EXPECT_EQ(list.kind(), ValueKind::Structure);
    EXPECT_EQ(list.find("index").asSigned(), -6);

    // Move-assigning a root into an element copies the root's tree into the element's tree.
    Value other = sampleTree();
    tree.member("inner") = std::move(other);
    EXPECT_TRUE(other.isEmpty());
    EXPECT_EQ(tree.find("inner").find("name").asString(), "probe");
}

// Published FNV-1a 32-bit test vectors.
// Release walks a tree without recursion, so a tree built by code may be of any depth. A
// million levels would need tens of megabytes of stack if each level took a call frame.
TEST(Value, ReleaseOfAnyDepthNeedsNoRecursion) {
    constexpr std::size_t kLevels = 1000000;
    // Alternating structures and collections; each level also holds a string and a scalar
    // beside the deep path, and the bottom holds a blob, so that the root's destruction must
    // walk the tree too (blob storage lives outside the pool).
    const auto build = [](Value& root) {
        Value* level = &root;
        for (std::size_t i = 0; i < kLevels; ++i) {
            if (i % 2 == 0) {
                level->member("a").setString("beside the deep path");
                level->member("z").setSigned(static_cast<std::int64_t>(i));
                level = &level->member("m");
            } else {
                level->append().setString("first");
                level = &level->append();
            }
        }
        level->setBlob("bytes", 5);
    };
    struct Case {
        const char* reason;
        void (*release)(Value&);
    };
    const Case cases[] = {
        {"reset", [](Value& v) { v.reset(); }},
        {"a setter", [](Value& v) { v.setSigned(1); }},
        {"a scalar assigned over it", [](Value& v) { v.assign(Value()); }},
        {"the root's destruction", [](Value& v) { Value gone(std::move(v)); }},
        {"a failure reported into a result that holds it",
         [](Value& v) {
             ValueResult result(std::move(v));
             result.fail("replaced");
             EXPECT_EQ(result.error(), "replaced");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Value root;
        build(root);
        c.release(root);
        if (root.context() != nullptr) {
            EXPECT_EQ(root.context()->strings().size(), 0u);
            EXPECT_EQ(root.context()->blobsInUse(), 0u);
            EXPECT_EQ(root.context()->pool().pagesInUse(), 0u);
        }
    }
}

TEST(Fnv1a, KnownVectorsAgreeAcrossTheEntryPoints) {
    const struct {
        const char* text;
        std::uint32_t hash;
    } cases[] = {{"", 0x811c9dc5u}, {"a", 0xe40c292cu}, {"foobar", 0xbf9cf968u}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(fnv1a(c.text), c.hash);
        EXPECT_EQ(fnv1a(std::string_view(c.text)), c.hash);
        EXPECT_EQ(fnv1aBytes(c.text, std::char_traits<char>::length(c.text)), c.hash);
        EXPECT_EQ(fnv1aAppend(fnv1a(std::string_view(c.text).substr(0, 1)),
                              std::string_view(c.text).substr(c.text[0] == 0 ? 0 : 1)),
                  c.hash);
    }
    static_assert(fnv1a("a") == 0xe40c292cu);
    EXPECT_EQ(fnv1a(static_cast<const char*>(nullptr)), kFnv1aOffsetBasis);
    // A view hashes embedded NUL bytes; the NUL-terminated form stops at the first.
    EXPECT_NE(fnv1a(std::string_view("a\0b", 3)), fnv1a("a\0b"));
}

}  // namespace
}  // namespace mox

namespace mox {
namespace {

TEST(ValueSameContent, ComparesKindsPayloadsAndMembersAcrossTrees) {
    struct Case {
        const char* reason;
        void (*makeA)(Value&);
        void (*makeB)(Value&);
        bool same;
    };
    const Case cases[] = {
        {"empty values", [](Value&) {}, [](Value&) {}, true},
        {"NaN equals itself", [](Value& v) { v.setFloat(std::nan("")); },
         [](Value& v) { v.setFloat(std::nan("")); }, true},
        {"0.0 and -0.0 differ bit for bit", [](Value& v) { v.setFloat(0.0); },
         [](Value& v) { v.setFloat(-0.0); }, false},
        {"signed and unsigned 1 differ in kind", [](Value& v) { v.setSigned(1); },
         [](Value& v) { v.setUnsigned(1); }, false},
        {"same enum number, other type", [](Value& v) { v.setEnum(2, &kColourType); },
         [](Value& v) {
             static const StaticTypeId other{0x0BADF00Du, nullptr};
             v.setEnum(2, &other);
         },
         false},
        {"same members inserted in other order",
         [](Value& v) {
             v.member("a").setSigned(1);
             v.member("b").setString("x");
         },
         [](Value& v) {
             v.member("b").setString("x");
             v.member("a").setSigned(1);
         },
         true},
        {"member name differs", [](Value& v) { v.member("a").setSigned(1); },
         [](Value& v) { v.member("c").setSigned(1); }, false},
        {"nested element differs", [](Value& v) { v.element(1).member("k").setBlob("ab", 2); },
         [](Value& v) { v.element(1).member("k").setBlob("ac", 2); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Value a;
        Value b;
        c.makeA(a);
        c.makeB(b);
        EXPECT_EQ(sameContent(a, b), c.same);
        EXPECT_EQ(sameContent(b, a), c.same);
    }
}

}  // namespace
}  // namespace mox
