#include "tools/nt_host/latency_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace mox::nthost {
namespace {

using Rtts = std::vector<std::optional<double>>;
constexpr auto kLost = std::nullopt;

struct SummaryCase {
    Rtts input;
    std::size_t sent, received;
    double loss, min, median, p95, max, jitter;
    const char* reason;
};

TEST(LatencyStats, Summaries) {
    const SummaryCase cases[] = {
        {{}, 0, 0, 0, 0, 0, 0, 0, 0, "nothing sent: no loss, no figures"},
        {{kLost, kLost}, 2, 0, 100, 0, 0, 0, 0, 0, "nothing answered: 100 % loss, no figures"},
        {{5.0}, 1, 1, 0, 5, 5, 5, 5, 0, "one answer: jitter needs two"},
        {{10.0, 20.0, kLost},
         3,
         2,
         100.0 / 3,
         10,
         15,
         20,
         20,
         10,
         "even count: median is the mean of the middle two; a lost probe is skipped"},
        {{3.0, 1.0, 2.0},
         3,
         3,
         0,
         1,
         2,
         3,
         3,
         1.5,
         "jitter follows input order (|1-3| + |2-1|) / 2, not sorted order"},
        {{1.0, kLost, 5.0, kLost, 2.0},
         5,
         3,
         40,
         1,
         2,
         5,
         5,
         3.5,
         "jitter skips unanswered probes between answers: (4 + 3) / 2"},
    };
    for (const SummaryCase& c : cases) {
        SCOPED_TRACE(c.reason);
        const LatencySummary s = summarizeLatency(c.input);
        EXPECT_EQ(s.sent, c.sent);
        EXPECT_EQ(s.received, c.received);
        EXPECT_NEAR(s.lossPercent, c.loss, 1e-9);
        EXPECT_DOUBLE_EQ(s.minMs, c.min);
        EXPECT_DOUBLE_EQ(s.medianMs, c.median);
        EXPECT_DOUBLE_EQ(s.p95Ms, c.p95);
        EXPECT_DOUBLE_EQ(s.maxMs, c.max);
        EXPECT_DOUBLE_EQ(s.jitterMs, c.jitter);
        EXPECT_EQ(s.hasLatency(), c.received > 0);
    }
}

TEST(LatencyStats, P95IsTheNearestRank) {
    // 1..100: the 95th smallest is 95; 1..20: ceil(19) = 19th; 1..19: ceil(18.05) = 19th.
    struct Case {
        int n;
        double p95;
        const char* reason;
    };
    const Case cases[] = {{100, 95, "rank 95 of 100"},
                          {20, 19, "rank 19 of 20"},
                          {19, 19, "below 20 samples the rank rounds up to the maximum"},
                          {2, 2, "two samples: the larger"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Rtts input;
        for (int i = c.n; i >= 1; --i)  // descending, so sorting is exercised
            input.emplace_back(i);
        EXPECT_DOUBLE_EQ(summarizeLatency(input).p95Ms, c.p95);
    }
}

TEST(LatencyStats, HistogramBinsAreRoundAndHoldEverySample) {
    struct Case {
        Rtts input;
        std::size_t maxBins;
        double width;
        double firstFrom;
        const char* reason;
    };
    const Case cases[] = {
        {{5.01, 5.02, 5.04}, 8, 0.01, 5.01, "a narrow spread keeps the finest width"},
        {{1.0, 9.5}, 8, 2.0, 0.0, "a spread of 8.5 ms needs 2 ms bins to fit 8"},
        {{12.0, 12.0, 12.0}, 8, 0.01, 12.0, "identical samples share one bin"},
        {{0.3, 470.0}, 4, 200.0, 0.0, "wide spreads widen in 1-2-5 steps"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::vector<HistogramBin> bins = buildHistogram(c.input, c.maxBins);
        ASSERT_FALSE(bins.empty());
        EXPECT_LE(bins.size(), c.maxBins);
        EXPECT_NEAR(bins.front().toMs - bins.front().fromMs, c.width, 1e-9);
        EXPECT_NEAR(bins.front().fromMs, c.firstFrom, 1e-9);
        std::size_t total = 0;
        for (const HistogramBin& bin : bins)
            total += bin.count;
        EXPECT_EQ(total, c.input.size());
    }
}

TEST(LatencyStats, HistogramIgnoresLostAndNonFiniteSamples) {
    const Rtts input = {kLost, std::numeric_limits<double>::infinity(),
                        std::numeric_limits<double>::quiet_NaN(), 2.0};
    const std::vector<HistogramBin> bins = buildHistogram(input);
    ASSERT_EQ(bins.size(), 1u);
    EXPECT_EQ(bins[0].count, 1u);
    EXPECT_TRUE(buildHistogram(Rtts{kLost}).empty());
}

TEST(LatencyStats, HistogramTextScalesBarsToTheFullestBin) {
    const std::vector<HistogramBin> bins = {{1.0, 2.0, 4}, {2.0, 3.0, 1}, {3.0, 4.0, 0}};
    const std::string text = renderHistogram(bins, "  ", 8);
    EXPECT_EQ(text,
              "      1.00 -     2.00 ms |######## 4\n"
              "      2.00 -     3.00 ms |## 1\n"
              "      3.00 -     4.00 ms | 0\n");
    EXPECT_EQ(renderHistogram({}, "  "), "");
}

}  // namespace
}  // namespace mox::nthost
