// How faithfully a game-latency run measures a known round trip, and what it costs.
//
// The in-process probe reflector answers after a fixed delay D (0, 5 ms, 20 ms); every
// benchmark iteration is one run of 20 probes on loopback, and the counters give the
// distribution of (measured latency - D) over all probes of all runs, in microseconds:
//   ProbeFidelity/plugin/<D us>   `runProbes`, as the experiment calls it;
//   ProbeFidelity/minimal/<D us>  a client written here that does only what a run must do:
//                                 open a socket, send all probes back to back, then wait for
//                                 readiness and receive, reading the clock after each receive
//                                 (the floor);
//   ProbeFidelity/irtt            irtt's client against `irtt server -i 0` on loopback, one
//                                 probe per millisecond for a second (skipped when absent).
// Each also reports the CPU time (user + system) of the run's thread per run.
// OnDemandGetCpu: one on-demand GET through the host double, whose yield returns at once,
// while the reflector delays its replies by 200 ms: the process's CPU share of one core.
// At exit a table with the ratios to the minimal client is printed.
//
// Run: nice build/dev/bench/mox_bench --benchmark_filter='ProbeFidelity|OnDemandGetCpu'
#include <benchmark/benchmark.h>

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "binding/values/value.h"
#include "host/host_double.h"
#include "network_testing/dynamic_config.h"
#include "network_testing/game_latency_probe.h"
#include "platform/abi.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "plugin/entry/plugin_entry.h"
#include "routing/request_method.h"
#include "routing/route_template.h"
#include "tools/reflector/probe_reflector.h"

extern "C" void MOX_CDECL load_network_testing(mox::PluginLoadRecord* record);

namespace {

using mox::platform::AddressFamily;
using mox::platform::SocketAddress;
using mox::platform::UdpSocket;

constexpr unsigned kProbes = 20;
constexpr int kRuns = 60;
constexpr std::uint16_t kProbeSize = 64;  // payload bytes after the 16-byte header

// --- the in-process reflector, one per delay ------------------------------------------------

std::uint16_t reflectorPort(std::int64_t delayMicros) {
    static std::map<std::int64_t, std::unique_ptr<mox::reflector::ProbeReflector>> reflectors;
    auto found = reflectors.find(delayMicros);
    if (found == reflectors.end()) {
        mox::reflector::ReflectorOptions options;
        options.bindAddresses = {SocketAddress::loopback(AddressFamily::IPv4)};
        options.replyDelay = std::chrono::microseconds(delayMicros);
        auto started = mox::reflector::ProbeReflector::start(options);
        if (!started.ok()) {
            return 0;
        }
        found = reflectors.emplace(delayMicros, started.releaseValue()).first;
    }
    auto at = found->second->endpoint(mox::reflector::ProbeKind::GameLatency, AddressFamily::IPv4);
    return at ? at->port : 0;
}

// --- statistics -----------------------------------------------------------------------------

double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[index];
}

struct Figures {
    double medianMicros = 0;
    double p99Micros = 0;
    double cpuMicrosPerRun = 0;
    std::size_t samples = 0;
    std::size_t lost = 0;
};

// Every figure of this run, by benchmark name and repetition, for the table at exit, which
// shows the median of each figure over the repetitions.
struct Table {
    std::map<std::string, std::vector<Figures>> rows;
    ~Table() { print(); }
    void print() const;
};
Table table;

void report(benchmark::State& state, const std::string& name, const std::vector<double>& errors,
            double cpuMicros, int runs, std::size_t lost) {
    Figures figures;
    figures.medianMicros = percentile(errors, 0.5);
    figures.p99Micros = percentile(errors, 0.99);
    figures.cpuMicrosPerRun = runs > 0 ? cpuMicros / runs : 0.0;
    figures.samples = errors.size();
    figures.lost = lost;
    state.counters["median_us"] = figures.medianMicros;
    state.counters["p99_us"] = figures.p99Micros;
    state.counters["cpu_us_per_run"] = figures.cpuMicrosPerRun;
    state.counters["samples"] = static_cast<double>(figures.samples);
    state.counters["lost"] = static_cast<double>(lost);
    table.rows[name].push_back(figures);
}

// User + system time of the calling thread, in microseconds.
double threadCpuMicros() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto micros = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

double processCpuMicros() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

double nowNanos() {
    return static_cast<double>(mox::platform::monotonicNanoseconds());
}

// --- (a) the plugin's run -------------------------------------------------------------------

void ProbeFidelityPlugin(benchmark::State& state) {
    const std::int64_t delay = state.range(0);
    const std::uint16_t port = reflectorPort(delay);
    if (port == 0) {
        state.SkipWithError("cannot start the reflector");
        return;
    }
    mox::NetworkTestingDynamicConfig config;
    config.GameLatencyProbeServers = "127.0.0.1";
    config.GameLatencyProbePort = port;
    config.GameLatencyProbeCount = kProbes;
    config.GameLatencyProbeSize = kProbeSize;
    config.GameLatencyTimeoutSecs = 1.0;
    const std::atomic<bool> stop{false};
    std::vector<double> errors;
    std::size_t lost = 0;
    double cpu = 0;
    int runs = 0;
    for (auto _ : state) {
        const double before = threadCpuMicros();
        auto results = mox::runProbes(config, stop);
        cpu += threadCpuMicros() - before;
        ++runs;
        if (!results.ok()) {
            state.SkipWithError(results.error().message.c_str());
            return;
        }
        for (const auto& result : results.value().results) {
            if (result.latency) {
                errors.push_back(*result.latency * 1000.0 - static_cast<double>(delay));
            } else {
                ++lost;
            }
        }
    }
    report(state, "plugin/" + std::to_string(delay), errors, cpu, runs, lost);
}

// --- (b) the minimal client -----------------------------------------------------------------

void ProbeFidelityMinimal(benchmark::State& state) {
    const std::int64_t delay = state.range(0);
    const std::uint16_t port = reflectorPort(delay);
    if (port == 0) {
        state.SkipWithError("cannot start the reflector");
        return;
    }
    SocketAddress to = SocketAddress::loopback(AddressFamily::IPv4);
    to.port = port;
    std::vector<std::uint8_t> probe(mox::kGameLatencyProbeHeaderSize + kProbeSize, 0);
    std::array<std::uint8_t, 64> reply{};
    std::vector<double> errors;
    std::size_t lost = 0;
    double cpu = 0;
    int runs = 0;
    std::uint32_t base = 0;
    for (auto _ : state) {
        const double before = threadCpuMicros();
        // A socket of the run's own, as a run has (its port is bound by the first send).
        auto opened = UdpSocket::open(AddressFamily::IPv4);
        if (!opened.ok()) {
            state.SkipWithError("cannot open a socket");
            return;
        }
        UdpSocket socket = opened.releaseValue();
        std::array<double, kProbes> sentAt{};
        std::array<bool, kProbes> answered{};
        base += 0x10000;
        for (unsigned i = 0; i < kProbes; ++i) {
            mox::encodeGameLatencyProbe(probe, base + i);
            (void)socket.sendTo(probe, to);
            sentAt[i] = nowNanos();
        }
        unsigned matched = 0;
        const double deadline = nowNanos() + 1e9;
        while (matched < kProbes && nowNanos() < deadline) {
            auto ready = socket.waitReadable(std::chrono::milliseconds(50));
            const double at = nowNanos();
            if (!ready.ok() || !ready.value()) {
                continue;
            }
            auto received = socket.receive(reply);
            if (!received.ok() || !received.value().received) {
                continue;
            }
            const auto id = mox::decodeGameLatencyReply(
                std::span<const std::uint8_t>(reply.data(), received.value().length));
            if (!id || *id - base >= kProbes || answered[*id - base]) {
                continue;
            }
            answered[*id - base] = true;
            ++matched;
            errors.push_back((at - sentAt[*id - base]) / 1000.0 - static_cast<double>(delay));
        }
        socket.close();
        cpu += threadCpuMicros() - before;
        ++runs;
        lost += kProbes - matched;
    }
    report(state, "minimal/" + std::to_string(delay), errors, cpu, runs, lost);
}

// --- (c) irtt -------------------------------------------------------------------------------

bool haveProgram(const char* name) {
    const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// A free UDP port on 127.0.0.1 (free when asked; a race with another program is unlikely).
std::uint16_t freePort() {
    auto opened = UdpSocket::open(AddressFamily::IPv4);
    if (!opened.ok() || !opened.value().bind(SocketAddress::loopback(AddressFamily::IPv4)).ok()) {
        return 0;
    }
    auto local = opened.value().localAddress();
    return local.ok() ? local.value().port : 0;
}

// Every per-packet round trip of irtt's JSON output ("rtt": <nanoseconds> inside each
// round trip's "delay"; the statistics' "rtt" members are objects and are not matched).
std::vector<double> irttRoundTripsNanos(const std::string& json) {
    std::vector<double> out;
    const std::string key = "\"rtt\":";
    for (std::size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
        std::size_t p = at + key.size();
        while (p < json.size() && (json[p] == ' ' || json[p] == '\n' || json[p] == '\t')) {
            ++p;
        }
        if (p < json.size() && json[p] >= '0' && json[p] <= '9') {
            out.push_back(std::strtod(json.c_str() + p, nullptr));
        }
    }
    return out;
}

void ProbeFidelityIrtt(benchmark::State& state) {
    if (!haveProgram("irtt") || !haveProgram("timeout")) {
        state.SkipWithError("irtt not installed (Debian package irtt): skipped");
        return;
    }
    const std::uint16_t port = freePort();
    const std::string bind = "127.0.0.1:" + std::to_string(port);
    // The server, bounded by `timeout` in case this process dies before it stops it (timeout
    // passes the SIGTERM sent below on to irtt).
    const std::string serverCommand =
        "exec timeout 60 irtt server -i 0 -b " + bind + " >/dev/null 2>&1";
    const char* serverArgs[] = {"sh", "-c", serverCommand.c_str(), nullptr};
    pid_t server = 0;
    if (port == 0 || posix_spawnp(&server, "sh", nullptr, nullptr,
                                  const_cast<char* const*>(serverArgs), environ) != 0) {
        state.SkipWithError("cannot start irtt server");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> errors;
    std::size_t lost = 0;
    int runs = 0;
    for (auto _ : state) {
        // 1000 probes, one per millisecond, over one second: as many as 50 runs of 20.
        const std::string command =
            "timeout 15 irtt client -Q -i 1ms -d 1s -o - " + bind + " 2>/dev/null";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char chunk[65536];
            std::size_t n = 0;
            while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
                output.append(chunk, n);
            }
            pclose(pipe);
        }
        const std::vector<double> rtts = irttRoundTripsNanos(output);
        for (double rtt : rtts) {
            errors.push_back(rtt / 1000.0);
        }
        lost += rtts.size() < 1000 ? 1000 - rtts.size() : 0;
        ++runs;
    }
    kill(server, SIGTERM);
    int status = 0;
    waitpid(server, &status, 0);
    if (errors.empty()) {
        state.SkipWithError("irtt gave no round trips");
        return;
    }
    report(state, "irtt/0", errors, 0.0, 0, lost);
}

// --- no busy waiting: an on-demand GET --------------------------------------------------------

void OnDemandGetCpu(benchmark::State& state) {
    constexpr std::int64_t kDelay = 200000;
    const std::uint16_t port = reflectorPort(kDelay);
    mox::Value config;
    config.makeStructure();
    config.member("GameLatencyProbeServers").setString("127.0.0.1");
    config.member("GameLatencyProbePort").setUnsigned(port);
    config.member("GameLatencyProbability").setFloat(0.0);
    config.member("GameLatencyTimeoutSecs").setFloat(1.0);
    config.member("GameLatencyProbeCount").setUnsigned(kProbes);
    config.member("GameLatencyProbeSize").setUnsigned(kProbeSize);
    mox::host::HostDouble host;
    host.serve(mox::host::kGet, mox::kNetworkTestingConfigPath,
               mox::host::Reply::withValue(config));
    host.serveOthers(mox::host::Reply::ok());
    host.setYieldHandler([] {});
    if (port == 0 || !host.load(&load_network_testing) || !host.initialize()) {
        state.SkipWithError("cannot start the reflector or the plugin");
        return;
    }
    const char* path = "/network-testing/v1/game-latency";
    const std::string function = mox::functionNameFor(mox::RequestMethod::Get, path);
    const char* resultsPath = "/network-testing/v1/game-latency/results";
    const std::string clear = mox::functionNameFor(mox::RequestMethod::Delete, resultsPath);
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        (void)host.call(clear, mox::host::kDelete, resultsPath);  // so the GET runs on demand
        state.ResumeTiming();
        const double cpuBefore = processCpuMicros();
        const double wallBefore = nowNanos();
        mox::host::CallAnswer answer = host.call(function, mox::host::kGet, path);
        wall += (nowNanos() - wallBefore) / 1000.0;
        cpu += processCpuMicros() - cpuBefore;
        if (!answer.found || answer.isError) {
            state.SkipWithError(("GET failed: " + answer.errorText).c_str());
            break;
        }
    }
    host.shutdown();
    const double share = wall > 0 ? cpu / wall : 0.0;
    state.counters["cpu_share_of_core"] = share;
    Figures figures;
    figures.cpuMicrosPerRun = share;  // the table reads it as a share here
    table.rows["on-demand-get"].push_back(figures);
}

void Table::print() const {
    if (rows.empty()) {
        return;
    }
    std::map<std::string, Figures> medians;
    for (const auto& [name, repetitions] : rows) {
        const auto median = [&repetitions](double Figures::*field) {
            std::vector<double> values;
            for (const Figures& figures : repetitions) {
                values.push_back(figures.*field);
            }
            return percentile(values, 0.5);
        };
        Figures& out = medians[name];
        out.medianMicros = median(&Figures::medianMicros);
        out.p99Micros = median(&Figures::p99Micros);
        out.cpuMicrosPerRun = median(&Figures::cpuMicrosPerRun);
    }
    const auto find = [&medians](const std::string& name) -> const Figures* {
        auto found = medians.find(name);
        return found == medians.end() ? nullptr : &found->second;
    };
    std::printf(
        "\nProbe fidelity: measured latency - reply delay, microseconds (%u probes/run, "
        "median over %zu repetition(s))\n",
        kProbes, rows.begin()->second.size());
    std::printf("%-10s %-8s %10s %10s %10s %10s %12s %12s\n", "client", "delay", "median", "p99",
                "median/min", "p99/min", "cpu us/run", "cpu/min");
    for (const char* delay : {"0", "5000", "20000"}) {
        const Figures* floor = find(std::string("minimal/") + delay);
        for (const char* client : {"plugin", "minimal", "irtt"}) {
            const Figures* row = find(std::string(client) + "/" + delay);
            if (row == nullptr) {
                continue;
            }
            const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
            std::printf("%-10s %-8s %10.1f %10.1f %10.2f %10.2f", client, delay, row->medianMicros,
                        row->p99Micros, floor ? ratio(row->medianMicros, floor->medianMicros) : 0.0,
                        floor ? ratio(row->p99Micros, floor->p99Micros) : 0.0);
            if (std::string(client) == "irtt") {
                std::printf(" %12s %12s\n", "-", "-");  // another process: not measured
            } else {
                std::printf(" %12.1f %12.2f\n", row->cpuMicrosPerRun,
                            floor ? ratio(row->cpuMicrosPerRun, floor->cpuMicrosPerRun) : 0.0);
            }
        }
    }
    if (const Figures* get = find("on-demand-get")) {
        std::printf(
            "on-demand GET, replies delayed 200 ms, yield returns at once: %.1f%% of a "
            "core\n",
            get->cpuMicrosPerRun * 100.0);
    }
    std::fflush(stdout);
}

}  // namespace

BENCHMARK(ProbeFidelityMinimal)
    ->ArgName("delay_us")
    ->Arg(0)
    ->Arg(5000)
    ->Arg(20000)
    ->Iterations(kRuns)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ProbeFidelityPlugin)
    ->ArgName("delay_us")
    ->Arg(0)
    ->Arg(5000)
    ->Arg(20000)
    ->Iterations(kRuns)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ProbeFidelityIrtt)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OnDemandGetCpu)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
