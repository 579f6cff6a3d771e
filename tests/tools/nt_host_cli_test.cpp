#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/nt_host/command_line.h"
#include "tools/nt_host/progress_display.h"

namespace mox::nthost {
namespace {

TEST(NtHostCommandLine, ParsesEachSubcommand) {
    struct Case {
        std::vector<std::string> args;
        Command command;
        const char* reason;
    };
    const Case cases[] = {
        {{"run"}, Command::Run, "run alone is the demo"},
        {{"run", "--config", "c.yaml", "--timeout", "2.5", "--json", "-v"},
         Command::Run,
         "every run option"},
        {{"measure", "--count", "3", "--interval", "0"}, Command::Measure, "measure"},
        {{"request", "get", "/network-testing/v1/experiments"},
         Command::Request,
         "the method is case-insensitive"},
        {{"describe", "--json"}, Command::Describe, "describe"},
        {{"help"}, Command::Help, "the registry's help"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const ParsedCommandLine parsed = parseCommandLine(c.args);
        ASSERT_FALSE(parsed.finished) << parsed.output;
        EXPECT_EQ(parsed.options.command, c.command);
    }
    const Options run =
        parseCommandLine({"run", "--config", "c.yaml", "--timeout", "2.5", "--json"}).options;
    EXPECT_EQ(run.configPath, "c.yaml");
    EXPECT_DOUBLE_EQ(run.timeoutSeconds, 2.5);
    EXPECT_TRUE(run.json);
    EXPECT_EQ(parseCommandLine({"measure", "-n", "3"}).options.count, 3u);
    EXPECT_EQ(parseCommandLine({"request", "delete", "/p"}).options.method, "DELETE");
    // A path is never taken for a Windows-style "/option".
    EXPECT_EQ(parseCommandLine({"request", "GET", "/help"}).options.path, "/help");
}

TEST(NtHostCommandLine, UsageErrorsAreConfigurationErrors) {
    struct Case {
        std::vector<std::string> args;
        const char* expected;
        const char* reason;
    };
    const Case cases[] = {
        {{}, "A subcommand is required", "no subcommand"},
        {{"run", "--bogus"}, "--bogus", "an unknown option"},
        {{"run", "--timeout", "0"}, "--timeout", "a timeout below the minimum"},
        {{"measure", "--count", "zero"}, "--count", "a count that is no number"},
        {{"request", "FETCH", "/p"}, "FETCH", "a method that does not exist"},
        {{"request", "GET"}, "PATH", "a request without a path"},
        {{"describe", "--config", "x"}, "--config", "describe serves no configuration"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const ParsedCommandLine parsed = parseCommandLine(c.args);
        EXPECT_TRUE(parsed.finished);
        EXPECT_EQ(parsed.exitCode, ExitCode::ConfigurationError);
        EXPECT_NE(parsed.output.find(c.expected), std::string::npos) << parsed.output;
    }
}

TEST(NtHostCommandLine, HelpListsTheExitCodes) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"run", "--help"}, {"measure", "-h"}}) {
        const ParsedCommandLine parsed = parseCommandLine(args);
        EXPECT_TRUE(parsed.finished);
        EXPECT_EQ(parsed.exitCode, ExitCode::Success);
        EXPECT_NE(parsed.output.find("Exit codes:"), std::string::npos);
        EXPECT_NE(parsed.output.find("130  interrupted"), std::string::npos);
    }
}

TEST(NtHostProgress, PlainStylePrintsOnlyChanges) {
    std::string out;
    ProgressDisplay display([&](std::string_view text) { out += text; }, ProgressStyle::Plain);
    display.update({{"game_latency", "Disabled"}, {"ipv4_options", "Disabled"}}, 0.0);
    display.update({{"game_latency", "InProgress"}, {"ipv4_options", "Disabled"}}, 0.1);
    display.update({{"game_latency", "InProgress"}, {"ipv4_options", "Disabled"}}, 0.2);
    display.message("telemetry probes__game_latency: latency_ms=5000.000000");
    display.update({{"game_latency", "Completed"}, {"ipv4_options", "Disabled"}}, 1.25);
    display.finish();
    EXPECT_EQ(out,
              "[   0.0 s] game_latency: Disabled\n"
              "[   0.0 s] ipv4_options: Disabled\n"
              "[   0.1 s] game_latency: InProgress\n"
              "telemetry probes__game_latency: latency_ms=5000.000000\n"
              "[   1.2 s] game_latency: Completed\n");
}

TEST(NtHostProgress, LiveStyleRedrawsItsLinesAroundMessages) {
    std::string out;
    ProgressDisplay display([&](std::string_view text) { out += text; }, ProgressStyle::Live);
    display.update({{"game_latency", "Disabled"}, {"ipv4_options", "Completed"}}, 0.0);
    const std::size_t firstDraw = out.size();
    display.message("event");
    // Up two lines and clear, then the message, then both lines again.
    EXPECT_EQ(out.substr(firstDraw, 7), "\x1b[2F\x1b[J");
    EXPECT_NE(out.find("event\n", firstDraw), std::string::npos);
    EXPECT_NE(out.find("ipv4_options", out.find("event\n")), std::string::npos);

    std::string single;
    ProgressDisplay line([&](std::string_view text) { single += text; }, ProgressStyle::SingleLine);
    line.update({{"game_latency", "InProgress"}}, 0.0);
    line.update({{"game_latency", "Completed"}}, 0.5);
    line.finish();
    EXPECT_EQ(single.find('\x1b'), std::string::npos) << "no cursor sequence in single-line mode";
    EXPECT_EQ(single.back(), '\n');
}

}  // namespace
}  // namespace mox::nthost
