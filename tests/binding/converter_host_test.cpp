// The direct host form of native values (`Converter::toHostDirect`) against the generic path
// it replaces (`toValue`, then `toHost`): the same records, kinds, lengths, member order and
// name ownership, and no direct form where the generic path fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/converters.h"
#include "binding/host_value.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox {
namespace {

enum class Tone : std::int32_t { Low = 0, High = 7 };

struct Leaf {
    std::string server;
    std::uint16_t size = 0;
    std::optional<double> latency;
    Tone tone = Tone::Low;
};

struct Tree {
    // Declared out of name order on purpose: the host form lists members by name.
    std::vector<Leaf> results;
    std::string timestamp;
    std::unordered_map<std::string, Leaf> byName;
    std::optional<std::int64_t> absent;
    bool flag = false;
    float ratio = 0.0f;
    Value any;
    std::string skipped;
};

struct Chain {
    std::vector<Chain> next;
};

// Byte-level equality of two host trees, naming the first difference.
std::string differs(const HostValue& a, const HostValue& b) {
    if (a.kind != b.kind) {
        return "kind " + std::to_string(static_cast<std::uint32_t>(a.kind)) + " vs " +
               std::to_string(static_cast<std::uint32_t>(b.kind));
    }
    switch (a.kind) {
        case HostKind::BorrowedString:
        case HostKind::OwnedString:
            if (a.payload.string.length != b.payload.string.length ||
                std::strcmp(a.payload.string.text, b.payload.string.text) != 0) {
                return std::string("text ") + a.payload.string.text + " vs " +
                       b.payload.string.text;
            }
            return "";
        case HostKind::Collection:
            if (a.payload.array.count != b.payload.array.count) {
                return "element count";
            }
            for (std::uint32_t i = 0; i < a.payload.array.count; ++i) {
                const std::string inner =
                    differs(a.payload.array.values[i], b.payload.array.values[i]);
                if (!inner.empty()) {
                    return "[" + std::to_string(i) + "] " + inner;
                }
            }
            return "";
        case HostKind::Structure:
            if (a.payload.structure.count != b.payload.structure.count) {
                return "member count";
            }
            for (std::uint32_t i = 0; i < a.payload.structure.count; ++i) {
                const HostMember& x = a.payload.structure.members[i];
                const HostMember& y = b.payload.structure.members[i];
                if (std::strcmp(x.name, y.name) != 0 || x.ownsName != y.ownsName) {
                    return std::string("member ") + x.name + " vs " + y.name;
                }
                const std::string inner = differs(x.value, y.value);
                if (!inner.empty()) {
                    return std::string(x.name) + ": " + inner;
                }
            }
            return "";
        default:
            return std::memcmp(&a.payload, &b.payload, sizeof a.payload) == 0 ? "" : "payload";
    }
}

class ConverterHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registry.beginEnum<Tone>("Tone").value("Low", Tone::Low).value("High", Tone::High).finish();
        ASSERT_EQ(registry.beginStruct<Leaf>("Leaf")
                      .field("server", &Leaf::server)
                      .field("size", &Leaf::size)
                      .field("latency", &Leaf::latency)
                      .field("tone", &Leaf::tone)
                      .finish(),
                  TypeRegistrationStatus::Registered);
        ASSERT_EQ(registry.beginStruct<Tree>("Tree")
                      .field("results", &Tree::results)
                      .field("timestamp", &Tree::timestamp)
                      .field("byName", &Tree::byName)
                      .field("absent", &Tree::absent)
                      .field("flag", &Tree::flag)
                      .field("ratio", &Tree::ratio)
                      .field("any", &Tree::any)
                      .field("skipped", &Tree::skipped, {.omitIfEmpty = true})
                      .finish(),
                  TypeRegistrationStatus::Registered);
        ASSERT_EQ(registry.beginStruct<Chain>("Chain").field("next", &Chain::next).finish(),
                  TypeRegistrationStatus::Registered);
    }

    // Both paths for one native value; true when the direct form exists. When it does, it
    // must equal the generic one.
    template <class T>
    bool compare(const T& native, const TypeRegistry* names) {
        const auto converter = makeConverter<T>();
        const TypeDescriptor* descriptor = registry.findTypeById(typeIdOf<T>());
        ValueResult generic;
        converter->toValue(generic, &native, descriptor, names);
        HostValue expected{};
        HostResult status{};
        const bool genericOk = generic.ok() && toHost(status, expected, generic.value(), names);
        HostValue direct{};
        const bool directOk = converter->toHostDirect(direct, &native, descriptor, names);
        EXPECT_TRUE(!directOk || genericOk) << "a direct form where the generic path fails";
        if (directOk && genericOk) {
            EXPECT_EQ(differs(direct, expected), "");
        } else {
            EXPECT_EQ(direct.kind, HostKind::Empty) << "a failed direct form is left released";
        }
        releaseHostValue(direct);
        releaseHostValue(expected);
        releaseHostResult(status);
        return directOk;
    }

    TypeRegistry registry;
};

TEST_F(ConverterHostTest, DirectFormEqualsGenericForm) {
    Tree empty;

    Tree full;
    full.timestamp = "2026-01-02T03:04:05Z";
    full.results = {{"127.0.0.1", 16, 12.5, Tone::High},
                    {"", 0, std::nullopt, Tone::Low},
                    {"host, with spaces", 1024, 0.0, static_cast<Tone>(99)}};
    full.absent = -5;
    full.flag = true;
    full.ratio = 0.25f;
    full.any.member("z").setSigned(1);
    full.any.member("a").append().setString("x");
    full.skipped = "kept";
    // Keys whose hash order is unlike their name order, one a prefix of another.
    for (const char* key : {"zeta", "alpha", "alp", "Beta", "\xC3\xA9t\xC3\xA9", "9"}) {
        full.byName[key] = {key, 1, std::nullopt, Tone::High};
    }

    // A map larger than the direct writer takes in one go.
    Tree wide;
    for (int i = 0; i < 40; ++i) {
        wide.byName["k" + std::to_string(i)].size = static_cast<std::uint16_t>(i);
    }

    struct Row {
        const char* reason;
        const Tree* tree;
        const TypeRegistry* names;
    };
    const Row rows[] = {
        {"defaults: empty optional as kind 0, omitted empty field", &empty, &registry},
        {"every kind, members by name, enums named", &full, &registry},
        {"without a registry enums stay numbers", &full, nullptr},
        {"a wide map through the generic fallback", &wide, &registry},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_TRUE(compare(*row.tree, row.names));
    }
}

TEST_F(ConverterHostTest, TooDeepRecordHasNoDirectForm) {
    // The generic path refuses this depth with its own message; the direct form must not
    // answer in its place.
    Chain root;
    Chain* tip = &root;
    for (std::uint32_t i = 0; i < kMaxNestingDepth + 1; ++i) {
        tip->next.emplace_back();
        tip = &tip->next.back();
    }
    EXPECT_FALSE(compare(root, &registry));

    Chain shallow;
    shallow.next.resize(3);
    shallow.next[1].next.resize(2);
    EXPECT_TRUE(compare(shallow, &registry));
}

}  // namespace
}  // namespace mox
