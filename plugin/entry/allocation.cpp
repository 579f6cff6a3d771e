#include "plugin/entry/allocation.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/heap.h"

namespace mox {

namespace {

struct Counters {
    std::atomic<std::uint64_t> peakBytes{0};
    std::atomic<std::uint64_t> blocksAtPeak{0};
    std::atomic<std::uint64_t> bytesAllocated{0};
    std::atomic<std::uint64_t> allocations{0};
    std::atomic<std::uint64_t> bytesFreed{0};
    std::atomic<std::uint64_t> frees{0};
};

Counters gCounters;

// 64-bit atomics must be lock-free to be safe from any thread without a lock of our own; on
// i686 they are, through cmpxchg8b.
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

void countAllocation(std::uint64_t size) {
    const std::uint64_t bytes = gCounters.bytesAllocated.fetch_add(size) + size;
    const std::uint64_t count = gCounters.allocations.fetch_add(1) + 1;
    const std::uint64_t inUse = bytes - gCounters.bytesFreed.load();
    std::uint64_t peak = gCounters.peakBytes.load();
    while (inUse > peak) {
        if (gCounters.peakBytes.compare_exchange_weak(peak, inUse)) {
            gCounters.blocksAtPeak.store(count - gCounters.frees.load());
            break;
        }
    }
}

void countFree(std::uint64_t size) {
    gCounters.bytesFreed.fetch_add(size);
    gCounters.frees.fetch_add(1);
}

void* countingAllocate(void*, std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        countAllocation(platform::heapBlockSize(block));
    }
    return block;
}

void countingFree(void*, void* block) {
    if (block == nullptr) {
        return;
    }
    countFree(platform::heapBlockSize(block));
    std::free(block);
}

void* countingReallocate(void* user, void* block, std::size_t size) {
    if (block == nullptr) {
        return countingAllocate(user, size);
    }
    // The old block's size must be read before realloc may release it.
    const std::uint64_t oldSize = platform::heapBlockSize(block);
    void* resized = std::realloc(block, size == 0 ? 1 : size);
    if (resized == nullptr) {
        return nullptr;  // the old block is untouched and still counted
    }
    countFree(oldSize);
    countAllocation(platform::heapBlockSize(resized));
    return resized;
}

char* countingDuplicate(void* user, const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const std::size_t length = std::strlen(text) + 1;
    char* copy = static_cast<char*>(countingAllocate(user, length));
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
    }
    return copy;
}

std::size_t countingBlockSize(void*, const void* block) {
    return platform::heapBlockSize(const_cast<void*>(block));
}

AllocationHooks& hooks() {
    // Installed on first use: constant-initialised, so no static-order hazard.
    static AllocationHooks installed = countingAllocationHooks();
    return installed;
}

}  // namespace

AllocationHooks countingAllocationHooks() {
    AllocationHooks h;
    h.allocate = countingAllocate;
    h.free = countingFree;
    h.reallocate = countingReallocate;
    h.duplicate = countingDuplicate;
    h.blockSize = countingBlockSize;
    h.user = nullptr;
    return h;
}

void setAllocationHooks(const AllocationHooks& replacement) {
    hooks() = replacement;
}

AllocationHooks allocationHooks() {
    return hooks();
}

void* allocate(std::size_t size) {
    const AllocationHooks& h = hooks();
    return h.allocate(h.user, size);
}

void deallocate(void* block) {
    const AllocationHooks& h = hooks();
    h.free(h.user, block);
}

void* reallocate(void* block, std::size_t size) {
    const AllocationHooks& h = hooks();
    return h.reallocate(h.user, block, size);
}

char* duplicateString(const char* text) {
    const AllocationHooks& h = hooks();
    return h.duplicate(h.user, text);
}

std::size_t allocationBlockSize(const void* block) {
    const AllocationHooks& h = hooks();
    return h.blockSize(h.user, block);
}

MemoryStats memoryStats() {
    MemoryStats stats{};
    stats.peakBytesInUse = gCounters.peakBytes.load();
    stats.blocksAtPeak = gCounters.blocksAtPeak.load();
    stats.bytesAllocated = gCounters.bytesAllocated.load();
    stats.allocations = gCounters.allocations.load();
    stats.bytesFreed = gCounters.bytesFreed.load();
    stats.frees = gCounters.frees.load();
    stats.reserved0 = 0;
    stats.reserved1 = 0;
    return stats;
}

}  // namespace mox
