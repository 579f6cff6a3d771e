// Allocation failure at every allocation point of the load, of Initialize and of a
// configuration update that starts the experiments' threads: for N = 1, 2, ... the N-th
// allocation the plugin makes on the host's thread fails, until a pass makes fewer than N.
// Every pass must end cleanly: a failed load leaves the record as the host wrote it, a failed
// Initialize answers false (and the host's Shutdown still works), and once the plugin is shut
// down every block it took is back (the allocation counters balance).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "allocation_balance.h"
#include "fault_test_support.h"
#include "logging/log_manager.h"
#include "logging/log_target.h"

namespace mox::faults {
namespace {

// Every experiment starts at the first configuration: game latency against a port nobody
// serves, with a short wait, the two series experiments with one probe each. Shutdown ends
// them at once, so a pass stays short.
Value startingConfig() {
    return configValue({{"GameLatencyProbeServers", text("127.0.0.1")},
                        {"GameLatencyProbePort", unsignedNumber(9)},
                        {"GameLatencyProbability", number(1.0)},
                        {"GameLatencyTimeoutSecs", number(0.05)},
                        {"GameLatencyProbeCount", unsignedNumber(1)},
                        {"IPv4OptionsProbeServers", text("127.0.0.1")},
                        {"IPv4OptionsProbePort", unsignedNumber(9)},
                        {"IPv4OptionsProbability", number(1.0)},
                        {"IPv4OptionsProbeCount", unsignedNumber(1)},
                        {"IPv6SupportProbeServers", text("::1")},
                        {"IPv6SupportProbePort", unsignedNumber(9)},
                        {"IPv6SupportProbability", number(1.0)},
                        {"IPv6SupportProbeCount", unsignedNumber(1)}});
}

// Counts the log records whose message contains `part` (none when it is null). It allocates
// nothing: it runs inside the plugin's code, where allocations are being failed.
class CountingTarget final : public LogTarget {
  public:
    explicit CountingTarget(const char* part) : part_(part) {
        LogTargetConfig config;
        config.level = 0;
        configure(config);
    }
    ~CountingTarget() override { LogTarget::detach(); }
    const char* name() const override { return "CountingTarget"; }
    bool writeRecord(const LogRecord& record) override {
        if (part_ != nullptr && std::strstr(record.message, part_) != nullptr) {
            count_.fetch_add(1);
        }
        return true;
    }
    std::size_t count() const { return count_.load(); }

  private:
    const char* part_;
    std::atomic<std::size_t> count_{0};
};

// What one pass saw.
struct Pass {
    std::uint64_t allocations = 0;  // made by the plugin on the host's thread while armed
    bool failed = false;            // the armed allocation happened and failed
    bool succeeded = false;         // the stage under test reported success
    bool clean = true;              // the stage's failure left things as promised
    std::string problem;
    std::int64_t liveBlocks = 0;        // blocks left once the plugin was shut down
    std::size_t threadStartErrors = 0;  // "Could not start its thread" lines at the host
};

enum class Stage { Load, Initialize, ConfigUpdate };

const char* stageName(Stage stage) {
    switch (stage) {
        case Stage::Load:
            return "load";
        case Stage::Initialize:
            return "Initialize";
        case Stage::ConfigUpdate:
            return "configuration update";
    }
    return "?";
}

// One pass of `stage` with its `nth` allocation failing (0: none fails).
Pass runPass(Stage stage, std::uint64_t nth) {
    Pass pass;
    test::LayerBalance balance;
    {
        PluginHarness harness;
        const Value config = startingConfig();
        if (stage != Stage::ConfigUpdate) {
            harness.host.serve(host::kGet, kNetworkTestingConfigPath,
                               host::Reply::withValue(config));
        }
        // An 18.2.7 host: a successful load overwrites the version with the plugin's 18.0.0.
        if (stage == Stage::Load) {
            FailingAllocations::arm(nth);
        }
        const bool loaded = harness.host.load(&load_network_testing, 18, 2, 7);
        if (stage == Stage::Load) {
            pass.allocations = FailingAllocations::disarm();
            pass.failed = FailingAllocations::failed();
            pass.succeeded = loaded;
            const PluginLoadRecord& record = harness.host.record();
            if (!loaded && (record.apiMinor != 2 || record.apiPatch != 7 ||
                            record.entryTable != nullptr || record.handle != nullptr)) {
                pass.clean = false;
                pass.problem = "a failed load wrote to the record";
            }
        }
        if (loaded) {
            if (stage == Stage::Initialize) {
                FailingAllocations::arm(nth);
            }
            const bool initialised = harness.host.initialize();
            if (stage == Stage::Initialize) {
                pass.allocations = FailingAllocations::disarm();
                pass.failed = FailingAllocations::failed();
                pass.succeeded = initialised;
            } else if (!initialised) {
                pass.clean = false;
                pass.problem = "Initialize failed without a fault";
            }
            if (stage == Stage::ConfigUpdate) {
                FailingAllocations::arm(nth);
                pass.succeeded = harness.update(config);
                pass.allocations = FailingAllocations::disarm();
                pass.failed = FailingAllocations::failed();
            }
            // The plugin still answers, whatever failed.
            const std::map<std::string, std::string> statuses = harness.statuses();
            if (std::any_of(statuses.begin(), statuses.end(),
                            [](const auto& s) { return s.second == "?"; })) {
                pass.clean = false;
                pass.problem = "the experiments resource did not answer";
            }
            pass.threadStartErrors = harness.logLinesWith("Could not start its thread");
            harness.host.shutdown();
            if (!harness.host.contractViolations().empty()) {
                pass.clean = false;
                pass.problem = harness.host.contractViolations().front();
            }
        }
    }
    pass.liveBlocks = balance.liveBlocks();
    return pass;
}

// The line a failed stage must leave in the log.
const char* failureLine(Stage stage) {
    switch (stage) {
        case Stage::Load:
            return "network-testing: Plugin load failed: ";
        case Stage::Initialize:
            return "network-testing: Initialize failed: ";
        case Stage::ConfigUpdate:
            return nullptr;  // an update's failures are logged by each experiment, or dropped
    }
    return "";
}

TEST(AllocationFaults, EveryAllocationPointOfLoadInitializeAndAnUpdateFailsCleanly) {
    // The log core is held for the whole test, its own outputs quiet, so the failure lines of
    // every pass can be counted.
    const LogReference logging;
    for (LogTargetInterface* builtIn :
         {LogManager::stderrTarget(), LogManager::stdoutTarget(), LogManager::debuggerTarget()}) {
        builtIn->functions->detach(builtIn);
    }
    FailingAllocations faults;
    for (Stage stage : {Stage::Load, Stage::Initialize, Stage::ConfigUpdate}) {
        SCOPED_TRACE(stageName(stage));
        CountingTarget failureLines(failureLine(stage));
        // A first pass without a fault creates what lives for the process (the log core's
        // first-use state, the socket layer's start-up...) and counts the points.
        const Pass clean = runPass(stage, 0);
        ASSERT_TRUE(clean.succeeded);
        ASSERT_GT(clean.allocations, 0u);

        std::uint64_t points = 0;
        std::uint64_t failedStages = 0;
        std::uint64_t absorbed = 0;  // a failure the stage survived and still succeeded
        std::uint64_t threadStartErrors = 0;
        std::vector<std::string> problems;
        for (std::uint64_t nth = 1;; ++nth) {
            Pass pass = runPass(stage, nth);
            if (!pass.failed) {
                EXPECT_TRUE(pass.succeeded) << "pass " << nth;
                break;  // fewer than nth allocations: every point has been tried
            }
            ++points;
            (pass.succeeded ? absorbed : failedStages) += 1;
            threadStartErrors += pass.threadStartErrors;
            if (pass.liveBlocks != 0) {
                // A block made once per process on a path only a failure takes is not a
                // leak; the same pass again must then balance.
                pass = runPass(stage, nth);
            }
            if (!pass.clean || pass.liveBlocks != 0) {
                problems.push_back(
                    "allocation " + std::to_string(nth) + ": " +
                    (pass.clean ? std::to_string(pass.liveBlocks) + " blocks left" : pass.problem));
            }
        }
        for (const std::string& problem : problems) {
            ADD_FAILURE() << problem;
        }
        if (stage != Stage::ConfigUpdate) {
            // One error line per failed stage (the repeated passes of the balance check
            // included, so at least as many).
            EXPECT_GE(failureLines.count(), failedStages);
        }
        EXPECT_GT(points, 0u);
        if (stage == Stage::ConfigUpdate) {
            // Among the points are the three workers' thread starts, each refused once.
            EXPECT_GE(threadStartErrors, 3u);
        }
        printFigure((std::string("allocation points tried, ") + stageName(stage)).c_str(),
                    std::to_string(points) + " (stage failed cleanly " +
                        std::to_string(failedStages) + ", error lines " +
                        std::to_string(failureLines.count()) + ", failure absorbed " +
                        std::to_string(absorbed) + ", thread starts refused " +
                        std::to_string(threadStartErrors) + ", problems " +
                        std::to_string(problems.size()) + ")");
    }
}

// Workers that run out of memory in the middle of their runs: each still ends "Completed",
// posts nothing it could not build, stores nothing, and the plugin answers and shuts down.
TEST(AllocationFaults, WorkersThatRunOutOfMemoryStillComplete) {
    FailingAllocations faults;
    PluginHarness harness;
    const Value config = configValue({{"GameLatencyProbeServers", text("127.0.0.1")},
                                      {"GameLatencyProbePort", unsignedNumber(9)},
                                      {"GameLatencyProbability", number(1.0)},
                                      {"GameLatencyTimeoutSecs", number(0.3)},
                                      {"GameLatencyProbeCount", unsignedNumber(2)},
                                      {"IPv6SupportProbeServers", text("::1")},
                                      {"IPv6SupportProbePort", unsignedNumber(9)},
                                      {"IPv6SupportProbability", number(1.0)},
                                      {"IPv6SupportProbeCount", unsignedNumber(2)}});
    ASSERT_TRUE(harness.start(&config));
    FailingAllocations::failOtherThreads(true);
    const bool completed = waitFor([&] {
        const auto statuses = harness.statuses();
        return statuses.at("game_latency") == "Completed" &&
               statuses.at("ipv6_support") == "Completed";
    });
    FailingAllocations::failOtherThreads(false);
    EXPECT_TRUE(completed) << "an experiment stayed InProgress";
    EXPECT_TRUE(harness.posts("probes__game_latency").empty());
    EXPECT_TRUE(harness.posts("probes__ipv6_support").empty());
    // Nothing was stored: a GET measures afresh (and now can).
    const host::CallAnswer answer = harness.get(kGameLatencyPath);
    EXPECT_FALSE(answer.isError) << answer.errorText;
    EXPECT_EQ(answer.body.find("results").size(), 2u);
    harness.host.shutdown();
}

}  // namespace
}  // namespace mox::faults
