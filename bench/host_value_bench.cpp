// Host value exchange over a 10,001-node tree: a collection of 1,000 records, each a
// structure of nine scalar, text and blob members. Counters per iteration: heap allocations
// (operator new) and allocation-layer allocations; toHost should need exactly one layer
// allocation per owned text, blob and array and no heap allocation at all.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "allocation_counter.h"
#include "binding/host_value.h"
#include "binding/values/value.h"

namespace {

constexpr int kRecords = 1000;

void buildTree(mox::Value& root) {
    static const std::uint8_t kBytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    root.makeCollection();
    root.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) {
        mox::Value& record = root.append();
        record.member("id").setUnsigned(static_cast<std::uint64_t>(i));
        record.member("name").setString("probe-" + std::to_string(i));
        record.member("host").setString("probe.example.test");
        record.member("port").setUnsigned(5499);
        record.member("latencyMs").setFloat(12.5 + i);
        record.member("answered").setBool(i % 3 != 0);
        record.member("offset").setSigned(-i);
        record.member("payload").setBlob(kBytes, sizeof kBytes);
        record.member("status").setString("Completed");
    }
}

void BM_HostValueToHost(benchmark::State& state) {
    mox::Value tree;
    buildTree(tree);
    mox::HostResult status{};
    mox::HostValue host{};
    const mox::bench::AllocationSnapshot start = mox::bench::takeAllocationSnapshot();
    for (auto _ : state) {
        const bool ok = mox::toHost(status, host, tree, nullptr);
        benchmark::DoNotOptimize(ok);
        mox::releaseHostValue(host);
    }
    mox::bench::reportAllocations(state, start);
    state.counters["nodes"] = 1 + kRecords * 10;
}
BENCHMARK(BM_HostValueToHost)->Unit(benchmark::kMicrosecond);

void BM_HostValueFromHost(benchmark::State& state) {
    mox::Value tree;
    buildTree(tree);
    mox::HostResult status{};
    mox::HostValue host{};
    if (!mox::toHost(status, host, tree, nullptr)) {
        state.SkipWithError("toHost failed");
        return;
    }
    const mox::bench::AllocationSnapshot start = mox::bench::takeAllocationSnapshot();
    for (auto _ : state) {
        mox::Value out;
        const bool ok = mox::fromHost(status, out, host, "<value>");
        benchmark::DoNotOptimize(ok);
    }
    mox::bench::reportAllocations(state, start);
    mox::releaseHostValue(host);
}
BENCHMARK(BM_HostValueFromHost)->Unit(benchmark::kMicrosecond);

void BM_HostValueRoundTrip(benchmark::State& state) {
    mox::Value tree;
    buildTree(tree);
    mox::HostResult status{};
    mox::HostValue host{};
    const mox::bench::AllocationSnapshot start = mox::bench::takeAllocationSnapshot();
    for (auto _ : state) {
        bool ok = mox::toHost(status, host, tree, nullptr);
        mox::Value out;
        ok = mox::fromHost(status, out, host, "<value>") && ok;
        benchmark::DoNotOptimize(ok);
        mox::releaseHostValue(host);
    }
    mox::bench::reportAllocations(state, start);
}
BENCHMARK(BM_HostValueRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace
