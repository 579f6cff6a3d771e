// File: bench/allocation_counter.h
//
// Counts general-heap allocations in the benchmark executable: the executable replaces the
// global operator new/delete with counting versions, and the library's allocation layer keeps
// its own counters (plugin/allocation.h). A benchmark reports both per iteration with
// `reportAllocations`, so "allocations per conversion" sits beside the timing.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

namespace mox::bench {

// Total operator new calls in this process so far (any thread).
std::uint64_t heapAllocationCount();

// Marks the start of the measured loop; `reportAllocations` divides what happened since by the
// iteration count and adds the counters "heap_allocs" and "layer_allocs" to the state.
struct AllocationSnapshot {
    std::uint64_t heap = 0;
    std::uint64_t layer = 0;
};
AllocationSnapshot takeAllocationSnapshot();
void reportAllocations(benchmark::State& state, const AllocationSnapshot& start);

}  // namespace mox::bench
