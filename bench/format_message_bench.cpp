// The formatter against the runtime's printf for a typical three-argument message.
#include "text/format_message.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

const char* const kName = "gameLatencyProbeCount";
const char* const kType = "uint32";
const int kOffset = 1234;

void BM_FormatMessageNumbered(benchmark::State& state) {
    for (auto _ : state) {
        std::string message = mox::formatMessage("Value %1 for '%2' of type %3 is out of range",
                                                 kOffset, kName, kType);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_FormatMessageNumbered);

void BM_FormatMessagePrintfStyle(benchmark::State& state) {
    for (auto _ : state) {
        std::string message = mox::formatMessage("Value %d for '%s' of type %s is out of range",
                                                 kOffset, kName, kType);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_FormatMessagePrintfStyle);

void BM_FormatMessageInto(benchmark::State& state) {
    char buffer[mox::kFormatBufferSize];
    for (auto _ : state) {
        std::size_t length = mox::formatMessageInto(buffer, sizeof buffer,
                                                    "Value %1 for '%2' of type %3 is out of range",
                                                    kOffset, kName, kType);
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_FormatMessageInto);

void BM_FormatMessageIntoPrintfStyle(benchmark::State& state) {
    char buffer[mox::kFormatBufferSize];
    for (auto _ : state) {
        std::size_t length = mox::formatMessageInto(buffer, sizeof buffer,
                                                    "Value %d for '%s' of type %s is out of range",
                                                    kOffset, kName, kType);
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_FormatMessageIntoPrintfStyle);

// The baselines: one snprintf of the same output into a stack buffer, then the same string
// construction (BM_SnprintfToString) or nothing more (BM_Snprintf). formatMessageInto must
// cost no more than BM_Snprintf in the same run.
void BM_SnprintfToString(benchmark::State& state) {
    for (auto _ : state) {
        char buffer[mox::kFormatBufferSize];
        const int length =
            std::snprintf(buffer, sizeof buffer, "Value %d for '%s' of type %s is out of range",
                          kOffset, kName, kType);
        std::string message(buffer, static_cast<std::size_t>(length));
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_SnprintfToString);

void BM_Snprintf(benchmark::State& state) {
    char buffer[mox::kFormatBufferSize];
    for (auto _ : state) {
        int length =
            std::snprintf(buffer, sizeof buffer, "Value %d for '%s' of type %s is out of range",
                          kOffset, kName, kType);
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_Snprintf);

}  // namespace
