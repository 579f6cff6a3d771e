#include "tools/reflector/probe_datagrams.h"
#include "support/game_latency_probe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mox::reflector {
namespace {

std::vector<std::uint8_t> probe(std::uint32_t id, std::size_t size = 0) {
    return mox::test::gameLatencyProbe(id, size);
}

TEST(ProbeDatagrams, ReplyCarriesTheIdentifierHalvesSwapped) {
    const auto reply = gameLatencyReply(probe(0xA1B2C3D4, 0));
    ASSERT_TRUE(reply.has_value());
    const std::array<std::uint8_t, 12> expected{0, 0, 0, 0, 0x01, 0, 0, 0, 0xB2, 0xA1, 0xD4, 0xC3};
    EXPECT_EQ(*reply, expected);
    EXPECT_TRUE(gameLatencyReply(probe(7, 1024)).has_value());
}

TEST(ProbeDatagrams, MalformedProbesGetNoReply) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* reason;
    };
    auto with = [](std::size_t at, std::uint8_t value) {
        std::vector<std::uint8_t> bytes = probe(1, 8);
        bytes[at] = value;
        return bytes;
    };
    const Case cases[] = {
        {[] {
             std::vector<std::uint8_t> bytes = probe(1, 0);
             bytes.pop_back();
             return bytes;
         }(),
         "15 bytes"},
        {probe(1, 1025), "payload above 1024"},
        {{}, "empty"},
        {std::vector<std::uint8_t>(12, 0), "a reply sent back"},
        {with(0, 1), "non-zero lead byte"},
        {with(7, 1), "non-zero byte 7"},
        {with(8, 0x02), "byte 8"},
        {with(9, 0x80), "byte 9"},
        {with(12, 0x04), "byte 12"},
        {with(13, 0x00), "byte 13"},
        {with(23, 0xFF), "non-zero payload"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_FALSE(gameLatencyReply(c.bytes).has_value());
    }
}

TEST(ProbeDatagrams, ParsesOptionAndSupportProbes) {
    const std::vector<std::uint8_t> v4{0x01, 0x01, 0x08, 0x07, 0x06, 0x05, 0x04,
                                       0x03, 0x02, 0x01, 0x14, 0x03, 0x2A, 0x00};
    const auto parsed = parseIpv4OptionsProbe(v4);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->experimentId, 0x0102030405060708u);
    EXPECT_EQ(parsed->optionNumber, 20);
    EXPECT_EQ(parsed->index, 3);
    EXPECT_EQ(parsed->optionValue, 42);

    std::vector<std::uint8_t> bad = v4;
    bad[10] = 7;
    EXPECT_FALSE(parseIpv4OptionsProbe(bad).has_value()) << "unknown option number";
    bad = v4;
    bad[1] = 0x02;
    EXPECT_FALSE(parseIpv4OptionsProbe(bad).has_value()) << "experiment byte";
    bad = v4;
    bad.push_back(0);
    EXPECT_FALSE(parseIpv4OptionsProbe(bad).has_value()) << "15 bytes";

    const std::vector<std::uint8_t> v6{0x01, 0x02, 0xFF, 0, 0, 0, 0, 0, 0, 0x80, 0x05};
    const auto support = parseIpv6SupportProbe(v6);
    ASSERT_TRUE(support.has_value());
    EXPECT_EQ(support->experimentId, 0x80000000000000FFu);
    EXPECT_EQ(support->index, 5);
    EXPECT_FALSE(parseIpv6SupportProbe(std::span(v6).first(10)).has_value());
    EXPECT_FALSE(parseIpv6SupportProbe(v4).has_value());
}

TEST(ProbeDatagrams, FindsRouterAlertInAnOptionList) {
    struct Case {
        std::vector<std::uint8_t> options;
        std::optional<std::uint16_t> expected;
        const char* reason;
    };
    const Case cases[] = {
        {{0x94, 0x04, 0x2A, 0x00}, 42, "alone, value low byte first"},
        {{0x94, 0x04, 0x00, 0x00}, 0, "value 0 is still an alert"},
        {{0x01, 0x01, 0x94, 0x04, 0x34, 0x12}, 0x1234, "after fillers"},
        {{0x83, 0x03, 0x00, 0x94, 0x04, 0x01, 0x00}, 1, "after another option"},
        {{}, std::nullopt, "no options"},
        {{0x00, 0x94, 0x04, 0x2A, 0x00}, std::nullopt, "after the end of the list"},
        {{0x94, 0x03, 0x2A}, std::nullopt, "wrong length"},
        {{0x83, 0x01, 0x94, 0x04, 0, 0}, std::nullopt, "malformed length stops the walk"},
        {{0x83, 0x09, 0x94, 0x04, 0, 0}, std::nullopt, "length past the end"},
        {{0x94}, std::nullopt, "cut after the type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(findRouterAlert(c.options), c.expected);
    }
}

}  // namespace
}  // namespace mox::reflector
