// File: plugin/entry/allocation.h
//
// The library's allocation layer. Every allocation the library makes for memory that crosses
// the boundary or that it accounts for (host values, boundary records, texts handed to the
// host) goes through four replaceable hooks and a block-size query, each receiving the
// user-data pointer installed with them. Until someone installs hooks, the first allocation
// installs the counting hooks: they call the runtime heap and keep 64-bit counters, updated
// under one short lock from any thread, that `memoryStats()` reads (the host's `GetMemoryStats`).
//
// Example:
//   char* copy = mox::duplicateString("text");   // counted: one allocation
//   mox::deallocate(copy);                         // counted: one free
//   mox::MemoryStats stats = mox::memoryStats();
//
// Contract: memory from these functions is released only with `deallocate` (or resized with
// `reallocate`); mixing with the runtime's free() is undefined. `allocate(0)` returns a unique
// non-null block. Failures return null; nothing throws.
#pragma once

#include <cstddef>

#include "plugin/entry/memory_stats.h"

namespace mox {

struct AllocationHooks {
    void* (*allocate)(void* user, std::size_t size) = nullptr;
    void (*free)(void* user, void* block) = nullptr;
    void* (*reallocate)(void* user, void* block, std::size_t size) = nullptr;
    char* (*duplicate)(void* user, const char* text) = nullptr;
    std::size_t (*blockSize)(void* user, const void* block) = nullptr;
    void* user = nullptr;
};

// Replaces the hooks. Every hook must be set. Blocks allocated under the previous hooks must
// be released before the swap, or the new hooks must accept them.
// REQUIRES: no allocation layer call runs concurrently with the swap.
void setAllocationHooks(const AllocationHooks& hooks);

// The hooks in force (the counting hooks unless replaced).
AllocationHooks allocationHooks();

// The counting hooks: the runtime heap plus the counters.
AllocationHooks countingAllocationHooks();

void* allocate(std::size_t size);
void deallocate(void* block);
void* reallocate(void* block, std::size_t size);
char* duplicateString(const char* text);
std::size_t allocationBlockSize(const void* block);

// Snapshot of the counting hooks' counters, all six from one instant (no allocation or free
// of any thread falls between their reads). The reserved words are 0.
MemoryStats memoryStats();

}  // namespace mox
