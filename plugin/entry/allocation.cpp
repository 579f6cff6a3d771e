#include "plugin/entry/allocation.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/heap.h"

namespace mox {

namespace {

// The counters, guarded by `CounterLock`. Every update takes the lock, changes plain 64-bit
// fields and releases it: one locked instruction per allocation or free (separate atomic
// counters needed two to four, and a 64-bit atomic add is a compare-exchange loop on i686).
// Because one lock orders every update, the counters are exact at any instant, the peak is the
// true maximum of (bytes allocated - bytes freed) over that order, and `blocksAtPeak` belongs
// to the same instant as the peak; `memoryStats()` reads all six under the lock, so a snapshot
// is consistent.
struct Counters {
    std::uint64_t peakBytes = 0;
    std::uint64_t blocksAtPeak = 0;
    std::uint64_t bytesAllocated = 0;
    std::uint64_t allocations = 0;
    std::uint64_t bytesFreed = 0;
    std::uint64_t frees = 0;
};

// A test-and-test-and-set lock for the few instructions above. It is never held across a
// call, so a waiter normally spins for a handful of cycles; one whose holder was preempted
// gives its time slice away instead of spinning on.
class CounterLock {
  public:
    void lock() noexcept {
        while (locked_.exchange(true, std::memory_order_acquire)) {
            for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins) {
                if (spins >= 64) {
                    std::this_thread::yield();
                    spins = 0;
                }
            }
        }
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> locked_{false};
};

// Constant-initialised, so usable from the first allocation of any static constructor.
CounterLock gLock;
Counters gCounters;

static_assert(std::atomic<bool>::is_always_lock_free);

void countAllocation(std::uint64_t size) {
    std::lock_guard<CounterLock> guard(gLock);
    gCounters.bytesAllocated += size;
    ++gCounters.allocations;
    const std::uint64_t inUse = gCounters.bytesAllocated - gCounters.bytesFreed;
    if (inUse > gCounters.peakBytes) {
        gCounters.peakBytes = inUse;
        gCounters.blocksAtPeak = gCounters.allocations - gCounters.frees;
    }
}

void countFree(std::uint64_t size) {
    std::lock_guard<CounterLock> guard(gLock);
    gCounters.bytesFreed += size;
    ++gCounters.frees;
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
    {
        std::lock_guard<CounterLock> guard(gLock);
        stats.peakBytesInUse = gCounters.peakBytes;
        stats.blocksAtPeak = gCounters.blocksAtPeak;
        stats.bytesAllocated = gCounters.bytesAllocated;
        stats.allocations = gCounters.allocations;
        stats.bytesFreed = gCounters.bytesFreed;
        stats.frees = gCounters.frees;
    }
    stats.reserved0 = 0;
    stats.reserved1 = 0;
    return stats;
}

}  // namespace mox
