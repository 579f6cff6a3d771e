#include "tools/nt_host/latency_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mox::nthost {
namespace {

std::vector<double> answered(std::span<const std::optional<double>> roundTrips) {
    std::vector<double> values;
    values.reserve(roundTrips.size());
    for (const std::optional<double>& rtt : roundTrips) {
        if (rtt)
            values.push_back(*rtt);
    }
    return values;
}

// The next "round" width after `width`: 1, 2, 5, 10, 20, 50, ... times 10^k.
double nextRoundWidth(double width) {
    const double decade = std::pow(10.0, std::floor(std::log10(width) + 1e-9));
    const double mantissa = width / decade;
    if (mantissa < 1.5)
        return 2.0 * decade;
    if (mantissa < 3.5)
        return 5.0 * decade;
    return 10.0 * decade;
}

// floor(value / width), forgiving the rounding error of a value that is a multiple of width
// (5.01 / 0.01 is 500.99999...).
double binIndex(double value, double width) {
    return std::floor(value / width + 1e-9);
}

// The number of bins of `width` from the multiple of `width` at or below `low` up to `high`.
std::size_t binsFor(double low, double high, double width) {
    const double start = binIndex(low, width) * width;
    return static_cast<std::size_t>(std::max(0.0, binIndex(high - start, width))) + 1;
}

}  // namespace

LatencySummary summarizeLatency(std::span<const std::optional<double>> roundTrips) {
    LatencySummary summary;
    summary.sent = roundTrips.size();
    std::vector<double> values = answered(roundTrips);
    summary.received = values.size();
    if (summary.sent > 0) {
        summary.lossPercent = 100.0 * static_cast<double>(summary.sent - summary.received) /
                              static_cast<double>(summary.sent);
    }
    if (values.empty())
        return summary;

    double jitterSum = 0.0;
    for (std::size_t i = 1; i < values.size(); ++i)
        jitterSum += std::fabs(values[i] - values[i - 1]);
    if (values.size() > 1)
        summary.jitterMs = jitterSum / static_cast<double>(values.size() - 1);

    double sum = 0.0;
    for (double v : values)
        sum += v;
    summary.meanMs = sum / static_cast<double>(values.size());

    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    summary.minMs = values.front();
    summary.maxMs = values.back();
    summary.medianMs = (n % 2 == 1) ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    // Nearest rank: the smallest value with at least 95 % of the samples at or below it.
    const std::size_t rank = (95 * n + 99) / 100;
    summary.p95Ms = values[std::max<std::size_t>(rank, 1) - 1];
    return summary;
}

std::vector<HistogramBin> buildHistogram(std::span<const std::optional<double>> roundTrips,
                                         std::size_t maxBins) {
    std::vector<double> values = answered(roundTrips);
    // A non-finite round trip cannot be placed in a bin; it still counts in the summary.
    std::erase_if(values, [](double v) { return !std::isfinite(v); });
    std::vector<HistogramBin> bins;
    if (values.empty())
        return bins;
    maxBins = std::max<std::size_t>(maxBins, 1);
    const auto [lowIt, highIt] = std::minmax_element(values.begin(), values.end());
    const double low = *lowIt;
    const double high = *highIt;

    // Start from 10 microseconds and widen until the range fits.
    double width = 0.01;
    for (int widenings = 0; widenings < 64 && binsFor(low, high, width) > maxBins; ++widenings)
        width = nextRoundWidth(width);

    const double start = binIndex(low, width) * width;
    const std::size_t count = std::min(binsFor(low, high, width), maxBins);
    bins.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        bins[i].fromMs = start + width * static_cast<double>(i);
        bins[i].toMs = start + width * static_cast<double>(i + 1);
    }
    for (double v : values) {
        auto index = static_cast<std::size_t>(std::max(0.0, binIndex(v - start, width)));
        bins[std::min(index, count - 1)].count += 1;
    }
    return bins;
}

std::string renderHistogram(std::span<const HistogramBin> bins, const std::string& indent,
                            std::size_t barWidth) {
    std::string text;
    std::size_t fullest = 0;
    for (const HistogramBin& bin : bins)
        fullest = std::max(fullest, bin.count);
    if (fullest == 0)
        return text;
    for (const HistogramBin& bin : bins) {
        // Round up so that a bin holding anything shows at least one mark.
        const std::size_t marks = (bin.count * barWidth + fullest - 1) / fullest;
        char range[64];
        std::snprintf(range, sizeof range, "%8.2f - %8.2f ms |", bin.fromMs, bin.toMs);
        text += indent;
        text += range;
        text.append(marks, '#');
        text += ' ';
        text += std::to_string(bin.count);
        text += '\n';
    }
    return text;
}

}  // namespace mox::nthost
