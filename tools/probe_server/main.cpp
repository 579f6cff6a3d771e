// nt-probe-server: the probe reflector as a program for a probe host. See `--help`.
//
// Exit status: 0 when stopped by Ctrl-C (SIGINT) or SIGTERM, 1 when the sockets cannot be
// opened or bound, 2 for a bad command line.
#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/probe_server/probe_server.h"
#include "tools/reflector/probe_reflector.h"

namespace {

volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void onStopSignal(int signal) {
    gStopSignal = signal;
}

void print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "nt-probe-server: answers game-latency probes and counts the IPv4 options and IPv6\n"
        "support probes of the network-testing experiments, per experiment identifier.\n"
        "Prints the bound sockets at start, the counters every --interval seconds (unless\n"
        "--quiet) and a summary when stopped with Ctrl-C or SIGTERM.\n"
        "Exit status: 0 after Ctrl-C or SIGTERM, 1 when a socket cannot be bound, 2 for a bad\n"
        "command line.",
        "nt-probe-server"};
    std::vector<std::string> binds{"127.0.0.1", "::1"};
    mox::reflector::ReflectorOptions options;
    options.gameLatencyPort = 5499;
    options.ipv4OptionsPort = 5498;
    options.ipv6SupportPort = 5497;
    double delayMs = 0.0;
    double interval = 10.0;
    bool quiet = false;

    app.add_option("--bind", binds,
                   "Numeric address to serve; repeat for several. IPv4 addresses get the\n"
                   "game-latency and IPv4 options sockets, IPv6 ones the game-latency and IPv6\n"
                   "support sockets. 0.0.0.0 serves every IPv4 interface, :: every IPv6 one")
        ->capture_default_str()
        ->type_name("ADDRESS");
    app.add_option("--game-latency-port", options.gameLatencyPort,
                   "UDP port for game-latency probes (0: an ephemeral port)")
        ->capture_default_str();
    app.add_option("--ipv4-options-port", options.ipv4OptionsPort,
                   "UDP port for IPv4 options probes (0: an ephemeral port)")
        ->capture_default_str();
    app.add_option("--ipv6-support-port", options.ipv6SupportPort,
                   "UDP port for IPv6 support probes (0: an ephemeral port)")
        ->capture_default_str();
    app.add_option("--delay", delayMs, "Delay before each game-latency reply, in milliseconds")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 60000.0))
        ->type_name("MS");
    app.add_option("--loss", options.loss,
                   "Share of game-latency probes left unanswered, from 0 to 1")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0))
        ->type_name("FRACTION");
    app.add_option("--seed", options.lossSeed,
                   "Seed of the loss draw: the same probes are lost in every run")
        ->capture_default_str();
    app.add_option("--threads", options.gameLatencyThreads,
                   "Threads answering game-latency probes on each address; above 1 they share\n"
                   "the port (SO_REUSEPORT, Linux) and the system spreads the clients among them")
        ->capture_default_str()
        ->check(CLI::Range(1, 256))
        ->type_name("N");
    app.add_option("--interval", interval, "Seconds between two printings of the counters")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 86400.0))
        ->type_name("S");
    app.add_flag("--quiet,-q", quiet, "Print no periodic counters (the summary is still printed)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }

    auto addresses = mox::probe_server::parseBindAddresses(binds);
    if (!addresses.ok()) {
        std::fprintf(stderr, "nt-probe-server: --bind: %s\n", addresses.error().message.c_str());
        return 2;
    }
    options.bindAddresses = addresses.releaseValue();
    options.replyDelay =
        std::chrono::microseconds(static_cast<std::int64_t>(delayMs * 1000.0 + 0.5));

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    auto reflector = mox::reflector::ProbeReflector::start(options);
    if (!reflector.ok()) {
        std::fprintf(stderr, "nt-probe-server: %s\n", reflector.error().message.c_str());
        return 1;
    }
    print(mox::probe_server::formatEndpoints(*reflector.value()));

    using Clock = std::chrono::steady_clock;
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
    Clock::time_point nextPrint = Clock::now() + period;
    while (gStopSignal == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!quiet && Clock::now() >= nextPrint) {
            print(mox::probe_server::formatCounters(reflector.value()->snapshot(), "counters"));
            nextPrint += period;
        }
    }
    reflector.value()->stop();
    print(mox::probe_server::formatCounters(reflector.value()->snapshot(), "summary"));
    return 0;
}
