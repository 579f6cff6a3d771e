#include "plugin/entry/allocation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace mox {
namespace {

TEST(Allocation, CountersFollowEachOperation) {
    const MemoryStats before = memoryStats();

    void* block = allocate(100);
    ASSERT_NE(block, nullptr);
    char* copy = duplicateString("hello");
    ASSERT_STREQ(copy, "hello");
    void* grown = reallocate(block, 4000);
    ASSERT_NE(grown, nullptr);
    deallocate(grown);
    deallocate(copy);

    const MemoryStats after = memoryStats();
    // allocate + duplicate + the new block of the reallocation
    EXPECT_EQ(after.allocations - before.allocations, 3u);
    // the old block of the reallocation + two frees
    EXPECT_EQ(after.frees - before.frees, 3u);
    EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, after.bytesFreed - before.bytesFreed);
    EXPECT_GE(after.peakBytesInUse, 4000u);
    EXPECT_EQ(after.reserved0, 0u);
    EXPECT_EQ(after.reserved1, 0u);
}

TEST(Allocation, PeakRecordsBlocksInUseAtThatMoment) {
    const MemoryStats before = memoryStats();
    const std::uint64_t inUse = before.bytesAllocated - before.bytesFreed;
    // Push well past any earlier peak so this test owns the new one.
    const std::size_t size = static_cast<std::size_t>(before.peakBytesInUse - inUse) + (1u << 20);
    void* a = allocate(16);
    void* b = allocate(size);
    const MemoryStats peak = memoryStats();
    EXPECT_GE(peak.peakBytesInUse, inUse + size);
    EXPECT_EQ(peak.blocksAtPeak, peak.allocations - peak.frees);
    deallocate(b);
    deallocate(a);
    EXPECT_EQ(memoryStats().peakBytesInUse, peak.peakBytesInUse);
}

TEST(Allocation, CountsStayConsistentUnderConcurrentUse) {
    const MemoryStats before = memoryStats();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                deallocate(allocate(static_cast<std::size_t>(i % 64 + 1)));
            }
        });
    }
    // A snapshot taken while others allocate is from one instant: what is in use then never
    // exceeds the peak, and no block is freed before it was counted as allocated.
    bool torn = false;
    for (int i = 0; i < 2000; ++i) {
        const MemoryStats now = memoryStats();
        torn = torn || now.bytesAllocated - now.bytesFreed > now.peakBytesInUse ||
               now.frees > now.allocations || now.bytesFreed > now.bytesAllocated;
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(torn);
    const MemoryStats after = memoryStats();
    EXPECT_EQ(after.allocations - before.allocations, 8000u);
    EXPECT_EQ(after.frees - before.frees, 8000u);
    EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, after.bytesFreed - before.bytesFreed);
}

TEST(Allocation, ReplacedHooksReceiveTheirUserData) {
    struct Log {
        int allocations = 0;
        int frees = 0;
    } log;
    const AllocationHooks original = allocationHooks();
    AllocationHooks spy = countingAllocationHooks();
    spy.user = &log;
    spy.allocate = [](void* user, std::size_t size) -> void* {
        ++static_cast<Log*>(user)->allocations;
        return std::malloc(size);
    };
    spy.free = [](void* user, void* block) {
        ++static_cast<Log*>(user)->frees;
        std::free(block);
    };
    setAllocationHooks(spy);
    deallocate(allocate(8));
    setAllocationHooks(original);
    EXPECT_EQ(log.allocations, 1);
    EXPECT_EQ(log.frees, 1);
}

}  // namespace
}  // namespace mox
