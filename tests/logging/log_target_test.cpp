#include "logging/log_target.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_test_support.h"
#include "logging/console_log_targets.h"
#include "logging/log_format.h"
#include "logging/plugin_log_target.h"
#include "plugin/entry/host_services.h"

namespace mox {
namespace {

using testing::CapturingTarget;
using testing::LogCoreTest;

TEST(LogTarget, DefaultsAndNames) {
    CapturingTarget target;
    EXPECT_FALSE(target.isAttached());
    EXPECT_EQ(target.level(), kLogWarn);
    EXPECT_EQ(target.includedGroups(), 0u);
    EXPECT_EQ(target.excludedGroups(), 0u);
    EXPECT_STREQ(target.format(), "#D| #L| #G| #M");
    EXPECT_STREQ(target.LogTarget::name(), "LogTarget");

    StdErrLogTarget err;
    StdOutLogTarget out;
    DebuggerConsoleLogTarget dbg;
    PluginLogTarget plugin(nullptr);
    EXPECT_STREQ(err.name(), "StdErrLogTarget");
    EXPECT_STREQ(err.BaseConsoleLogTarget::name(), "BaseConsoleLogTarget");
    EXPECT_STREQ(out.name(), "StdOutLogTarget");
    EXPECT_STREQ(dbg.name(), "DebuggerConsoleLogTarget");
    EXPECT_STREQ(plugin.name(), "PluginLogTarget");
    EXPECT_EQ(out.flushMode(), 0u);
}

TEST(LogTarget, SetGroupsRemovesExcludedBitsFromIncluded) {
    struct Row {
        LogGroups included;
        LogGroups excluded;
        LogGroups storedIncluded;
        const char* reason;
    };
    const Row rows[] = {
        {3, 1, 2, "bit 0 is both: excluded wins"},
        {1, 1, 0, "everything excluded leaves included empty, which means all but excluded"},
        {makeLogGroups(0, 5), makeLogGroups(0, 4), makeLogGroups(0, 1), "high half too"},
        {0, kGroupXtr, 0, "nothing included"},
    };
    CapturingTarget target;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        LogTargetInterface* iface = target.managerInterface();
        iface->functions->setGroups(iface, lowHalf(row.included), highHalf(row.included),
                                    lowHalf(row.excluded), highHalf(row.excluded));
        EXPECT_EQ(iface->functions->getIncludedGroups(iface), row.storedIncluded);
        EXPECT_EQ(iface->functions->getExcludedGroups(iface), row.excluded);
    }
}

TEST_F(LogCoreTest, BuiltInTargetsRouteByGroup) {
    struct Row {
        LogGroups groups;
        bool stderrTakes;
        bool stdoutTakes;
        bool debuggerTakes;
        const char* reason;
    };
    const Row rows[] = {
        {kGroupDbg | kGroupGen, false, false, true, "stderr excludes GEN, stdout excludes DBG"},
        {kGroupDbg, true, false, true, "framework messages"},
        {kGroupGen, false, true, false, "general output goes to stdout only"},
        {0, true, true, true, "an empty set passes every group test"},
        {kGroupNet, false, false, false, "in no included set"},
        {kGroupDbg | kGroupNet, true, false, true, "experiments' set"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(logTargetAccepts(LogManager::stderrTarget(), kLogWarn, row.groups),
                  row.stderrTakes);
        EXPECT_EQ(logTargetAccepts(LogManager::stdoutTarget(), kLogWarn, row.groups),
                  row.stdoutTakes);
        EXPECT_EQ(logTargetAccepts(LogManager::debuggerTarget(), kLogWarn, row.groups),
                  row.debuggerTakes);
        // Below their level 1 none takes anything.
        EXPECT_FALSE(logTargetAccepts(LogManager::debuggerTarget(), kLogOkay, row.groups));
    }
}

TEST_F(LogCoreTest, ConsoleTargetsRenderAndWriteTheirStreams) {
    LogTargetInterface* out = LogManager::stdoutTarget();
    out->functions->attach(out);
    static_cast<StdOutLogTarget*>(out->target)->setFlushMode(1);
    ::testing::internal::CaptureStdout();
    LogManager::write(kLogWarn, kGroupGen, "result %d", 42);
    LogManager::write(kLogWarn, kGroupDbg, "not for stdout");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "result 42\n");

    LogTargetInterface* err = LogManager::stderrTarget();
    err->functions->attach(err);
    ::testing::internal::CaptureStderr();
    LogManager::write(kLogError, kGroupDbg, "broken");
    err->target->flush();
    const std::string line = ::testing::internal::GetCapturedStderr();
    const std::string head = executableName() + "(";
    const std::string tail = "):  ERROR| broken\n";
    ASSERT_GT(line.size(), head.size() + tail.size()) << line;
    EXPECT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
}

TEST_F(LogCoreTest, ConfiguringAnAttachedTargetDoesNotAttachItTwice) {
    CapturingTarget target;
    LogTargetConfig config;
    config.level = 0;
    target.configure(config);
    target.configure(config);
    target.attach();
    EXPECT_EQ(LogManager::attachedTargetCount(), 1u);

    config.level = kLogError;
    config.included = 3;
    config.excluded = 1;
    config.format = "#M";
    target.configure(config);
    EXPECT_EQ(LogManager::attachedTargetCount(), 1u);
    EXPECT_EQ(target.level(), kLogError);
    EXPECT_EQ(target.includedGroups(), 2u);
    EXPECT_EQ(target.excludedGroups(), 1u);
    EXPECT_STREQ(target.format(), "#M");

    LogManager::write(kLogError, kGroupDbg, "once");
    LogManager::write(kLogError, kGroupGen, "once too");
    EXPECT_EQ(target.messages(), (std::vector<std::string>{"once too"}));
}

TEST_F(LogCoreTest, DestroyingAnAttachedTargetDetachesIt) {
    {
        CapturingTarget target;
        target.attach();
        EXPECT_EQ(LogManager::attachedTargetCount(), 1u);
    }
    EXPECT_EQ(LogManager::attachedTargetCount(), 0u);
    LogManager::write(kLogAlways, 0, "no target left");
}

// A stand-in for the host that keeps what HostLog receives.
struct FakeHost {
    HostServices services{};
    struct Call {
        std::int32_t level;
        std::string text;
    };
    std::vector<Call> calls;

    FakeHost() { services.hostLog = &FakeHost::hostLog; }

    static void MOX_CDECL hostLog(HostServices* self, std::int32_t level, const char* text) {
        // `services` is the first member, so the table's address is the host's.
        reinterpret_cast<FakeHost*>(self)->calls.push_back({level, text});
    }
};
static_assert(offsetof(FakeHost, services) == 0);

TEST(PluginLog, SetUpRoutesEveryPassingMessageToTheHostOnly) {
    LogReference reference;
    FakeHost host;
    std::unique_ptr<PluginLogTarget> target = setUpPluginLog(&host.services);
    ASSERT_NE(target, nullptr);

    EXPECT_EQ(LogManager::attachedTargetCount(), 1u);
    EXPECT_EQ(LogManager::findTarget("PluginLogTarget"), target->managerInterface());
    EXPECT_EQ(LogManager::getLevel(), kLogOkay);
    EXPECT_EQ(LogManager::getSuppressedGroups(), kGroupXtr);
    EXPECT_EQ(target->level(), kLogOkay);
    EXPECT_EQ(target->includedGroups(), 0u);
    EXPECT_EQ(target->excludedGroups(), 0u);
    EXPECT_STREQ(target->format(), "#D| #L| #G| #M");

    LogManager::write(kLogOkay, kGroupDbg, "%s: started", "network-testing");
    LogManager::write(kLogAlways, kGroupXtr, "suppressed");
    LogManager::write(kLogError, kGroupDbg | kGroupNet, "probe %d lost", 2);
    ASSERT_EQ(host.calls.size(), 2u);
    EXPECT_EQ(host.calls[0].level, kLogOkay);
    EXPECT_EQ(host.calls[0].text, "network-testing: started");  // the message, not a line
    EXPECT_EQ(host.calls[1].level, kLogError);
    EXPECT_EQ(host.calls[1].text, "probe 2 lost");

    // Set up once: a second call finds the target and changes nothing.
    EXPECT_EQ(setUpPluginLog(&host.services), nullptr);
    EXPECT_EQ(LogManager::attachedTargetCount(), 1u);
}

TEST(PluginLog, TargetWithoutHostLogIgnoresRecords) {
    HostServices services{};
    PluginLogTarget target(&services);
    LogRecord record;
    EXPECT_TRUE(target.writeRecord(record));
    PluginLogTarget none(nullptr);
    EXPECT_TRUE(none.writeRecord(record));
}

}  // namespace
}  // namespace mox
