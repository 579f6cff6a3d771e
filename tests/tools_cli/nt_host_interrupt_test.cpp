// Ctrl-C during `nt-host run`: the subprocess gets SIGINT while an experiment is in progress,
// shuts the plugin down and exits with the interrupted code. POSIX only (the build adds it only
// there).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

TEST(NtHostInterrupt, CtrlCShutsDownCleanlyWithTheInterruptedCode) {
    // A run that would take minutes: 3 x 255 IPv4 options probes, one per 200 ms, against a
    // loopback port where nothing listens.
    const std::string config = testing::TempDir() + "nt_host_interrupt.yaml";
    {
        std::ofstream out(config);
        out << "IPv4OptionsProbeServers: 127.0.0.1\nIPv4OptionsProbability: 1.0\n"
               "IPv4OptionsProbeCount: 255\n";
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        execl(NT_HOST_EXECUTABLE, NT_HOST_EXECUTABLE, "run", "--config", config.c_str(),
              "--timeout", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);

    std::string output;
    const auto read = [&](const std::string& needle, std::chrono::seconds limit) {
        const Clock::time_point deadline = Clock::now() + limit;
        while (output.find(needle) == std::string::npos && Clock::now() < deadline) {
            pollfd entry{fds[0], POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0)
                continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
            if (got <= 0)
                break;
            output.append(buffer, static_cast<std::size_t>(got));
        }
    };
    read("ipv4_options: InProgress", std::chrono::seconds(20));
    ASSERT_NE(output.find("ipv4_options: InProgress"), std::string::npos) << output;

    const Clock::time_point signalled = Clock::now();
    kill(pid, SIGINT);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (Clock::now() - signalled > std::chrono::seconds(10)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            FAIL() << "nt-host did not stop within 10 s of SIGINT\n" << output;
        }
        read("\x01", std::chrono::seconds(0));
        usleep(10000);
    }
    read("exit code", std::chrono::seconds(2));
    close(fds[0]);
    std::remove(config.c_str());

    // The experiment's 200 ms wait ends at once when the plugin stops it.
    EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(5));
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 130) << output;
    EXPECT_NE(output.find("interrupted; shutting the plugin down"), std::string::npos) << output;
    EXPECT_NE(output.find("interrupted after"), std::string::npos) << output;
    // No telemetry: the stopped phase posts nothing.
    EXPECT_EQ(output.find("telemetry probes__ipv4_options"), std::string::npos) << output;
}

}  // namespace
