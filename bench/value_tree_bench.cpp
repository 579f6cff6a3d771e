// Building and tearing down a value tree, as every request does: a collection of 1,000
// records of 9 members each (10,000 elements and members; repeating member names, some
// repeating and some distinct string values). The pooled `Value` tree is measured against the
// same shape built from std::map / std::vector / std::string on the general heap.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bench/allocation_counter.h"
#include "binding/values/page_provider.h"
#include "binding/values/value.h"

namespace mox {
namespace {

constexpr int kRecords = 1000;
constexpr std::string_view kRegions[] = {"eu-west", "eu-north", "us-east", "us-west", "asia"};
constexpr std::string_view kStatuses[] = {"Disabled", "Skipped", "InProgress", "Completed"};

// "player-<i>" in a caller's buffer, so both trees pay the same for making the text.
std::string_view playerName(char (&buffer)[32], int i) {
    constexpr std::string_view prefix = "player-";
    std::copy(prefix.begin(), prefix.end(), buffer);
    char* end = std::to_chars(buffer + prefix.size(), buffer + sizeof buffer, i).ptr;
    return {buffer, static_cast<std::size_t>(end - buffer)};
}

void buildPooled(Value& root) {
    char buffer[32];
    for (int i = 0; i < kRecords; ++i) {
        Value& record = root.append();
        record.member("id").setUnsigned(static_cast<std::uint64_t>(i));
        record.member("name").setString(playerName(buffer, i));
        record.member("region").setString(kRegions[i % 5]);
        record.member("status").setString(kStatuses[i % 4]);
        record.member("latencyMs").setFloat(i * 0.25);
        record.member("port").setUnsigned(5499);
        record.member("enabled").setBool(i % 2 == 0);
        record.member("score").setSigned(-i);
        record.member("probesSent").setUnsigned(static_cast<std::uint64_t>(i % 16));
    }
}

// The general-heap counterpart: a small variant node.
struct HeapNode {
    using List = std::vector<HeapNode>;
    using Map = std::map<std::string, HeapNode>;
    std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, List, Map>
        data;
};

void buildHeap(HeapNode& root) {
    char buffer[32];
    auto& list = root.data.emplace<HeapNode::List>();
    for (int i = 0; i < kRecords; ++i) {
        auto& record = list.emplace_back().data.emplace<HeapNode::Map>();
        record["id"].data = static_cast<std::uint64_t>(i);
        record["name"].data = std::string(playerName(buffer, i));
        record["region"].data = std::string(kRegions[i % 5]);
        record["status"].data = std::string(kStatuses[i % 4]);
        record["latencyMs"].data = i * 0.25;
        record["port"].data = std::uint64_t{5499};
        record["enabled"].data = i % 2 == 0;
        record["score"].data = std::int64_t{-i};
        record["probesSent"].data = static_cast<std::uint64_t>(i % 16);
    }
}

void BM_ValueTreePooledBuildDestroy(benchmark::State& state) {
    const bench::AllocationSnapshot start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        Value root;
        buildPooled(root);
        benchmark::DoNotOptimize(root.size());
    }
    bench::reportAllocations(state, start);
    state.SetItemsProcessed(state.iterations() * kRecords * 10);
}
BENCHMARK(BM_ValueTreePooledBuildDestroy);

// The same with the page provider's reserve of free regions switched off: every tree then
// reserves its regions from the system and faults its pages in again.
void BM_ValueTreePooledBuildDestroyNoRegionReserve(benchmark::State& state) {
    const std::size_t previous = PageProvider::instance().setRegionReserve(0);
    for (auto _ : state) {
        Value root;
        buildPooled(root);
        benchmark::DoNotOptimize(root.size());
    }
    PageProvider::instance().setRegionReserve(previous);
    state.SetItemsProcessed(state.iterations() * kRecords * 10);
}
BENCHMARK(BM_ValueTreePooledBuildDestroyNoRegionReserve);

void BM_ValueTreeHeapBuildDestroy(benchmark::State& state) {
    const bench::AllocationSnapshot start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        HeapNode root;
        buildHeap(root);
        benchmark::DoNotOptimize(std::get<HeapNode::List>(root.data).size());
    }
    bench::reportAllocations(state, start);
    state.SetItemsProcessed(state.iterations() * kRecords * 10);
}
BENCHMARK(BM_ValueTreeHeapBuildDestroy);

// Deep copy of a built tree into a fresh root (re-interning every text).
void BM_ValueTreePooledCopy(benchmark::State& state) {
    Value source;
    buildPooled(source);
    const bench::AllocationSnapshot start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        Value copy(source);
        benchmark::DoNotOptimize(copy.size());
    }
    bench::reportAllocations(state, start);
}
BENCHMARK(BM_ValueTreePooledCopy);

void BM_ValueTreeHeapCopy(benchmark::State& state) {
    HeapNode source;
    buildHeap(source);
    const bench::AllocationSnapshot start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        HeapNode copy(source);
        benchmark::DoNotOptimize(std::get<HeapNode::List>(copy.data).size());
    }
    bench::reportAllocations(state, start);
}
BENCHMARK(BM_ValueTreeHeapCopy);

}  // namespace
}  // namespace mox
