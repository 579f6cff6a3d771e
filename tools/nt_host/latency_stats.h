// File: tools/nt_host/latency_stats.h
//
// Statistics over the round trips of game-latency probes: what a network engineer reads off a
// link. Input is one entry per probe that was sent, in the order the results list them; an
// entry without a value is a probe that got no reply.
//
//   - loss: unanswered probes over probes sent, in percent (0 when nothing was sent);
//   - min, median, p95, max over the answered probes. The median of an even count is the mean
//     of the two middle values; p95 is the nearest-rank percentile (the ceil(0.95 n)-th
//     smallest), so with fewer than 20 samples it is the maximum;
//   - jitter: the mean absolute difference of consecutive round trips, taken over the answered
//     probes in input order (unanswered ones are skipped, not counted as zero); 0 with fewer
//     than two answers.
//
// Every figure is in milliseconds. A summary with `received == 0` has no latency figures
// (`hasLatency()` is false) and its fields hold 0.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mox::nthost {

struct LatencySummary {
    std::size_t sent = 0;
    std::size_t received = 0;
    double lossPercent = 0.0;
    double minMs = 0.0;
    double medianMs = 0.0;
    double p95Ms = 0.0;
    double maxMs = 0.0;
    double meanMs = 0.0;
    double jitterMs = 0.0;

    bool hasLatency() const noexcept { return received > 0; }
};

// One bar of a histogram: round trips in [fromMs, toMs) (the last bin also holds toMs).
struct HistogramBin {
    double fromMs = 0.0;
    double toMs = 0.0;
    std::size_t count = 0;
};

// Computes the summary of `roundTrips` (milliseconds; nullopt = no reply). Never fails;
// NaN or negative inputs are not expected and are taken as they are.
LatencySummary summarizeLatency(std::span<const std::optional<double>> roundTrips);

// Bins the answered round trips into at most `maxBins` bins (at least 1) of one "round" width
// (1, 2 or 5 times a power of ten milliseconds), the first starting at a multiple of the width
// at or below the minimum. Empty when nothing was answered.
std::vector<HistogramBin> buildHistogram(std::span<const std::optional<double>> roundTrips,
                                         std::size_t maxBins = 8);

// Renders bins as text lines "  <from> - <to> ms |#### n", bars scaled so that the fullest bin
// is `barWidth` characters wide; each line starts with `indent`. Empty for no bins.
std::string renderHistogram(std::span<const HistogramBin> bins, const std::string& indent,
                            std::size_t barWidth = 30);

}  // namespace mox::nthost
