#include "binding/host_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "binding/type_identity.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "plugin/entry/allocation.h"
#include "support/allocation_balance.h"
#include "support/packed_field.h"

namespace mox {
namespace {

using test::field;
using test::LayerBalance;

enum class HelpFormat : std::int32_t { Full = 1, Epytext = 2 };

const char* const kIncompatible =
    "Couldn't assign value to '<value>' of type object because the input is of an "
    "incompatible type ''.";

HostValue borrowedString(const char* text, std::uint32_t length) {
    HostValue value{};
    value.kind = HostKind::BorrowedString;
    value.payload.string.text = text;
    value.payload.string.length = length;
    return value;
}

HostValue signedValue(std::int64_t number) {
    HostValue value{};
    setHostSigned(value, number);
    return value;
}

std::string textOf(const HostValue& value) {
    return std::string(value.payload.string.text, value.payload.string.length);
}

TEST(HostValueToHost, EachKindBecomesItsHostKind) {
    static const std::uint8_t kBytes[] = {0, 1, 0, 255};
    struct Case {
        const char* reason;
        std::function<void(Value&)> build;
        HostKind kind;
        std::function<void(const HostValue&)> check;
    };
    const Case cases[] = {
        {"empty stays empty", [](Value&) {}, HostKind::Empty,
         [](const HostValue& h) { EXPECT_EQ(field(h.payload.array.values), nullptr); }},
        {"bool", [](Value& v) { v.setBool(true); }, HostKind::Bool,
         [](const HostValue& h) { EXPECT_EQ(field(h.payload.boolean), 1); }},
        {"signed keeps the sign", [](Value& v) { v.setSigned(-5); }, HostKind::Signed,
         [](const HostValue& h) { EXPECT_EQ(field(h.payload.signedValue), -5); }},
        {"unsigned keeps the top bit", [](Value& v) { v.setUnsigned(1ull << 63); },
         HostKind::Unsigned,
         [](const HostValue& h) { EXPECT_EQ(field(h.payload.unsignedValue), 1ull << 63); }},
        {"float", [](Value& v) { v.setFloat(1.5); }, HostKind::Float,
         [](const HostValue& h) { EXPECT_EQ(field(h.payload.floatValue), 1.5); }},
        {"string is an owned copy with its length", [](Value& v) { v.setString("probe"); },
         HostKind::OwnedString,
         [](const HostValue& h) {
             EXPECT_EQ(textOf(h), "probe");
             EXPECT_EQ(field(h.payload.string.text[5]), '\0');
         }},
        {"empty string still owns a NUL", [](Value& v) { v.setString(""); }, HostKind::OwnedString,
         [](const HostValue& h) {
             ASSERT_NE(field(h.payload.string.text), nullptr);
             EXPECT_STREQ(h.payload.string.text, "");
             EXPECT_EQ(field(h.payload.string.length), 0u);
         }},
        {"blob is an owned copy, NULs included", [](Value& v) { v.setBlob(kBytes, sizeof kBytes); },
         HostKind::OwnedBlob,
         [](const HostValue& h) {
             ASSERT_EQ(field(h.payload.blob.length), 4u);
             EXPECT_NE(field(h.payload.blob.bytes), kBytes);
             EXPECT_EQ(field(std::memcmp(h.payload.blob.bytes, kBytes, 4)), 0);
         }},
        {"enum without a registry is its number",
         [](Value& v) { v.setEnum(2, &staticTypeIdOf<HelpFormat>()); }, HostKind::Signed,
         [](const HostValue& h) { EXPECT_EQ(field(h.payload.signedValue), 2); }},
        {"collection keeps element order",
         [](Value& v) {
             v.append().setSigned(1);
             v.append().setString("two");
         },
         HostKind::Collection,
         [](const HostValue& h) {
             ASSERT_EQ(field(h.payload.array.count), 2u);
             EXPECT_EQ(field(h.payload.array.values[0].kind), HostKind::Signed);
             EXPECT_EQ(field(textOf(h.payload.array.values[1])), "two");
         }},
        {"empty collection has an array of zero entries", [](Value& v) { v.makeCollection(); },
         HostKind::Collection,
         [](const HostValue& h) { EXPECT_EQ(field(h.payload.array.count), 0u); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        LayerBalance balance;
        Value value;
        c.build(value);
        HostResult status{};
        HostValue out{};
        ASSERT_TRUE(toHost(status, out, value, nullptr));
        EXPECT_EQ(field(status.failed), 0);
        EXPECT_EQ(field(out.kind), c.kind);
        c.check(out);
        releaseHostValue(out);
        EXPECT_EQ(field(out.kind), HostKind::Empty);
        EXPECT_EQ(field(out.payload.array.values), nullptr);
        EXPECT_EQ(field(balance.liveBlocks()), 0);
    }
}

TEST(HostValueToHost, StructureMembersComeInNameOrderWithOwnedNames) {
    Value value;
    value.member("b").setSigned(2);
    value.member("a").setSigned(1);
    HostResult status{};
    HostValue out{};
    ASSERT_TRUE(toHost(status, out, value, nullptr));
    ASSERT_EQ(field(out.kind), HostKind::Structure);
    ASSERT_EQ(field(out.payload.structure.count), 2u);
    const HostMember* members = out.payload.structure.members;
    EXPECT_STREQ(members[0].name, "a");
    EXPECT_EQ(field(members[0].value.payload.signedValue), 1);
    EXPECT_STREQ(members[1].name, "b");
    EXPECT_EQ(field(members[1].value.payload.signedValue), 2);
    EXPECT_EQ(field(members[0].ownsName), 1);
    EXPECT_EQ(field(members[1].ownsName), 1);
    releaseHostValue(out);
}

TEST(HostValueToHost, EnumBecomesItsEnumeratorNameWhenTheRegistryKnowsIt) {
    TypeRegistry registry;
    ASSERT_EQ(field(registry.beginType(4, "HelpFormat", staticTypeIdOf<HelpFormat>(), true)
                        .addEnumerator("Full", 1, "")
                        .addEnumerator("Epytext", 2, "")
                        .finish()),
              TypeRegistrationStatus::Registered);
    struct Case {
        const char* reason;
        std::int32_t number;
        const TypeRegistry* registry;
        HostKind kind;
        const char* name;
    };
    const Case cases[] = {
        {"known enumerator with registry", 2, &registry, HostKind::OwnedString, "Epytext"},
        {"same value without registry", 2, nullptr, HostKind::Signed, nullptr},
        {"unknown number with registry", 3, &registry, HostKind::Signed, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Value value;
        value.setEnum(c.number, &staticTypeIdOf<HelpFormat>());
        HostResult status{};
        HostValue out{};
        ASSERT_TRUE(toHost(status, out, value, c.registry));
        EXPECT_EQ(field(out.kind), c.kind);
        if (c.name != nullptr) {
            EXPECT_STREQ(out.payload.string.text, c.name);
        } else {
            EXPECT_EQ(field(out.payload.signedValue), c.number);
        }
        releaseHostValue(out);
    }
}

TEST(HostValueToHost, ReleasesWhatTheTargetHeldBefore) {
    LayerBalance balance;
    HostValue out{};
    ASSERT_TRUE(setHostString(out, "previous"));
    Value value;
    value.setSigned(4);
    HostResult status{};
    ASSERT_TRUE(toHost(status, out, value, nullptr));
    EXPECT_EQ(field(out.kind), HostKind::Signed);
    EXPECT_EQ(field(balance.liveBlocks()), 0);
}

TEST(HostValueToHost, NestingBeyondTheLimitFailsAndLeavesAReleasableTree) {
    for (const std::uint32_t depth : {kMaxHostValueDepth, kMaxHostValueDepth + 1}) {
        SCOPED_TRACE(depth);
        LayerBalance balance;
        Value root;
        Value* inner = &root;
        for (std::uint32_t i = 0; i < depth; ++i) {
            inner = &inner->append();
        }
        inner->setString("leaf");
        HostResult status{};
        HostValue out{};
        const bool ok = toHost(status, out, root, nullptr);
        EXPECT_EQ(ok, depth <= kMaxHostValueDepth);
        EXPECT_EQ(field(status.failed), ok ? 0 : 1);
        if (!ok) {
            EXPECT_STREQ(status.error,
                         "Couldn't convert value to a host value because it is nested more "
                         "than 256 levels deep.");
        }
        EXPECT_EQ(field(out.kind), HostKind::Collection);
        releaseHostValue(out);
        releaseHostResult(status);
        EXPECT_EQ(field(balance.liveBlocks()), 0);
    }
}

// Hooks that refuse the allocation numbered `failAt` (counting from 0), or every one while
// `failAll` is set; the others go to the counting hooks.
struct FailingLayer {
    static inline std::size_t calls = 0;
    static inline std::size_t failAt = 0;
    static inline bool failAll = false;
    static inline AllocationHooks base;

    static bool refuse() { return failAll || calls++ == failAt; }
    static void* allocate(void* user, std::size_t size) {
        return refuse() ? nullptr : base.allocate(user, size);
    }
    static char* duplicate(void* user, const char* text) {
        return refuse() ? nullptr : base.duplicate(user, text);
    }
    static void* reallocate(void* user, void* block, std::size_t size) {
        return refuse() ? nullptr : base.reallocate(user, block, size);
    }
};

class HostValueOutOfMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        FailingLayer::base = countingAllocationHooks();
        FailingLayer::calls = 0;
        FailingLayer::failAt = std::numeric_limits<std::size_t>::max();
        FailingLayer::failAll = false;
        AllocationHooks hooks = FailingLayer::base;
        hooks.allocate = &FailingLayer::allocate;
        hooks.duplicate = &FailingLayer::duplicate;
        hooks.reallocate = &FailingLayer::reallocate;
        setAllocationHooks(hooks);
    }
    void TearDown() override { setAllocationHooks(FailingLayer::base); }
};

// Every point at which the layer can run dry leaves a value that releases cleanly and a
// failure that says so; enough memory converts the whole tree.
TEST_F(HostValueOutOfMemory, ToHostFailsCleanlyAtEveryAllocation) {
    Value value;
    value.member("name").setString("probe");
    value.member("data").setBlob("abc", 3);
    Value& list = value.member("list");
    list.append().setString("x");
    list.append().member("deep").setString("y");
    // Root array, 3 names, 2 texts, 1 blob, list array, "x", inner array, inner name, "y".
    const std::size_t needed = 11;
    for (std::size_t failAt = 0; failAt <= needed; ++failAt) {
        SCOPED_TRACE(failAt);
        LayerBalance balance;
        FailingLayer::calls = 0;
        FailingLayer::failAt = failAt;
        HostResult status{};
        HostValue out{};
        const bool ok = toHost(status, out, value, nullptr);
        EXPECT_EQ(ok, failAt == needed);
        EXPECT_EQ(field(status.failed), ok ? 0 : 1);
        if (!ok) {
            EXPECT_STREQ(status.error,
                         "Couldn't convert value to a host value because memory could not be "
                         "allocated.");
        }
        releaseHostValue(out);
        releaseHostResult(status);
        EXPECT_EQ(field(balance.liveBlocks()), 0);
    }
}

TEST_F(HostValueOutOfMemory, SettersReportFailureAndLeaveAnEmptyValue) {
    FailingLayer::failAll = true;
    HostValue value{};
    EXPECT_FALSE(setHostString(value, "text"));
    EXPECT_EQ(field(value.kind), HostKind::Empty);
    EXPECT_FALSE(setHostBlob(value, "ab", 2));
    EXPECT_EQ(field(value.kind), HostKind::Empty);
    EXPECT_EQ(setHostCollection(value, 3), nullptr);
    EXPECT_EQ(field(value.kind), HostKind::Empty);
    EXPECT_EQ(setHostStructure(value, 3), nullptr);
    EXPECT_EQ(field(value.kind), HostKind::Empty);
    HostResult result{};
    setHostError(result, "lost");
    EXPECT_EQ(field(result.failed), 1);
    EXPECT_EQ(field(result.error), nullptr);
}

TEST(HostValueFromHost, EachKindBecomesItsValue) {
    static const char kText[] = "abc\0def";
    static const std::uint8_t kBytes[] = {'a', 0, 'b', 0};
    struct Case {
        const char* reason;
        std::function<HostValue()> build;
        std::function<void(const Value&)> check;
    };
    const Case cases[] = {
        {"kind 0 resets the target", [] { return HostValue{}; },
         [](const Value& v) { EXPECT_TRUE(v.isEmpty()); }},
        {"any non-zero bool byte is true",
         [] {
             HostValue h{};
             h.kind = HostKind::Bool;
             h.payload.boolean = 7;
             return h;
         },
         [](const Value& v) {
             EXPECT_EQ(field(v.kind()), ValueKind::Bool);
             EXPECT_TRUE(v.asBool());
         }},
        {"signed", [] { return signedValue(-9); },
         [](const Value& v) { EXPECT_EQ(field(v.asSigned(0)), -9); }},
        {"unsigned",
         [] {
             HostValue h{};
             setHostUnsigned(h, ~0ull);
             return h;
         },
         [](const Value& v) { EXPECT_EQ(field(v.asUnsigned(0)), ~0ull); }},
        {"float",
         [] {
             HostValue h{};
             setHostFloat(h, -0.25);
             return h;
         },
         [](const Value& v) { EXPECT_EQ(field(v.asFloat(0)), -0.25); }},
        {"kind 5 is read up to its NUL whatever its length says",
         [] { return borrowedString(kText, 7); },
         [](const Value& v) { EXPECT_EQ(field(v.asString()), "abc"); }},
        {"kind 5 length shorter than the text is ignored too",
         [] { return borrowedString(kText, 1); },
         [](const Value& v) { EXPECT_EQ(field(v.asString()), "abc"); }},
        {"kind 6 owned text is read as well",
         [] {
             HostValue h{};
             EXPECT_TRUE(setHostString(h, "owned"));
             return h;
         },
         [](const Value& v) { EXPECT_EQ(field(v.asString()), "owned"); }},
        {"null text is mended to the empty string", [] { return borrowedString(nullptr, 12); },
         [](const Value& v) {
             EXPECT_EQ(field(v.kind()), ValueKind::String);
             EXPECT_EQ(field(v.size()), 0u);
         }},
        {"blob copies length bytes, NULs included",
         [] {
             HostValue h{};
             h.kind = HostKind::BorrowedBlob;
             h.payload.blob.bytes = kBytes;
             h.payload.blob.length = 4;
             return h;
         },
         [](const Value& v) {
             ASSERT_EQ(field(v.asBlob().size()), 4u);
             EXPECT_EQ(field(std::memcmp(v.asBlob().data(), kBytes, 4)), 0);
         }},
        {"null blob with a length is mended to an empty blob",
         [] {
             HostValue h{};
             h.kind = HostKind::OwnedBlob;
             h.payload.blob.length = 40;
             return h;
         },
         [](const Value& v) {
             EXPECT_EQ(field(v.kind()), ValueKind::Blob);
             EXPECT_EQ(field(v.size()), 0u);
         }},
        {"null array with a count is mended to an empty collection",
         [] {
             HostValue h{};
             h.kind = HostKind::Collection;
             h.payload.array.count = 5;
             return h;
         },
         [](const Value& v) {
             EXPECT_EQ(field(v.kind()), ValueKind::Collection);
             EXPECT_EQ(field(v.size()), 0u);
         }},
        {"null member array is mended to an empty structure",
         [] {
             HostValue h{};
             h.kind = HostKind::Structure;
             h.payload.structure.count = 5;
             return h;
         },
         [](const Value& v) {
             EXPECT_EQ(field(v.kind()), ValueKind::Structure);
             EXPECT_EQ(field(v.size()), 0u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        HostValue host = c.build();
        Value out;
        out.setString("stale");
        HostResult status{};
        ASSERT_TRUE(fromHost(status, out, host, "<value>"));
        EXPECT_EQ(field(status.failed), 0);
        c.check(out);
        releaseHostValue(host);
    }
}

TEST(HostValueFromHost, StructureMembersInArrayOrderWithRepeatsAndNullNames) {
    HostValue host{};
    HostMember* members = setHostStructure(host, 4);
    ASSERT_NE(members, nullptr);
    members[0].name = "b";  // borrowed names
    members[0].value = signedValue(1);
    members[1].name = "a";
    members[1].value = signedValue(2);
    members[2].name = "b";  // the repeat addresses b again: the later value wins
    members[2].value = signedValue(3);
    members[3].name = nullptr;  // mended to ""
    members[3].value = signedValue(4);
    Value out;
    out.member("stale").setBool(true);
    HostResult status{};
    ASSERT_TRUE(fromHost(status, out, host, "<value>"));
    EXPECT_EQ(field(out.size()), 3u);
    EXPECT_EQ(field(out.find("a").asSigned()), 2);
    EXPECT_EQ(field(out.find("b").asSigned()), 3);
    EXPECT_EQ(field(out.find("").asSigned()), 4);
    EXPECT_FALSE(out.contains("stale"));
    releaseHostValue(host);
}

TEST(HostValueFromHost, KindOutsideTheRangeFailsAndKeepsWhatWasConverted) {
    struct Case {
        const char* reason;
        HostKind badKind;
    };
    const Case cases[] = {
        {"first kind past the range", static_cast<HostKind>(11)},
        {"largest kind", static_cast<HostKind>(0xFFFFFFFFu)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        HostValue host{};
        HostValue* values = setHostCollection(host, 3);
        ASSERT_NE(values, nullptr);
        values[0] = signedValue(1);
        values[1].kind = c.badKind;
        values[2] = signedValue(3);
        Value out;
        HostResult status{};
        EXPECT_FALSE(fromHost(status, out, host, "<value>"));
        EXPECT_EQ(field(status.failed), 1);
        EXPECT_STREQ(status.error, kIncompatible);
        EXPECT_EQ(field(out.at(0).asSigned()), 1);
        EXPECT_TRUE(out.at(2).isEmpty()) << "the conversion stops at the first failure";
        releaseHostValue(host);  // frees nothing for the bad kind
        releaseHostResult(status);
    }
}

TEST(HostValueFromHost, StructuralLimitsFailInsteadOfRecursingOrReserving) {
    // A chain of one-element collections, built without recursion.
    auto chain = [](std::uint32_t depth) {
        HostValue leaf = signedValue(7);
        for (std::uint32_t i = 0; i < depth; ++i) {
            HostValue outer{};
            HostValue* values = setHostCollection(outer, 1);
            values[0] = leaf;
            leaf = outer;
        }
        return leaf;
    };
    HostValue one = signedValue(0);
    HostValue huge{};
    huge.kind = HostKind::Collection;
    huge.payload.array.values = &one;  // never read: the count is refused first
    huge.payload.array.count = kMaxHostArrayCount + 1;

    struct Case {
        const char* reason;
        HostValue host;
        bool owned;
        const char* error;
    };
    const Case cases[] = {
        {"nesting at the limit converts", chain(kMaxHostValueDepth), true, nullptr},
        {"one level deeper fails", chain(kMaxHostValueDepth + 1), true,
         "Couldn't assign value to '<value>' because the input is nested more than 256 levels "
         "deep."},
        {"count above the collection limit fails", huge, false,
         "Couldn't assign value to '<value>' because the input holds 268435456 entries, more "
         "than 268435455."},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.reason);
        Value out;
        HostResult status{};
        EXPECT_EQ(field(fromHost(status, out, c.host, "<value>")), c.error == nullptr);
        if (c.error != nullptr) {
            EXPECT_STREQ(status.error, c.error);
        }
        if (c.owned) {
            releaseHostValue(c.host);
        }
        releaseHostResult(status);
    }
}

TEST(HostValueRelease, FreesOwnedPartsOnlyAndEmptiesTheValue) {
    LayerBalance balance;
    HostValue value{};
    HostMember* members = setHostStructure(value, 3);
    ASSERT_NE(members, nullptr);
    members[0].name = "borrowed";  // ownsName 0: a literal that must not be freed
    ASSERT_TRUE(setHostString(members[0].value, "owned text"));
    ASSERT_TRUE(setHostMemberName(members[1], "owned"));
    members[1].value = borrowedString("borrowed text", 13);
    members[2].name = "list";
    HostValue* values = setHostCollection(members[2].value, 2);
    ASSERT_NE(values, nullptr);
    ASSERT_TRUE(setHostBlob(values[0], "xyz", 3));
    values[1].kind = static_cast<HostKind>(99);  // unknown kinds free nothing
    releaseHostValue(value);
    EXPECT_EQ(field(value.kind), HostKind::Empty);
    EXPECT_EQ(field(value.payload.structure.members), nullptr);
    EXPECT_EQ(field(value.payload.structure.count), 0u);
    EXPECT_EQ(field(balance.liveBlocks()), 0);
}

TEST(HostValueRelease, DeepTreesAreReleasedWithoutRecursion) {
    LayerBalance balance;
    // Alternating collections and structures, far deeper than any stack would allow.
    HostValue leaf{};
    ASSERT_TRUE(setHostString(leaf, "leaf"));
    for (int i = 0; i < 200000; ++i) {
        HostValue outer{};
        if (i % 2 == 0) {
            HostValue* values = setHostCollection(outer, 2);
            ASSERT_NE(values, nullptr);
            values[1] = leaf;  // the deep path is not the first entry
            values[0] = signedValue(i);
        } else {
            HostMember* members = setHostStructure(outer, 2);
            ASSERT_NE(members, nullptr);
            ASSERT_TRUE(setHostMemberName(members[0], "deep"));
            members[0].value = leaf;
            members[1].name = "plain";
        }
        leaf = outer;
    }
    releaseHostValue(leaf);
    EXPECT_EQ(field(leaf.kind), HostKind::Empty);
    EXPECT_EQ(field(balance.liveBlocks()), 0);
}

TEST(HostValueRelease, ResultAndErrorSetterFollowTheOwnershipRules) {
    LayerBalance balance;
    HostResult result{};
    ASSERT_TRUE(setHostString(result.value, "body"));
    setHostError(result, "Something failed.");
    EXPECT_EQ(field(result.value.kind), HostKind::Empty) << "setting an error releases the value";
    EXPECT_STREQ(result.error, "Something failed.");
    EXPECT_EQ(field(result.failed), 1);
    setHostError(result, "Second.");  // the earlier message is freed, not leaked
    EXPECT_STREQ(result.error, "Second.");
    releaseHostResult(result);
    EXPECT_EQ(field(result.error), nullptr);
    EXPECT_EQ(field(result.failed), 0);
    EXPECT_EQ(field(balance.liveBlocks()), 0);
}

// The new content of a setter may live inside its own target: the setter must copy it before
// it releases what the target held. Freed blocks are scribbled over, so reading one shows.
TEST(HostValueSetters, NewContentMayComeFromTheTargetItself) {
    struct Case {
        const char* reason;
        std::function<void()> run;
    };
    const Case cases[] = {
        {"string from its own text",
         [] {
             HostValue value{};
             ASSERT_TRUE(setHostString(value, "own text"));
             ASSERT_TRUE(setHostString(value, value.payload.string.text));
             EXPECT_EQ(textOf(value), "own text");
             releaseHostValue(value);
         }},
        {"string of a length from its own text",
         [] {
             HostValue value{};
             ASSERT_TRUE(setHostString(value, "own text"));
             ASSERT_TRUE(setHostString(value, value.payload.string.text, 3));
             EXPECT_EQ(textOf(value), "own");
             releaseHostValue(value);
         }},
        {"string from an element of its own array",
         [] {
             HostValue value{};
             HostValue* values = setHostCollection(value, 2);
             ASSERT_NE(values, nullptr);
             ASSERT_TRUE(setHostString(values[1], "inner text"));
             ASSERT_TRUE(setHostString(value, values[1].payload.string.text));
             EXPECT_EQ(textOf(value), "inner text");
             releaseHostValue(value);
         }},
        {"blob from its own bytes",
         [] {
             HostValue value{};
             ASSERT_TRUE(setHostBlob(value, "bytes", 5));
             ASSERT_TRUE(setHostBlob(value, value.payload.blob.bytes, 5));
             EXPECT_EQ(std::memcmp(value.payload.blob.bytes, "bytes", 5), 0);
             releaseHostValue(value);
         }},
        {"member name from its own name",
         [] {
             HostMember member{};
             ASSERT_TRUE(setHostMemberName(member, "own name"));
             ASSERT_TRUE(setHostMemberName(member, member.name));
             EXPECT_STREQ(member.name, "own name");
             releaseHostMember(member);
         }},
        {"error from its own error text",
         [] {
             HostResult result{};
             setHostError(result, "first failure");
             setHostError(result, result.error);
             EXPECT_STREQ(result.error, "first failure");
             releaseHostResult(result);
         }},
        {"error from a text in its own value",
         [] {
             HostResult result{};
             ASSERT_TRUE(setHostString(result.value, "message in the value"));
             setHostError(result, result.value.payload.string.text);
             EXPECT_STREQ(result.error, "message in the value");
             EXPECT_EQ(field(result.value.kind), HostKind::Empty);
             releaseHostResult(result);
         }},
    };
    const test::ScribbleFreedBlocks scribble;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        LayerBalance balance;
        c.run();
        EXPECT_EQ(field(balance.liveBlocks()), 0);
    }
}

TEST(HostValueRoundTrip, GenericToHostAndBackIsEqual) {
    TypeRegistry registry;
    (void)registry.beginType(4, "HelpFormat", staticTypeIdOf<HelpFormat>(), true)
        .addEnumerator("Full", 1, "")
        .finish();
    struct Case {
        const char* reason;
        std::function<void(Value&)> build;
        const TypeRegistry* registry;
        std::function<void(Value&)> expected;  // null: equal to the input
    };
    const Case cases[] = {
        {"nested tree of every plain kind",
         [](Value& v) {
             v.member("flag").setBool(false);
             v.member("n").setSigned(std::numeric_limits<std::int64_t>::min());
             v.member("u").setUnsigned(42);
             v.member("f").setFloat(3.25);
             v.member("s").setString("text");
             v.member("b").setBlob("\0\1", 2);
             v.member("none");
             Value& list = v.member("list");
             list.append().setString("x");
             list.append().makeStructure();
             list.append().makeCollection();
         },
         nullptr, nullptr},
        {"enum comes back as its name with a registry",
         [](Value& v) { v.append().setEnum(1, &staticTypeIdOf<HelpFormat>()); }, &registry,
         [](Value& v) { v.append().setString("Full"); }},
        {"enum comes back as a signed number without one",
         [](Value& v) { v.append().setEnum(1, &staticTypeIdOf<HelpFormat>()); }, nullptr,
         [](Value& v) { v.append().setSigned(1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        LayerBalance balance;
        Value input;
        c.build(input);
        Value expected;
        (c.expected ? c.expected : c.build)(expected);
        HostResult status{};
        HostValue host{};
        ASSERT_TRUE(toHost(status, host, input, c.registry));
        Value back;
        ASSERT_TRUE(fromHost(status, back, host, "<value>"));
        EXPECT_TRUE(sameContent(back, expected));
        releaseHostValue(host);
        EXPECT_EQ(field(balance.liveBlocks()), 0);
    }
}

TEST(HostValueKindName, PrintedNames) {
    struct Case {
        std::uint32_t kind;
        const char* name;
    };
    const Case cases[] = {{0, ""},          {1, "bool"},       {2, "signed"},     {3, "unsigned"},
                          {4, "float"},     {5, "string"},     {6, "string"},     {7, "blob"},
                          {8, "blob"},      {9, "collection"}, {10, "structure"}, {11, ""},
                          {0xFFFFFFFFu, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_STREQ(hostKindName(static_cast<HostKind>(c.kind)), c.name);
    }
}

}  // namespace
}  // namespace mox
