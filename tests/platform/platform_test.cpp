#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/heap.h"
#include "platform/pages.h"
#include "platform/process.h"
#include "platform/system_error.h"
#include "platform/thread.h"

namespace mox::platform {
namespace {

TEST(PlatformClock, MonotonicNeverGoesBackAndLocalTimeIsPlausible) {
    const std::uint64_t first = monotonicNanoseconds();
    const std::uint64_t second = monotonicNanoseconds();
    EXPECT_LE(first, second);

    const LocalTime now = localTimeNow();
    EXPECT_GE(now.year, 2020);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LT(now.millisecond, 1000);
}

TEST(PlatformClock, UtcBreakdownOfKnownInstant) {
    UtcTime t;
    ASSERT_TRUE(utcTimeFromSeconds(86400 + 3661, t));
    EXPECT_EQ(t.year, 1970);
    EXPECT_EQ(t.month, 1);
    EXPECT_EQ(t.day, 2);
    EXPECT_EQ(t.hour, 1);
    EXPECT_EQ(t.minute, 1);
    EXPECT_EQ(t.second, 1);
}

TEST(PlatformProcess, ExecutableNameHasNoFolder) {
    const std::string name = executableFileName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_EQ(name.find('\\'), std::string::npos);
}

TEST(PlatformSystemError, TextIsCutToBufferAndAlwaysTerminated) {
    char big[256];
    EXPECT_GT(systemErrorText(2, big, sizeof big), 0u);
    EXPECT_GT(std::strlen(big), 0u);

    char tiny[4];
    EXPECT_EQ(systemErrorText(2, tiny, sizeof tiny), 3u);
    EXPECT_EQ(std::strlen(tiny), 3u);

    char none[1] = {'x'};
    EXPECT_EQ(systemErrorText(2, none, 0), 0u);
    EXPECT_EQ(none[0], 'x');
}

TEST(PlatformPages, RegionIsWritableWholeAndReleasable) {
    auto* region = static_cast<unsigned char*>(reserveRegion(kRegionSize));
    ASSERT_NE(region, nullptr);
    region[0] = 1;
    region[kRegionSize - 1] = 2;
    EXPECT_EQ(region[0] + region[kRegionSize - 1], 3);
    releaseRegion(region, kRegionSize);
}

TEST(PlatformCriticalSection, SameThreadMayReenter) {
    CriticalSection section;
    std::lock_guard<CriticalSection> outer(section);
    std::lock_guard<CriticalSection> inner(section);
    SUCCEED();
}

TEST(PlatformThread, IdIsStablePerThread) {
    EXPECT_EQ(currentThreadId(), currentThreadId());
}

TEST(PlatformHeap, BlockSizeCoversRequest) {
    void* block = std::malloc(10);
    EXPECT_GE(heapBlockSize(block), 10u);
    EXPECT_EQ(heapBlockSize(nullptr), 0u);
    std::free(block);
}

}  // namespace
}  // namespace mox::platform
