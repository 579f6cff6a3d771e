#include "logging/log_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "logging/log_core_functions.h"
#include "platform/event_tracing.h"

namespace mox {
namespace {

using testing::CapturingTarget;
using testing::LogCoreTest;

TEST_F(LogCoreTest, DefaultsOfAFreshManager) {
    EXPECT_TRUE(LogManager::isAvailable());
    EXPECT_EQ(LogManager::getLevel(), kLogWarn);
    EXPECT_EQ(LogManager::getSuppressedGroups(), kGroupXtr);
    EXPECT_FALSE(LogManager::isMuted());
    EXPECT_EQ(LogManager::references(), 1);
}

TEST(LogManagerLifecycle, CreationAttachesStdErrAndDebuggerAndReleaseDetachesThem) {
    LogManager::addRef();
    LogTargetInterface* err = LogManager::stderrTarget();
    LogTargetInterface* out = LogManager::stdoutTarget();
    LogTargetInterface* dbg = LogManager::debuggerTarget();
    EXPECT_EQ(LogManager::attachedTargetCount(), 2u);
    EXPECT_EQ(LogManager::findTarget("StdErrLogTarget"), err);
    EXPECT_EQ(LogManager::findTarget("DebuggerConsoleLogTarget"), dbg);
    EXPECT_EQ(LogManager::findTarget("StdOutLogTarget"), nullptr);
    EXPECT_EQ(out->functions->isAttached(out), 0);

    struct Row {
        LogTargetInterface* target;
        const char* name;
        LogGroups included;
        LogGroups excluded;
        const char* format;
    };
    const Row rows[] = {
        {err, "StdErrLogTarget", kGroupDbg, kGroupGen, "#E(#T): #L| #M"},
        {out, "StdOutLogTarget", kGroupGen, kGroupDbg, "#M"},
        {dbg, "DebuggerConsoleLogTarget", kGroupDbg, 0, "#E(#T): #L| #M"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const LogTargetFunctions& f = *row.target->functions;
        EXPECT_STREQ(f.getName(row.target), row.name);
        EXPECT_EQ(f.getLevel(row.target), kLogWarn);
        EXPECT_EQ(f.getIncludedGroups(row.target), row.included);
        EXPECT_EQ(f.getExcludedGroups(row.target), row.excluded);
        EXPECT_STREQ(f.getFormat(row.target), row.format);
        EXPECT_EQ(f.isValid(row.target), 1);
    }

    // A second reference keeps the manager alive; the last one destroys it.
    LogManager::addRef();
    LogManager::release();
    EXPECT_EQ(LogManager::references(), 1);
    EXPECT_EQ(LogManager::attachedTargetCount(), 2u);
    LogManager::release();
    EXPECT_EQ(LogManager::references(), 0);
    // An unbalanced release is ignored rather than driving the count negative.
    LogManager::release();
    EXPECT_EQ(LogManager::references(), 0);
}

TEST(LogManagerLifecycle, LastReleaseDetachesLastAttachedFirst) {
    std::vector<std::string> order;
    CapturingTarget first("first", &order);
    CapturingTarget second("second", &order);
    {
        LogReference reference;
        for (LogTargetInterface* builtIn :
             {LogManager::stderrTarget(), LogManager::debuggerTarget()}) {
            builtIn->functions->detach(builtIn);
        }
        first.attach();
        second.attach();
    }
    EXPECT_EQ(order, (std::vector<std::string>{"second", "first"}));
    EXPECT_FALSE(first.isAttached());
    EXPECT_FALSE(second.isAttached());
}

TEST_F(LogCoreTest, ManagerFiltersByMuteLevelAndSuppressedGroups) {
    CapturingTarget target;
    attachOpen(target);

    LogManager::write(kLogOkay, kGroupDbg, "okay dropped by the default threshold");
    LogManager::write(kLogWarn, kGroupDbg, "warn passes");
    LogManager::write(kLogAlways, kGroupXtr | kGroupDbg, "xtr dropped while suppressed");
    LogManager::setLevel(kLogOkay);
    LogManager::write(kLogOkay, kGroupDbg, "okay passes after setLevel(0)");
    LogManager::mute();
    LogManager::write(kLogAlways, 0, "muted");
    LogManager::unmute();
    LogManager::setSuppressedGroups(0);
    LogManager::write(kLogOkay, kGroupXtr, "xtr passes when nothing is suppressed");

    EXPECT_EQ(target.messages(),
              (std::vector<std::string>{"warn passes", "okay passes after setLevel(0)",
                                        "xtr passes when nothing is suppressed"}));
}

TEST_F(LogCoreTest, TargetsApplyTheirOwnLevelAndGroups) {
    LogManager::setLevel(kLogOkay);
    CapturingTarget errorsOnly("errorsOnly");
    CapturingTarget netOnly("netOnly");
    LogTargetConfig config;
    config.level = kLogError;
    errorsOnly.configure(config);
    config.level = 0;
    config.included = kGroupNet;
    netOnly.configure(config);

    LogManager::write(kLogOkay, kGroupDbg | kGroupNet, "okay net");
    LogManager::write(kLogError, kGroupDbg, "error dbg");
    LogManager::write(kLogOkay, 0, "okay without groups");

    EXPECT_EQ(errorsOnly.messages(), (std::vector<std::string>{"error dbg"}));
    EXPECT_EQ(netOnly.messages(), (std::vector<std::string>{"okay net", "okay without groups"}));
    const auto entries = netOnly.entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0].level, kLogOkay);
    EXPECT_EQ(entries[0].groups, kGroupDbg | kGroupNet);
}

TEST_F(LogCoreTest, WriteFormatsWithTheMessageFormatterAndTruncates) {
    CapturingTarget target;
    attachOpen(target);
    LogManager::write(kLogError, kGroupDbg, "%s: %d of %2", "probes", 3, 4);
    LogManager::write(kLogError, kGroupDbg, "%s", std::string(5000, 'x').c_str());
    LogManager::writeText(kLogError, kGroupDbg, "100% as is");

    const auto messages = target.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "probes: 3 of 3");
    EXPECT_EQ(messages[1], std::string(kLogLineSize - 1, 'x'));
    EXPECT_EQ(messages[2], "100% as is");
}

TEST_F(LogCoreTest, TargetListOperations) {
    CapturingTarget a("same");
    CapturingTarget b("same");
    CapturingTarget c("other");
    LogManager::attachTarget(a.managerInterface());
    LogManager::attachTarget(b.managerInterface());
    LogManager::attachTarget(c.managerInterface());
    LogManager::attachTarget(a.managerInterface());  // already attached: not listed twice
    EXPECT_EQ(LogManager::attachedTargetCount(), 3u);
    EXPECT_EQ(LogManager::findTarget("same"), a.managerInterface());
    EXPECT_EQ(LogManager::findTarget("missing"), nullptr);

    LogManager::detachTarget(a.managerInterface());
    EXPECT_FALSE(a.isAttached());
    EXPECT_EQ(LogManager::findTarget("same"), b.managerInterface());
    EXPECT_EQ(LogManager::attachedTargetCount(), 2u);
    // A detached target can come back, at the end of the list.
    a.attach();
    EXPECT_EQ(LogManager::attachedTargetCount(), 3u);
    EXPECT_EQ(LogManager::findTarget("same"), b.managerInterface());
}

TEST_F(LogCoreTest, ConcurrentWritersDeliverEveryRecordWhole) {
    CapturingTarget target;
    attachOpen(target);
    CapturingTarget reconfigured("reconfigured");
    constexpr int kThreads = 4;
    constexpr int kMessages = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i) {
                LogManager::write(kLogWarn, kGroupNet, "thread %d message %d", t, i);
            }
        });
    }
    // Meanwhile another thread reconfigures a second target and changes the filters.
    threads.emplace_back([&reconfigured] {
        LogTargetConfig config;
        for (int i = 0; i < 50; ++i) {
            config.level = static_cast<std::uint32_t>(i % 2);
            reconfigured.configure(config);
            reconfigured.setGroups(kGroupNet, kGroupDbg);
            LogManager::setSuppressedGroups(kGroupXtr);
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }

    const auto messages = target.messages();
    ASSERT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kMessages));
    std::vector<int> nextPerThread(kThreads, 0);
    for (const std::string& message : messages) {
        int thread = -1;
        int index = -1;
        ASSERT_EQ(std::sscanf(message.c_str(), "thread %d message %d", &thread, &index), 2)
            << message;
        ASSERT_GE(thread, 0);
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(index, nextPerThread[thread]++) << "records of one thread arrive in order";
    }
}

TEST_F(LogCoreTest, TableOfFunctionsReachesTheSameCore) {
    const LogCoreFunctions& log = logCoreFunctions();
    CapturingTarget target;
    log.attachTarget(target.managerInterface());
    target.setLevel(kLogOkay);
    EXPECT_EQ(log.isAvailable(), 1);
    log.setLevel(kLogOkay);
    EXPECT_EQ(LogManager::getLevel(), kLogOkay);
    log.setSuppressedGroups(0, 1);
    EXPECT_EQ(log.getSuppressedGroups(), 1ull << 32);
    log.write(kLogOkay, 0, 1, "suppressed high-half group");
    log.write(kLogOkay, 65, 0, "100% kept as is");
    EXPECT_EQ(target.messages(), (std::vector<std::string>{"100% kept as is"}));
    EXPECT_EQ(log.findTarget("CapturingTarget"), target.managerInterface());

    char groups[8];
    EXPECT_EQ(log.formatGroups(65, 0, groups, sizeof groups), 7u);
    EXPECT_STREQ(groups, "DBG;NET");
    EXPECT_EQ(log.formatGroups(65, 0, groups, 4), 3u);  // cut, still terminated
    EXPECT_STREQ(groups, "DBG");
    EXPECT_STREQ(log.levelName(kLogError), " ERROR");
    platform::LocalTime time{2024, 2, 29, 23, 5, 9, 7};
    char stamp[32];
    log.formatTimestamp(&time, stamp, sizeof stamp);
    EXPECT_STREQ(stamp, "2024-02-29T23:05:09.007");
}

TEST(LogEventTracing, ProvidersAreRegisteredWhenTheLibraryLoads) {
    EXPECT_TRUE(platform::eventTracingRegistered());
}

}  // namespace
}  // namespace mox
