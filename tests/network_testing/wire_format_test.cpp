// The datagrams the experiments send and read, the shared draw and list helpers, and the
// telemetry fields of a game-latency run: exact bytes and texts.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "network_testing/experiment_draw.h"
#include "network_testing/game_latency_probe.h"
#include "network_testing/ipv4_options_experiment.h"
#include "network_testing/ipv6_support_experiment.h"

namespace mox {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WireFormatTest, GameLatencyProbeCarriesTheIdentifierHalvesLittleEndian) {
    Bytes datagram(kGameLatencyProbeHeaderSize + 4, 0xEE);
    encodeGameLatencyProbe(datagram, 0xA1B2C3D4u);
    const Bytes expected = {0,    0,    0,    0,    0,    0,    0,    0,    0x01, 0x81,
                            0xD4, 0xC3, 0x05, 0x01, 0xB2, 0xA1, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(datagram, expected);
}

TEST(WireFormatTest, RepliesAreExactlyTwelveBytesWithByteFourSetAndTheHalvesSwapped) {
    const Bytes good = {9, 9, 9, 9, 0x01, 9, 9, 9, 0xB2, 0xA1, 0xD4, 0xC3};
    struct Case {
        const char* reason;
        Bytes datagram;
        std::optional<std::uint32_t> id;
    };
    Bytes wrongMarker = good;
    wrongMarker[4] = 0x02;
    Bytes longer = good;
    longer.push_back(0);
    const Case cases[] = {
        {"well-formed: high half at 8-9, low half at 10-11", good, 0xA1B2C3D4u},
        {"byte 4 is 0x02", wrongMarker, std::nullopt},
        {"one byte short", Bytes(good.begin(), good.end() - 1), std::nullopt},
        {"one byte long", longer, std::nullopt},
        {"empty", {}, std::nullopt},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(decodeGameLatencyReply(row.datagram), row.id);
    }
}

TEST(WireFormatTest, SeriesDatagrams) {
    const auto v4 = encodeIpv4OptionsProbe(0x0102030405060708ull, 20, 3, 42);
    const std::array<std::uint8_t, 14> expected4 = {0x01, 0x01, 8, 7,    6,    5,    4,
                                                    3,    2,    1, 0x14, 0x03, 0x2A, 0x00};
    EXPECT_EQ(v4, expected4);
    const auto v6 = encodeIpv6SupportProbe(0x0102030405060708ull, 5);
    const std::array<std::uint8_t, 11> expected6 = {0x01, 0x02, 8, 7, 6, 5, 4, 3, 2, 1, 0x05};
    EXPECT_EQ(v6, expected6);
}

TEST(WireFormatTest, ServerListSplitKeepsEveryPieceUntrimmed) {
    struct Case {
        const char* list;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"", {""}},
        {"a", {"a"}},
        {"a,", {"a", ""}},
        {",,", {"", "", ""}},
        {"1.2.3.4, 5.6.7.8", {"1.2.3.4", " 5.6.7.8"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.list);
        EXPECT_EQ(splitServerList(row.list), row.pieces);
    }
    EXPECT_EQ(trimAsciiWhitespace(" \t5.6.7.8\r\n"), "5.6.7.8");
    EXPECT_EQ(trimAsciiWhitespace("\xA0x\xA0"), "\xA0x\xA0");  // high bytes are not white space
}

TEST(WireFormatTest, DrawTakesTheFirstOutputAsTheLowHalfAndStaysBelowOne) {
    struct Case {
        std::uint32_t low;
        std::uint32_t high;
        double expected;
        const char* reason;
    };
    const double belowOne = std::nextafter(1.0, 0.0);
    const Case cases[] = {
        {0, 0, 0.0, "smallest"},
        {1, 0, 1.0 / 18446744073709551616.0, "the first output is the low half"},
        {0, 1, 1.0 / 4294967296.0, "the second output is the high half"},
        {0, 0x80000000u, 0.5, "a half"},
        {0xFFFFFFFFu, 0xFFFFFFFFu, belowOne, "rounds to 1.0 and is clamped below it"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(canonicalFromOutputs(row.low, row.high), row.expected);
    }
    // The generator's two next outputs, the first as the low half.
    std::mt19937 reference(5489u);
    const std::uint32_t x0 = reference();
    const std::uint32_t x1 = reference();
    std::mt19937 generator(5489u);
    const double r = drawCanonical(generator);
    EXPECT_EQ(r, (static_cast<double>(x0) + static_cast<double>(x1) * 4294967296.0) /
                     18446744073709551616.0);
    EXPECT_LT(r, 1.0);
    EXPECT_GE(r, 0.0);
    for (int i = 0; i < 10000; ++i) {
        const double next = drawCanonical(generator);
        ASSERT_LT(next, 1.0);
        ASSERT_GE(next, 0.0);
    }
}

TEST(WireFormatTest, LostDrawIsDisabledOnlyForExactlyZero) {
    struct Case {
        double p;
        NetworkExperimentStatus status;
    };
    const Case cases[] = {
        {0.0, NetworkExperimentStatus::Disabled},
        {-0.0, NetworkExperimentStatus::Disabled},
        {-1.0, NetworkExperimentStatus::Skipped},
        {1e-300, NetworkExperimentStatus::Skipped},
        {0.5, NetworkExperimentStatus::Skipped},
        {std::numeric_limits<double>::quiet_NaN(), NetworkExperimentStatus::Skipped},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.p);
        EXPECT_EQ(statusForLostDraw(row.p), row.status);
    }
}

TEST(WireFormatTest, GameLatencyTelemetryMultipliesBeforeDividing) {
    struct Case {
        const char* reason;
        std::vector<std::optional<double>> latencies;
        const char* latencyMs;
        const char* sent;
        const char* received;
    };
    const Case cases[] = {
        {"10 and 20 ms and one unanswered", {10.0, 20.0, std::nullopt}, "15000.000000", "3", "2"},
        {"nothing answered", {std::nullopt, std::nullopt}, "0.000000", "2", "0"},
        {"no probes at all", {}, "0.000000", "0", "0"},
        {"a mean of 12.5 ms", {12.5}, "12500.000000", "1", "1"},
        {"sub-microsecond digits are rounded to six places", {0.0000004}, "0.000400", "1", "1"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.reason);
        GameLatencyExperimentResults results;
        for (const auto& latency : row.latencies) {
            results.results.push_back({"s", 1, latency});
        }
        const auto fields = gameLatencyTelemetryFields(results);
        ASSERT_EQ(fields.size(), 3u);
        EXPECT_EQ(fields.at("latency_ms"), row.latencyMs);
        EXPECT_EQ(fields.at("probes.sent"), row.sent);
        EXPECT_EQ(fields.at("probes.received"), row.received);
    }
}

TEST(WireFormatTest, TimestampsAreUtcWholeSeconds) {
    EXPECT_EQ(formatUtcTimestamp(1614834367), "2021-03-04T05:06:07Z");
    EXPECT_EQ(formatUtcTimestamp(0), "1970-01-01T00:00:00Z");
}

}  // namespace
}  // namespace mox
