// Runs nt-probe-server as a user would: a subprocess on loopback with ephemeral ports, probed
// over real sockets, stopped with SIGTERM. POSIX only (the build adds it only there).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "tests/support/game_latency_probe.h"

namespace {

using mox::platform::AddressFamily;
using mox::platform::SocketAddress;
using mox::platform::UdpSocket;
using Clock = std::chrono::steady_clock;

// A child process with its standard output (and error) on a pipe.
class ServerProcess {
  public:
    explicit ServerProcess(std::vector<std::string> arguments) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            close(fds[0]);
            close(fds[1]);
            // Through the build's emulator when it has one (a 32-bit build under qemu).
            std::vector<char*> argv;
            const std::string emulator = MOX_PROBE_SERVER_EMULATOR;
            if (!emulator.empty()) {
                argv.push_back(const_cast<char*>(emulator.c_str()));
            }
            argv.push_back(const_cast<char*>(MOX_PROBE_SERVER_PATH));
            for (std::string& argument : arguments) {
                argv.push_back(argument.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }

    ~ServerProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            close(out_);
        }
    }

    // Reads output until it contains `needle` or `timeout` passes; returns all output so far.
    const std::string& readUntil(const std::string& needle, std::chrono::milliseconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (output_.find(needle) == std::string::npos && Clock::now() < deadline) {
            pollfd entry{out_, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(out_, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            output_.append(buffer, static_cast<std::size_t>(got));
        }
        return output_;
    }

    void signal(int number) { kill(pid_, number); }

    // The exit status, or -1 when the process did not exit normally within `timeout`.
    int wait(std::chrono::milliseconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                readUntil("\x01", std::chrono::milliseconds(50));  // drain what is left
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            readUntil("\x01", std::chrono::milliseconds(10));
        }
        return -1;
    }

    const std::string& output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    std::string output_;
};

// The port printed on the line "listening <kind> 127.0.0.1:<port>".
std::uint16_t listenedPort(const std::string& output, const std::string& kind) {
    const std::string prefix = "listening " + kind + " 127.0.0.1:";
    const std::size_t at = output.find(prefix);
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<std::uint16_t>(std::atoi(output.c_str() + at + prefix.size()));
}

std::vector<std::uint8_t> probe(std::uint32_t id, std::size_t size = 0) {
    return mox::test::gameLatencyProbe(id, size);
}

TEST(ProbeServerCli, AnswersCountsAndPrintsSummaryOnSigterm) {
    ServerProcess server({"--bind", "127.0.0.1", "--game-latency-port", "0", "--ipv4-options-port",
                          "0", "--ipv6-support-port", "0", "--delay", "2", "--quiet"});
    const std::string& started =
        server.readUntil("listening ipv4_options", std::chrono::seconds(5));
    const std::uint16_t gamePort = listenedPort(started, "game_latency");
    const std::uint16_t optionsPort = listenedPort(started, "ipv4_options");
    ASSERT_NE(gamePort, 0) << started;
    ASSERT_NE(optionsPort, 0) << started;

    auto socket = UdpSocket::open(AddressFamily::IPv4);
    ASSERT_TRUE(socket.ok());
    UdpSocket& client = socket.value();
    for (std::uint32_t id = 1; id <= 3; ++id) {
        ASSERT_TRUE(
            client.sendTo(probe(id), SocketAddress::loopback(AddressFamily::IPv4, gamePort)).ok());
    }
    int replies = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
    while (replies < 3 && Clock::now() < deadline) {
        std::uint8_t buffer[32];
        if (client.waitReadable(std::chrono::milliseconds(20)).value() &&
            client.receive(buffer).value().length == 12) {
            ++replies;
        }
    }
    EXPECT_EQ(replies, 3);

    // One IPv4 options probe with Router Alert, one without, for experiment 77.
    std::vector<std::uint8_t> options = {0x01, 0x01, 77, 0, 0, 0, 0, 0, 0, 0, 20, 0, 42, 0};
    const SocketAddress optionsTarget = SocketAddress::loopback(AddressFamily::IPv4, optionsPort);
    ASSERT_TRUE(client.setIpv4Options(mox::platform::routerAlertOption(42)).ok());
    ASSERT_TRUE(client.sendTo(options, optionsTarget).ok());
    ASSERT_TRUE(client.setIpv4Options({}).ok());
    options[10] = 0;
    options[12] = 0;
    ASSERT_TRUE(client.sendTo(options, optionsTarget).ok());
    usleep(100 * 1000);

    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(std::chrono::seconds(5)), 0) << server.output();
    const std::string& out = server.output();
    EXPECT_NE(out.find("summary:"), std::string::npos) << out;
    EXPECT_NE(out.find("game_latency: probes answered 3, clients seen 1"), std::string::npos)
        << out;
    EXPECT_NE(out.find("ipv4_options: datagrams 2, clients seen 1"), std::string::npos) << out;
    EXPECT_NE(out.find("experiment 77: with Router Alert 1, without Router Alert 1"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("ipv6_support: datagrams 0"), std::string::npos) << out;
    EXPECT_EQ(out.find("counters:"), std::string::npos) << "--quiet prints no periodic counters";
}

TEST(ProbeServerCli, HelpAndBadCommandLines) {
    {
        ServerProcess help({"--help"});
        EXPECT_EQ(help.wait(std::chrono::seconds(5)), 0);
        for (const char* option :
             {"--bind", "--game-latency-port", "--ipv4-options-port", "--ipv6-support-port",
              "--delay", "--loss", "--seed", "--interval", "--quiet", "5499", "5498", "5497"}) {
            EXPECT_NE(help.output().find(option), std::string::npos) << option;
        }
    }
    struct Case {
        std::vector<std::string> arguments;
        const char* expected;
        const char* reason;
    };
    const Case cases[] = {
        {{"--bind", "localhost"}, "not a numeric IPv4 or IPv6 address", "names are refused"},
        {{"--loss", "1.5"}, "--loss", "loss above 1"},
        {{"--game-latency-port", "70000"}, "--game-latency-port", "port out of range"},
        {{"--frobnicate"}, "frobnicate", "unknown option"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ServerProcess server(c.arguments);
        EXPECT_EQ(server.wait(std::chrono::seconds(5)), 2) << server.output();
        EXPECT_NE(server.output().find(c.expected), std::string::npos) << server.output();
    }
}

TEST(ProbeServerCli, PrintsCountersPeriodicallyAndStopsOnSigint) {
    ServerProcess server({"--bind", "127.0.0.1", "--game-latency-port", "0", "--ipv4-options-port",
                          "0", "--interval", "0.1"});
    const std::string& out = server.readUntil("counters:", std::chrono::seconds(5));
    EXPECT_NE(out.find("counters:\ngame_latency: probes answered 0"), std::string::npos) << out;
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(std::chrono::seconds(5)), 0);
    EXPECT_NE(server.output().find("summary:"), std::string::npos);
}

}  // namespace
