#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_test_support.h"
#include "logging/log_record.h"

namespace mox::testing {
namespace {

class ServiceProxyTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        loadAndInitialise();
    }
    std::vector<std::string> linesAt(std::int32_t level) const {
        std::vector<std::string> out;
        for (const host::LogLine& line : host.logLines()) {
            if (line.level == level) {
                out.push_back(line.text);
            }
        }
        return out;
    }
};

TEST_F(ServiceProxyTest, MethodAnswersReplaceEachOtherUntilClaimed) {
    ASSERT_TRUE(
        host.deliver("OnServiceProxyMethodEvent", serviceProxyAnswer("u1", "svc", "m", "first")));
    ASSERT_TRUE(
        host.deliver("OnServiceProxyMethodEvent", serviceProxyAnswer("u2", "svc", "m", "second")));
    EXPECT_EQ(plugin().unclaimedServiceProxyAnswers(), 1u);

    std::vector<std::string> payloads;
    plugin().waitForServiceProxyAnswer(
        "svc.m", [&](const PluginServiceProxyResponse& a) { payloads.push_back(a.payload); });
    // Matching happens at a delivery.
    ASSERT_TRUE(host.deliver("OnServiceProxyUuidEvent", serviceProxyAnswer("other", "", "", "x")));
    EXPECT_EQ(payloads, std::vector<std::string>{"second"});
    EXPECT_EQ(linesAt(kLogAlways),
              std::vector<std::string>{"test-plugin: Fulfilled service proxy request: svc.m"});
    EXPECT_EQ(plugin().unclaimedServiceProxyAnswers(), 1u);  // "other" stays
}

TEST_F(ServiceProxyTest, OneDeliveryFulfilsOneAnswer) {
    ASSERT_TRUE(host.deliver("OnServiceProxyUuidEvent", serviceProxyAnswer("u1", "s", "m", "1")));
    ASSERT_TRUE(host.deliver("OnServiceProxyUuidEvent", serviceProxyAnswer("u2", "s", "m", "2")));
    std::vector<std::string> claimed;
    for (const char* key : {"u1", "u2"}) {
        plugin().waitForServiceProxyAnswer(
            key, [&](const PluginServiceProxyResponse& a) { claimed.push_back(a.uuid); });
    }
    ASSERT_TRUE(host.deliver("OnServiceProxyUuidEvent", serviceProxyAnswer("u3", "s", "m", "3")));
    EXPECT_EQ(claimed, std::vector<std::string>{"u1"});
    ASSERT_TRUE(host.deliver("OnServiceProxyUuidEvent", serviceProxyAnswer("u4", "s", "m", "4")));
    EXPECT_EQ(claimed, (std::vector<std::string>{"u1", "u2"}));
}

TEST_F(ServiceProxyTest, AsyncAnswersGoToTheirHandlerOrAreLogged) {
    std::vector<std::string> handled;
    plugin().setServiceProxyAsyncHandler(
        "svc", "known", [&](const PluginServiceProxyResponse& a) { handled.push_back(a.payload); });
    ASSERT_TRUE(
        host.deliver("OnServiceProxyAsyncEvent", serviceProxyAnswer("", "svc", "known", "p")));
    ASSERT_TRUE(host.deliver("OnServiceProxyAsyncEvent", serviceProxyAnswer("", "svc", "m", "p")));
    EXPECT_EQ(handled, std::vector<std::string>{"p"});
    EXPECT_EQ(
        linesAt(kLogError),
        std::vector<std::string>{
            "test-plugin: Could not find registered handler for async service proxy event svc.m"});
}

TEST_F(ServiceProxyTest, UnclaimedAnswersAreBounded) {
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(host.deliver("OnServiceProxyUuidEvent",
                                 serviceProxyAnswer("u" + std::to_string(i), "s", "m", "")));
    }
    EXPECT_EQ(plugin().unclaimedServiceProxyAnswers(), kMaxUnclaimedServiceProxyAnswers);
    const std::vector<std::string> warnings = linesAt(kLogWarn);
    ASSERT_EQ(warnings.size(), 300u - kMaxUnclaimedServiceProxyAnswers);
    EXPECT_EQ(warnings.front(), "test-plugin: Dropped unclaimed service proxy answer: u0");

    // The oldest went first: u100 is still there and can be claimed.
    bool claimed = false;
    plugin().waitForServiceProxyAnswer("u100",
                                       [&](const PluginServiceProxyResponse&) { claimed = true; });
    ASSERT_TRUE(host.deliver("OnServiceProxyUuidEvent", serviceProxyAnswer("again", "s", "m", "")));
    EXPECT_TRUE(claimed);
}

TEST_F(ServiceProxyTest, PayloadsThatAreNotAnswersAreDropped) {
    Value bad;
    bad.makeStructure();
    bad.member("uuid").setSigned(5);
    ASSERT_TRUE(host.deliver("OnServiceProxyUuidEvent", bad));
    EXPECT_EQ(plugin().unclaimedServiceProxyAnswers(), 0u);
}

}  // namespace
}  // namespace mox::testing
