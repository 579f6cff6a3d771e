// File: plugin/entry/memory_stats.h
//
// `MemoryStats`: the 56-byte record the host's `GetMemoryStats` entry receives, a snapshot of
// the allocation layer's counters (see plugin/allocation.h). Plain data on the boundary:
// byte-packed, fixed-width fields, identical on every target.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mox {

#pragma pack(push, 1)
struct MemoryStats {
    std::uint64_t peakBytesInUse;  // highest (bytes allocated - bytes freed) seen
    std::uint64_t blocksAtPeak;    // (allocations - frees) when that peak was reached
    std::uint64_t bytesAllocated;  // total, including reallocations and string duplicates
    std::uint64_t allocations;     // count, including reallocations and string duplicates
    std::uint64_t bytesFreed;      // total, including the old block of a reallocation
    std::uint64_t frees;           // count, including the old block of a reallocation
    std::uint32_t reserved0;       // always 0
    std::uint32_t reserved1;       // always 0
};
#pragma pack(pop)

static_assert(sizeof(MemoryStats) == 56);
static_assert(offsetof(MemoryStats, blocksAtPeak) == 8);
static_assert(offsetof(MemoryStats, bytesAllocated) == 16);
static_assert(offsetof(MemoryStats, allocations) == 24);
static_assert(offsetof(MemoryStats, bytesFreed) == 32);
static_assert(offsetof(MemoryStats, frees) == 40);
static_assert(offsetof(MemoryStats, reserved0) == 48);
static_assert(offsetof(MemoryStats, reserved1) == 52);

}  // namespace mox
