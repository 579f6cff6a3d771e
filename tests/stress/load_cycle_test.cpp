// Load, run, unload, again: the shipped library is loaded through its export, initialised,
// runs its game-latency experiment against the probe reflector, is shut down and unloaded,
// 200 times in one process. Nothing may stay behind: no thread, no socket or other handle,
// no growth of the process's memory after the first rounds, and the library's own counters
// read the same after every Shutdown.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "stress_support.h"

namespace mox::stress {
namespace {

using namespace std::chrono_literals;

constexpr int kRounds = 200;
// Rounds after which the process's memory must have settled (the allocator's arenas, the
// runtime's first-use caches).
constexpr int kSettlingRounds = 20;
// How much the resident memory may still move after settling: page-granular allocator noise,
// far below what one lost block per round (or a module's runtime left mapped) would add.
constexpr std::size_t kResidentSlack = 1024 * 1024;

struct RoundFigures {
    std::optional<std::size_t> threads;
    std::optional<std::size_t> handles;
    std::optional<std::size_t> resident;
    std::int64_t bytesAfterShutdown = 0;
    std::int64_t blocksAfterShutdown = 0;
    std::uint64_t peakBytes = 0;
    double milliseconds = 0;
};

std::string text(const std::optional<std::size_t>& value) {
    return value ? std::to_string(*value) : std::string("n/a");
}

// One round, with a reflector of its own (it records every sender it sees, so one kept for all
// rounds would grow); false (with a failure recorded) when the library did not load or run.
bool runRound(RoundFigures& figures) {
    const auto begin = std::chrono::steady_clock::now();
    auto reflector = startReflector();
    if (!reflector) {
        return false;
    }
    host::HostDouble host;
    Plan plan;
    plan.gameLatencyTimeoutSecs = 1;
    serveHost(host, configuration(*reflector, plan), 0ms);
    if (!host.loadLibrary(pluginLibrary())) {
        ADD_FAILURE() << "load: " << host.libraryError();
        return false;
    }
    if (!host.initialize()) {
        ADD_FAILURE() << "Initialize returned false";
        return false;
    }
    // The initial configuration starts the background run; it ends once every probe is
    // answered.
    if (!waitUntil([&] { return statusOf(host, "game_latency") == "Completed"; }, 10s)) {
        ADD_FAILURE() << "the game-latency run did not complete";
        return false;
    }
    const host::CallAnswer results =
        host.call(functionFor(RequestMethod::Get, kGameLatencyPath), host::kGet, kGameLatencyPath);
    const Value& entries = results.body.find("results");
    if (results.isError || entries.size() != 2 || entries.at(0).find("latency").isEmpty()) {
        ADD_FAILURE() << "no answered probes in the stored results: " << results.errorText;
        return false;
    }
    host.shutdown();
    const MemoryStats stats = host.memoryStatsAfterShutdown();
    figures.bytesAfterShutdown = bytesInUse(stats);
    figures.blocksAfterShutdown = blocksInUse(stats);
    figures.peakBytes = stats.peakBytesInUse;
    if (!host.unloadLibrary()) {
        ADD_FAILURE() << "unload refused";
        return false;
    }
    figures.milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    return true;
}

TEST(LoadCycleTest, LoadRunShutDownUnloadTwoHundredTimes) {
    const std::optional<std::size_t> threadsBefore = platform::threadCount();
    const std::optional<std::size_t> handlesBefore = platform::openHandleCount();
    std::printf("[ cycles   ] before: threads %s, handles %s, resident %s bytes\n",
                text(threadsBefore).c_str(), text(handlesBefore).c_str(),
                text(platform::residentMemoryBytes()).c_str());

    std::vector<RoundFigures> rounds;
    for (int r = 0; r < kRounds; ++r) {
        SCOPED_TRACE("round " + std::to_string(r + 1));
        RoundFigures figures;
        ASSERT_TRUE(runRound(figures));
        // Counted against the first round's figures: the first load may start what the process
        // keeps anyway (a sanitizer's background thread, the runtime's first-use state).
        if (!rounds.empty()) {
            // A joined thread leaves the process's task list a moment after the join returns.
            const std::optional<std::size_t> threads = rounds.front().threads;
            waitUntil([&] { return !threads || platform::threadCount() == threads; }, 2s);
        }
        figures.threads = platform::threadCount();
        figures.handles = platform::openHandleCount();
        figures.resident = platform::residentMemoryBytes();
        if (rounds.empty()) {
            // Not even the first round may leave a handle. A thread it may: the system or a
            // sanitizer's runtime starts a helper of its own on first use (Wine does, for its
            // sockets) and keeps it; every later round must leave exactly that.
            EXPECT_EQ(figures.handles, handlesBefore) << "sockets or other handles left behind";
            if (threadsBefore && figures.threads) {
                EXPECT_LE(*figures.threads, *threadsBefore + 1) << "threads left behind";
            }
        } else {
            EXPECT_EQ(figures.threads, rounds.front().threads) << "threads left behind";
            EXPECT_EQ(figures.handles, rounds.front().handles)
                << "sockets or other handles left behind";
            // The same blocks every time. Their bytes are counted as the heap's usable block
            // sizes, which the heap may round up by one granule when it does not split a free
            // block, so bytes may differ by that much per block.
            const RoundFigures& first = rounds.front();
            EXPECT_EQ(figures.blocksAfterShutdown, first.blocksAfterShutdown);
            EXPECT_LE(std::llabs(figures.bytesAfterShutdown - first.bytesAfterShutdown),
                      16 * first.blocksAfterShutdown);
        }
        rounds.push_back(figures);
        if (r < 3 || (r + 1) % 20 == 0) {
            std::printf(
                "[ cycles   ] round %3d: %.1f ms, threads %s, handles %s, resident %s "
                "bytes, library bytes in use after Shutdown %lld (blocks %lld), peak "
                "%llu\n",
                r + 1, figures.milliseconds, text(figures.threads).c_str(),
                text(figures.handles).c_str(), text(figures.resident).c_str(),
                static_cast<long long>(figures.bytesAfterShutdown),
                static_cast<long long>(figures.blocksAfterShutdown),
                static_cast<unsigned long long>(figures.peakBytes));
        }
    }

    // Resident memory flat once settled. Sanitizer builds keep freed memory in quarantine
    // and grow their shadow, so there the figures are printed but not judged.
    const std::optional<std::size_t> settled = rounds[kSettlingRounds - 1].resident;
    const std::optional<std::size_t> last = rounds.back().resident;
    if (settled && last) {
        const long long growth = static_cast<long long>(*last) - static_cast<long long>(*settled);
        std::printf("[ cycles   ] resident memory from round %d to %d: %+lld bytes\n",
                    kSettlingRounds, kRounds, growth);
        if (!kSanitizedBuild) {
            EXPECT_LE(*last, *settled + kResidentSlack) << "memory grows with every cycle";
        }
    }
}

}  // namespace
}  // namespace mox::stress
