#include "binding/values/value_result.h"

#include <gtest/gtest.h>

#include <string>

namespace mox {
namespace {

TEST(ValueResult, FreshResultIsAnEmptySuccess) {
    const ValueResult result;
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(result.value().isEmpty());
    EXPECT_EQ(result.error(), "");
}

TEST(ValueResult, FailReplacesTheValueWithTheErrorStructure) {
    const struct {
        const char* reason;
        void (*fill)(Value&);
    } cases[] = {
        {"a collection", [](Value& v) { v.append().setSigned(1); }},
        {"a structure with other members", [](Value& v) { v.member("zzz").setBool(true); }},
        {"an empty value", [](Value&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        ValueResult result;
        c.fill(result.value());
        result.fail("went wrong");
        EXPECT_FALSE(result.ok());
        ASSERT_EQ(result.value().kind(), ValueKind::Structure);
        ASSERT_EQ(result.value().size(), 1u);
        EXPECT_EQ(result.value().find("error").asString(), "went wrong");
        EXPECT_EQ(result.error(), "went wrong");
        EXPECT_EQ(result.error().data()[result.error().size()], '\0');
    }
}

TEST(ValueResult, FailAgainReplacesTheMessage) {
    ValueResult result = ValueResult::failure("first");
    EXPECT_EQ(result.error(), "first");
    result.fail("second");
    EXPECT_EQ(result.error(), "second");
}

TEST(ValueResult, MessageMayComeFromTheResultItself) {
    ValueResult result;
    result.value().member("detail").setString("a message that lives in the value");
    result.fail(result.value().find("detail").asString());
    EXPECT_EQ(result.error(), "a message that lives in the value");
    result.fail(result.error());
    EXPECT_EQ(result.error(), "a message that lives in the value");
}

TEST(ValueResult, ErrorOfANonStringErrorMemberIsEmpty) {
    ValueResult result = ValueResult::failure("x");
    result.value().member("error").setSigned(5);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error(), "");
}

TEST(ValueResult, AssignmentCopiesTheFlagAndMovesTheValue) {
    ValueResult failed = ValueResult::failure("bad");
    ValueResult target;
    target.value().setString("old");
    target = std::move(failed);
    EXPECT_FALSE(target.ok());
    EXPECT_EQ(target.error(), "bad");
    EXPECT_TRUE(failed.value().isEmpty());

    ValueResult success;
    success.value().setUnsigned(4);
    target = std::move(success);
    EXPECT_TRUE(target.ok());
    EXPECT_EQ(target.value().asUnsigned(), 4u);

    const ValueResult copy(target);  // a copy keeps the source intact
    EXPECT_EQ(copy.value().asUnsigned(), 4u);
    EXPECT_EQ(target.value().asUnsigned(), 4u);
}

TEST(ValueResult, ConstructedFromAValue) {
    Value value;
    value.member("a").setString("b");
    const ValueResult result(std::move(value));
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.value().find("a").asString(), "b");
    EXPECT_TRUE(value.isEmpty());
}

}  // namespace
}  // namespace mox
