// Runs nt-host as a user would: a subprocess, the real plugin library, real loopback sockets
// (the in-process reflector of the demo, or one started here) and short timeouts. POSIX only:
// the interrupt test signals the subprocess (the build adds this file only there).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "binding/values/value.h"
#include "formats/json_reader.h"
#include "platform/socket.h"
#include "tools/reflector/probe_reflector.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// nt-host as a child process, its standard output and error on two pipes.
class NtHost {
  public:
    explicit NtHost(std::vector<std::string> arguments) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(out[1]);
            close(err[0]);
            close(err[1]);
            // Through the build's emulator when it has one (a 32-bit build under qemu).
            std::string emulator = NT_HOST_EMULATOR;
            std::vector<char*> argv;
            if (!emulator.empty())
                argv.push_back(emulator.data());
            argv.push_back(const_cast<char*>(NT_HOST_EXECUTABLE));
            for (std::string& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~NtHost() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        if (err_ >= 0)
            close(err_);
    }

    // Reads both streams until standard output holds `needle` or `limit` passes.
    bool readUntil(const std::string& needle, std::chrono::milliseconds limit) {
        const Clock::time_point deadline = Clock::now() + limit;
        while (stdout_.find(needle) == std::string::npos && Clock::now() < deadline) {
            if (!pump(20))
                break;
        }
        return stdout_.find(needle) != std::string::npos;
    }

    void signal(int number) { kill(pid_, number); }

    // Waits for the exit, reading all output; the exit code, or -1 (after a kill) when the
    // process has not ended within `limit`.
    int wait(std::chrono::milliseconds limit) {
        const Clock::time_point deadline = Clock::now() + limit;
        while (Clock::now() < deadline && pump(20)) {
        }
        int status = 0;
        for (;;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                break;
            }
            if (Clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                exited_ = true;
                return -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }
    std::string all() const { return "--- stdout\n" + stdout_ + "--- stderr\n" + stderr_; }

  private:
    // One poll over the open streams; false once both are closed.
    bool pump(int timeoutMs) {
        pollfd entries[2];
        int count = 0;
        if (out_ >= 0)
            entries[count++] = {out_, POLLIN, 0};
        if (err_ >= 0)
            entries[count++] = {err_, POLLIN, 0};
        if (count == 0)
            return false;
        if (poll(entries, static_cast<nfds_t>(count), timeoutMs) <= 0)
            return true;
        for (int i = 0; i < count; ++i) {
            if ((entries[i].revents & (POLLIN | POLLHUP)) == 0)
                continue;
            int& fd = entries[i].fd == out_ ? out_ : err_;
            std::string& text = entries[i].fd == out_ ? stdout_ : stderr_;
            char buffer[4096];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(fd);
                fd = -1;
            } else {
                text.append(buffer, static_cast<std::size_t>(got));
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
    std::string stdout_;
    std::string stderr_;
};

std::string writeFile(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

double number(const mox::Value& value) {
    switch (value.kind()) {
        case mox::ValueKind::Float:
            return value.asFloat();
        case mox::ValueKind::Unsigned:
            return static_cast<double>(value.asUnsigned());
        case mox::ValueKind::Signed:
            return static_cast<double>(value.asSigned());
        default:
            return -1.0;
    }
}

TEST(NtHostCli, DemoRunCompletesEveryExperiment) {
    NtHost host({"run", "--timeout", "30"});
    ASSERT_EQ(host.wait(40s), 0) << host.all();
    for (const char* part : {"game_latency   Completed", "ipv4_options   Completed",
                             "ipv6_support   Completed", "telemetry probes__game_latency:",
                             "telemetry probes__ipv4_options:", "telemetry probes__ipv6_support:",
                             "20 sent, 20 received, 0.0% loss", "ms |#", "success after"}) {
        EXPECT_TRUE(contains(host.out(), part)) << part << "\n" << host.all();
    }
    // Not a terminal: plain progress lines, no cursor sequences.
    EXPECT_TRUE(contains(host.out(), "] game_latency: Completed")) << host.all();
    EXPECT_FALSE(contains(host.out(), "\x1b[")) << host.all();
}

TEST(NtHostCli, DemoJsonCarriesEveryFieldAndLatenciesNearTheReflectorDelay) {
    NtHost host({"run", "--json", "--timeout", "30"});
    ASSERT_EQ(host.wait(40s), 0) << host.all();
    mox::ValueResult parsed = mox::parseJson(host.out());
    ASSERT_TRUE(parsed.ok()) << parsed.error() << "\n" << host.all();
    const mox::Value& doc = parsed.value();
    EXPECT_EQ(doc.find("outcome").asString(), "success");
    EXPECT_EQ(number(doc.find("exitCode")), 0.0);
    EXPECT_EQ(doc.find("configuration").find("source").asString(), "built-in demo");
    for (const char* name : {"game_latency", "ipv4_options", "ipv6_support"}) {
        const mox::Value& experiment = doc.find("experiments").find(name);
        EXPECT_EQ(experiment.find("status").asString(), "Completed") << name;
        EXPECT_TRUE(experiment.find("enabled").asBool()) << name;
        EXPECT_TRUE(experiment.find("reported").asBool()) << name;
    }
    EXPECT_EQ(doc.find("telemetry").size(), 3u);

    const mox::Value& servers = doc.find("gameLatency").find("servers");
    ASSERT_EQ(servers.size(), 1u) << host.out();
    const mox::Value& server = servers.at(0);
    EXPECT_EQ(server.find("server").asString(), "127.0.0.1");
    EXPECT_EQ(number(server.find("sent")), 20.0);
    EXPECT_EQ(number(server.find("received")), 20.0);
    EXPECT_EQ(server.find("roundTripsMs").size(), 20u);
    // The reflector answers 5 ms after each probe arrives: never earlier, and on a loaded
    // machine not much later. A probe's send time is read right after its send returns, so a
    // client preempted in between sees that one probe's round trip shortened by the pause:
    // the median, not the minimum, is what the delay bounds.
    EXPECT_GE(number(server.find("medianMs")), 5.0);
    EXPECT_LT(number(server.find("medianMs")), 5.0 + 100.0);
    EXPECT_GE(number(server.find("minMs")), 0.0);
    EXPECT_LE(number(server.find("minMs")), number(server.find("medianMs")));
    EXPECT_GE(number(server.find("p95Ms")), number(server.find("medianMs")));
    EXPECT_GE(number(server.find("jitterMs")), 0.0);
    EXPECT_GT(server.find("histogram").size(), 0u);

    const mox::Value& ipv4 = doc.find("ipv4Options");
    EXPECT_EQ(ipv4.find("target").asString(), "127.0.0.1");
    EXPECT_FALSE(ipv4.find("experimentId").asString().empty());
    EXPECT_EQ(number(ipv4.find("phases").find("plain").find("sent")), 3.0);
    const mox::Value& ipv6 = doc.find("ipv6Support");
    EXPECT_EQ(ipv6.find("target").asString(), "::1");
    // What the reflector saw matches what the plugin says it sent.
    const mox::Value& reflector = doc.find("reflector");
    EXPECT_EQ(number(reflector.find("gameLatencyAnswered")), 20.0);
    EXPECT_EQ(number(reflector.find("ipv4OptionsDatagrams")), 9.0);
    EXPECT_EQ(number(reflector.find("ipv6SupportDatagrams")), number(ipv6.find("sent")));
}

TEST(NtHostCli, MeasurePrintsOneLinePerRoundThenTheSummary) {
    {
        NtHost host({"measure", "--count", "3", "--interval", "0"});
        ASSERT_EQ(host.wait(40s), 0) << host.all();
        for (const char* part : {"round   1", "round   2", "round   3", "Summary over 3 rounds",
                                 "60 sent, 60 received"}) {
            EXPECT_TRUE(contains(host.out(), part)) << part << "\n" << host.all();
        }
        EXPECT_FALSE(contains(host.out(), "round   4")) << host.all();
    }
    NtHost json({"measure", "--count", "3", "--interval", "0", "--json"});
    ASSERT_EQ(json.wait(40s), 0) << json.all();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = json.out().find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(json.out().substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 4u) << json.all();
    for (std::size_t i = 0; i < 3; ++i) {
        mox::ValueResult round = mox::parseJson(lines[i]);
        ASSERT_TRUE(round.ok()) << lines[i];
        EXPECT_EQ(number(round.value().find("round")), static_cast<double>(i + 1));
        EXPECT_EQ(round.value().find("gameLatency").find("servers").size(), 1u);
    }
    mox::ValueResult summary = mox::parseJson(lines[3]);
    ASSERT_TRUE(summary.ok()) << lines[3];
    EXPECT_EQ(number(summary.value().find("summary").find("rounds")), 3.0);
}

TEST(NtHostCli, BadConfigurationsAndLibrariesHaveTheirCodes) {
    const std::string bad =
        writeFile("nt_host_bad.yaml", "GameLatencyProbability: 1.0\nGameLatencyProbeCount: 300\n");
    const std::string broken = writeFile("nt_host_broken.json", "{\n  \"a\": 1,\n}\n");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string errorPart;
        const char* reason;
    };
    const Case cases[] = {
        {{"run", "--config", bad},
         2,
         bad + ":2: Value 300 for 'GameLatencyProbeCount' of type uint8 is out of range",
         "a value the plugin would refuse"},
        {{"run", "--config", broken}, 2, broken + ":3:", "JSON syntax error with its line"},
        {{"measure", "--config", testing::TempDir() + "nt_host_absent.yaml"},
         2,
         "cannot open",
         "a missing file"},
        {{"run", "--plugin", testing::TempDir() + "absent.so"},
         3,
         "cannot load the plugin",
         "a library that is not there"},
        {{"describe", "--plugin", NT_HOST_EXECUTABLE},
         3,
         "cannot load the plugin",
         "a file that is no plugin library"},
        {{"run", "--timeout", "-1"}, 2, "--timeout", "a bad option value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        NtHost host(c.args);
        EXPECT_EQ(host.wait(20s), c.code) << host.all();
        EXPECT_TRUE(contains(host.err(), c.errorPart)) << host.all();
        // Nothing started: no telemetry, no report.
        EXPECT_FALSE(contains(host.out(), "telemetry")) << host.all();
    }
}

TEST(NtHostCli, TimeoutShutsDownWithItsCode) {
    const std::string slow = writeFile("nt_host_slow.yaml",
                                       "IPv4OptionsProbeServers: 127.0.0.1\n"
                                       "IPv4OptionsProbability: 1.0\nIPv4OptionsProbeCount: 255\n");
    const Clock::time_point start = Clock::now();
    NtHost host({"run", "--config", slow, "--timeout", "1"});
    EXPECT_EQ(host.wait(20s), 5) << host.all();
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_TRUE(contains(host.out(), "ipv4_options   InProgress")) << host.all();
    EXPECT_TRUE(contains(host.out(), "timeout after")) << host.all();
}

TEST(NtHostCli, CtrlCShutsDownCleanlyWithTheInterruptedCode) {
    const std::string slow = writeFile("nt_host_interrupt.yaml",
                                       "IPv4OptionsProbeServers: 127.0.0.1\n"
                                       "IPv4OptionsProbability: 1.0\nIPv4OptionsProbeCount: 255\n");
    NtHost host({"run", "--config", slow, "--timeout", "60"});
    ASSERT_TRUE(host.readUntil("ipv4_options: InProgress", 20s)) << host.all();
    const Clock::time_point signalled = Clock::now();
    host.signal(SIGINT);
    EXPECT_EQ(host.wait(10s), 130) << host.all();
    // The experiment's 200 ms wait ends as soon as the plugin stops it.
    EXPECT_LT(Clock::now() - signalled, 5s);
    EXPECT_TRUE(contains(host.out(), "interrupted; shutting the plugin down")) << host.all();
    EXPECT_TRUE(contains(host.out(), "interrupted after")) << host.all();
    // A stopped phase posts no telemetry.
    EXPECT_FALSE(contains(host.out(), "telemetry probes__ipv4_options")) << host.all();
}

TEST(NtHostCli, RequestPrintsTheAnswerOrTheError) {
    {
        NtHost host({"request", "GET", "/network-testing/v1/experiments"});
        ASSERT_EQ(host.wait(20s), 0) << host.all();
        mox::ValueResult body = mox::parseJson(host.out());
        ASSERT_TRUE(body.ok()) << host.all();
        EXPECT_EQ(body.value().find("experiments").find("ipv4_options").find("status").asString(),
                  "Disabled");
    }
    {
        NtHost host({"request", "get", "/network-testing/v1/game-latency"});
        ASSERT_EQ(host.wait(20s), 0) << host.all();
        mox::ValueResult body = mox::parseJson(host.out());
        ASSERT_TRUE(body.ok()) << host.all();
        EXPECT_EQ(body.value().find("results").size(), 20u);
        EXPECT_FALSE(body.value().find("timestamp").asString().empty());
    }
    {
        // The plugin's own failure: 500 with the run's message.
        const std::string big = writeFile("nt_host_big_probe.yaml",
                                          "GameLatencyProbeServers: 127.0.0.1\n"
                                          "GameLatencyProbeSize: 1025\n");
        NtHost host({"request", "GET", "/network-testing/v1/game-latency", "--config", big});
        EXPECT_EQ(host.wait(20s), 1) << host.all();
        EXPECT_TRUE(contains(host.err(), "error: Probe size too large (status 500)")) << host.all();
        EXPECT_TRUE(contains(host.err(), "warning:")) << host.all();
    }
    {
        NtHost host({"request", "POST", "/network-testing/v1/experiments"});
        EXPECT_EQ(host.wait(20s), 1) << host.all();
        EXPECT_TRUE(contains(host.err(), "no function of the plugin answers POST")) << host.all();
    }
}

TEST(NtHostCli, DescribeAndHelpShowWhatThePluginRegistered) {
    {
        NtHost host({"describe"});
        ASSERT_EQ(host.wait(20s), 0) << host.all();
        for (const char* part :
             {"Functions (3)", "GET     /network-testing/v1/experiments",
              "DELETE  /network-testing/v1/game-latency/results",
              "name GetNetworkTestingV1GameLatency, returns "
              "NetworkTestingGameLatencyExperimentResults",
              "NetworkTestingNetworkTestingDynamicConfig", "GameLatencyProbeServers",
              "OnJsonApiEvent (payload PluginResourceEvent)"}) {
            EXPECT_TRUE(contains(host.out(), part)) << part << "\n" << host.all();
        }
    }
    {
        NtHost host({"describe", "--json"});
        ASSERT_EQ(host.wait(20s), 0) << host.all();
        mox::ValueResult api = mox::parseJson(host.out());
        ASSERT_TRUE(api.ok()) << host.all();
        const mox::Value& functions = api.value().find("functions");
        ASSERT_EQ(functions.size(), 3u);
        std::vector<std::string> templates;
        for (const mox::Value& function : functions.elements())
            templates.emplace_back(function.find("template").asString());
        EXPECT_NE(std::find(templates.begin(), templates.end(), "/network-testing/v1/game-latency"),
                  templates.end());
        EXPECT_GT(api.value().find("types").size(), 0u);
        EXPECT_GT(api.value().find("events").size(), 0u);
    }
    {
        NtHost host({"help"});
        ASSERT_EQ(host.wait(20s), 0) << host.all();
        EXPECT_TRUE(contains(host.out(), "GetNetworkTestingV1Experiments")) << host.all();
        EXPECT_TRUE(contains(host.out(), "@rtype: L{NetworkTestingNetworkExperimentsResource}"))
            << host.all();
    }
    {
        NtHost host({"help", "--json"});
        ASSERT_EQ(host.wait(20s), 0) << host.all();
        mox::ValueResult help = mox::parseJson(host.out());
        ASSERT_TRUE(help.ok()) << host.all();
        EXPECT_GT(help.value().find("functions").size(), 0u);
        EXPECT_GT(help.value().find("types").size(), 0u);
    }
}

// The examples meant for this machine, run against a reflector on their ports. The ports are
// fixed by the files, so the test is skipped when something else holds them.
TEST(NtHostCli, LoopbackExamplesRunAgainstAProbeServer) {
    mox::reflector::ReflectorOptions options;
    options.gameLatencyPort = 5499;
    options.ipv4OptionsPort = 5498;
    options.ipv6SupportPort = 5497;
    options.skipUnavailableAddresses = true;
    options.replyDelay = 2ms;
    auto reflector = mox::reflector::ProbeReflector::start(options);
    if (!reflector.ok())
        GTEST_SKIP() << "ports 5497-5499 are taken: " << reflector.error().message;
    for (const char* example : {"loopback.yaml", "game-latency-only.json"}) {
        SCOPED_TRACE(example);
        NtHost host({"run", "--config", std::string(NT_HOST_EXAMPLES_DIR) + "/" + example,
                     "--timeout", "30"});
        EXPECT_EQ(host.wait(40s), 0) << host.all();
        EXPECT_TRUE(contains(host.out(), "game_latency   Completed")) << host.all();
        EXPECT_TRUE(contains(host.out(), "0.0% loss")) << host.all();
    }
    EXPECT_GE(reflector.value()->snapshot().gameLatency.answered, 30u);
}

}  // namespace
