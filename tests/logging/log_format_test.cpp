#include "logging/log_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "logging/log_groups.h"
#include "logging/log_report.h"
#include "platform/thread.h"

namespace mox {
namespace {

using testing::CapturingTarget;
using testing::LogCoreTest;

std::string render(const char* format, const LogRecord& record, std::size_t size = kLogLineSize) {
    std::string buffer(size, '\xFF');
    const std::size_t length = formatLine(record, format, buffer.data(), size);
    EXPECT_LT(length, size);
    EXPECT_EQ(buffer[length], '\0');
    return buffer.substr(0, length);
}

LogRecord sampleRecord() {
    LogRecord record;
    record.time = platform::LocalTime{2023, 7, 4, 9, 8, 7, 65};
    record.level = kLogError;
    record.groups = kGroupDbg | kGroupNet;
    record.message = "probe sent";
    return record;
}

TEST(LogFormat, LineTokens) {
    struct Row {
        const char* format;
        const char* expected;
        const char* reason;
    };
    const Row rows[] = {
        {"#D| #L| #G| #M", "2023-07-04T09:08:07.065|  ERROR| DBG;NET| probe sent\n", "default"},
        {"##M", "#M\n", "'#' then '#' is one '#', the 'M' after it is plain"},
        {"#x#%#", "x%\n", "unknown tokens give their character; a lone final '#' nothing"},
        {"", "\n", "empty format still ends the line"},
        {"#M\n", "probe sent\n", "no second newline"},
        {"100%s", "100%s\n", "printf conversions are not interpreted"},
    };
    const LogRecord record = sampleRecord();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(render(row.format, record), row.expected);
    }
}

TEST(LogFormat, LevelNamesAndOtherTokens) {
    LogRecord record = sampleRecord();
    const char* const names[] = {"  OKAY", "  WARN", " ERROR", "ALWAYS"};
    for (LogLevel level = 0; level < 4; ++level) {
        record.level = level;
        EXPECT_EQ(render("#L", record), std::string(names[level]) + "\n");
        EXPECT_STREQ(levelName(level), names[level]);
    }
    // The file name without its folder ("logging_tests", or "logging_tests.exe").
    EXPECT_EQ(executableName().substr(0, 13), "logging_tests");
    EXPECT_EQ(render("#E", record), executableName() + "\n");

    char expectedThread[32];
    std::snprintf(
        expectedThread, sizeof expectedThread, "%p\n",
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(platform::currentThreadId())));
    EXPECT_EQ(render("#T", record), expectedThread);

    const std::string elapsed = render("#H", record);
    ASSERT_EQ(elapsed.size(), 11u) << elapsed;  // "%06d.%03d\n"
    EXPECT_EQ(elapsed[6], '.');
}

TEST(LogFormat, LinesAreCutWithRoomForTheNewline) {
    const std::string longText(2 * kLogLineSize, 'm');
    LogRecord record = sampleRecord();
    record.message = longText.c_str();
    const std::string line = render("#M", record);
    ASSERT_EQ(line.size(), kLogLineSize - 1);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line[line.size() - 2], 'm');

    EXPECT_EQ(render("#L", record, 4), " E\n");
    EXPECT_EQ(render("#L", record, 2), "\n");
    EXPECT_EQ(render("#L", record, 1), "");
}

TEST(LogGroups, GroupNames) {
    struct Row {
        LogGroups groups;
        const char* expected;
        const char* reason;
    };
    const Row rows[] = {
        {kGroupDbg | kGroupNet, "DBG;NET", "network experiments' set, low half 65"},
        {0, "", "empty set"},
        {1ull << 9, "???", "unregistered slot"},
        {kGroupTst | kGroupDbg, "DBG;TST", "from bit 0 upwards"},
        {1ull << 63, "???", "highest slot"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(formatGroups(row.groups), row.expected);
        LogRecord record = sampleRecord();
        record.groups = row.groups;
        EXPECT_EQ(render("#G", record), std::string(row.expected) + "\n");
    }
    EXPECT_EQ(groupByName("NET"), kGroupNet);
    EXPECT_EQ(groupByName("DBGX"), kGroupDbg);  // first three characters only
    EXPECT_EQ(groupByName(""), 0u);
    EXPECT_EQ(groupByName(nullptr), 0u);
}

// The table is process-wide and only grows, so its whole history lives in this one test.
TEST(LogGroups, RegistrationFillsTheTableAndStopsWhenFull) {
    EXPECT_EQ(groupByName("ABCD"), 1ull << 8);
    EXPECT_EQ(groupByName("ABC"), 1ull << 8);
    EXPECT_EQ(groupName(8), "ABC");
    EXPECT_EQ(formatGroups(kGroupDbg | (1ull << 8)), "DBG;ABC");

    // Fill slots 9..63 from several threads at once: each name gets exactly one slot.
    std::vector<std::string> names;
    for (int i = 9; i < 64; ++i) {
        names.push_back("G" + std::to_string(i));
    }
    std::vector<LogGroups> bits(names.size());
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < names.size(); ++i) {
                const LogGroups bit = groupByName(names[i].c_str());
                if (t == 0) {
                    bits[i] = bit;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    LogGroups all = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        ASSERT_EQ(bits[i] & (bits[i] - 1), 0u) << "a single bit";
        EXPECT_EQ(all & bits[i], 0u) << "not shared with another name";
        all |= bits[i];
        EXPECT_EQ(groupByName(names[i].c_str()), bits[i]);
    }
    EXPECT_EQ(all, ~0ull << 9);

    // The 57th new name: the table is full, so no group and no change.
    EXPECT_EQ(groupByName("ZZZ"), 0u);
    EXPECT_EQ(groupByName("ZZZ"), 0u);
    EXPECT_EQ(groupName(63), "G63");
    EXPECT_EQ(groupByName("GEN"), kGroupGen);
    EXPECT_EQ(groupName(64), "???");
}

TEST(LogTimestamps, Texts) {
    const platform::LocalTime time{2001, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(formatTimestamp(time), "2001-02-03T04:05:06.007");
    EXPECT_EQ(formatFileTimestamp(time), "2001-02-03T04-05-06");

    const platform::LocalTime now = platform::localTimeNow();
    EXPECT_GE(now.year, 2020);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LT(now.millisecond, 1000);
}

TEST(LogReport, ReportText) {
    struct Row {
        const char* file;
        std::int32_t line;
        const char* function;
        const char* expression;
        const char* description;
        const char* expected;
        const char* reason;
    };
    const Row rows[] = {
        {nullptr, 0, nullptr, "ALE-8A14EBBK", nullptr,
         "Assertion failed!\n\nExpression: ALE-8A14EBBK",
         "only an expression: no trailing newline"},
        {"a.cpp", 12, "run", "x > 0", "too small",
         "Assertion failed!\n\nFile: a.cpp\nLine: 12\n\nFunction: run\n\nExpression: x > 0"
         "\n\nDescription: too small",
         "every part"},
        {"", -3, "", "", "why", "Assertion failed!\n\nLine: -3\n\n\n\nDescription: why",
         "empty texts are absent, negative line keeps its sign"},
        {nullptr, 0, nullptr, nullptr, nullptr, "Assertion failed!\n\n", "nothing present"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(
            formatReportText(row.file, row.line, row.function, row.expression, row.description),
            row.expected);
    }
}

TEST_F(LogCoreTest, AssertionReportIsLoggedAsAnErrorInDbg) {
    CapturingTarget target;
    attachOpen(target);
    reportAssertion("f.cpp", 7, nullptr, "ok()", nullptr);
    const auto entries = target.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, kLogError);
    EXPECT_EQ(entries[0].groups, kGroupDbg);
    EXPECT_EQ(entries[0].message, "Assertion failed!\n\nFile: f.cpp\nLine: 7\n\nExpression: ok()");
}

TEST_F(LogCoreTest, UtcTimeText) {
    CapturingTarget target;
    attachOpen(target);
    EXPECT_EQ(formatUtcTime(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(formatUtcTime(951782400), "2000-02-29T00:00:00Z");
    EXPECT_TRUE(target.messages().empty());

    const std::string report = "Assertion failed!\n\nExpression: ALE-8A14EBBK";
    struct Row {
        std::int64_t seconds;
        const char* reason;
    };
    const Row unconvertible[] = {
        {INT64_MAX, "beyond the calendar functions"},
        {67767976233532800, "2147483648-01-01: the first year past 32 bits"},
        {67768036191676799, "the calendar's last second, in a year past 32 bits"},
    };
    for (const Row& row : unconvertible) {
        SCOPED_TRACE(row.reason);
        const std::size_t before = target.messages().size();
        EXPECT_EQ(formatUtcTime(row.seconds), "");
        const std::vector<std::string> messages = target.messages();
        ASSERT_EQ(messages.size(), before + 1);
        EXPECT_EQ(messages.back(), report);
    }
}

struct FatalEnded {};

TEST_F(LogCoreTest, FatalReportIsLoggedBeforeTheFatalHandlerRuns) {
    CapturingTarget target;
    attachOpen(target);
    const FatalHandler previous = setFatalHandler([] { throw FatalEnded{}; });
    EXPECT_THROW(reportFatal(nullptr, 0, nullptr, "ALE-EECF0606", "refused"), FatalEnded);
    setFatalHandler(previous);
    EXPECT_EQ(target.messages(),
              (std::vector<std::string>{
                  "Assertion failed!\n\nExpression: ALE-EECF0606\n\nDescription: refused"}));
}

TEST(LogReportDeathTest, FatalReportIsLoggedThenAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The standard-error target is attached by default and takes level-2 "DBG" lines.
    EXPECT_DEATH(reportFatal(nullptr, 0, nullptr, "ALE-EECF0606", "host refused"),
                 "ERROR\\| Assertion failed!\n\nExpression: ALE-EECF0606\n\nDescription: "
                 "host refused");
}

}  // namespace
}  // namespace mox
