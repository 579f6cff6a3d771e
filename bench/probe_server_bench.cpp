// Replies per second that the probe reflector (what nt-probe-server runs) sustains on loopback
// with many concurrent clients, beside two references measured in the same run:
// - a minimal single-threaded receive-and-send loop written here (one receive and one send
//   call per datagram, the kernel's per-datagram cost: the floor a simple server cannot beat);
// - `irtt server` (the Debian package irtt, benchmark-only), loaded by its own clients since it
//   speaks its own protocol; skipped with a message when irtt is not installed.
//
// Our load generator: kClients sockets on 127.0.0.1, each keeping kWindow game-latency probes
// in flight, all driven by one thread with batched sends and receives; every reply is checked
// (12 bytes, the reply header, an identifier this client sent) and anything else counts as
// "bad". Each case runs MOX_BENCH_SECONDS seconds (default 3). Run it with `nice`; the summary
// table with the ratios is printed after the last case.
#include <benchmark/benchmark.h>

#include <time.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "tools/reflector/probe_datagrams.h"
#include "tools/reflector/probe_reflector.h"

namespace {

using mox::platform::AddressFamily;
using mox::platform::DatagramSlot;
using mox::platform::OutgoingDatagram;
using mox::platform::SocketAddress;
using mox::platform::UdpSocket;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kClients = 32;
constexpr std::size_t kWindow = 32;
constexpr std::size_t kBatch = 32;
// A client whose replies stop for this long counts its probes in flight as lost and sends anew.
constexpr std::chrono::milliseconds kStall(50);

double caseSeconds() {
    const char* text = std::getenv("MOX_BENCH_SECONDS");
    const double seconds = text ? std::atof(text) : 3.0;
    return seconds > 0.1 && seconds < 60.0 ? seconds : 3.0;
}

// CPU seconds (user + system) of the whole process and of the calling thread.
double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct LoadResult {
    std::uint64_t replies = 0;
    // CPU seconds the server spent (its threads, not the load generator's).
    double serverCpu = 0;
    std::uint64_t bad = 0;
    std::uint64_t lost = 0;
    double seconds = 0;
    double rate() const { return seconds > 0 ? static_cast<double>(replies) / seconds : 0; }
    double ratePerCpu() const {
        return serverCpu > 0 ? static_cast<double>(replies) / serverCpu : 0;
    }
};

std::array<std::uint8_t, mox::reflector::kProbeHeaderSize> probeBytes(std::uint32_t id) {
    std::array<std::uint8_t, mox::reflector::kProbeHeaderSize> probe{};
    probe[8] = 0x01;
    probe[9] = 0x81;
    probe[10] = static_cast<std::uint8_t>(id);
    probe[11] = static_cast<std::uint8_t>(id >> 8);
    probe[12] = 0x05;
    probe[13] = 0x01;
    probe[14] = static_cast<std::uint8_t>(id >> 16);
    probe[15] = static_cast<std::uint8_t>(id >> 24);
    return probe;
}

// The identifier of an exact 12-byte reply, or nullopt.
std::optional<std::uint32_t> replyId(const DatagramSlot& slot) {
    const std::uint8_t* r = slot.buffer.data();
    if (slot.truncated || slot.length != mox::reflector::kReplySize || r[0] || r[1] || r[2] ||
        r[3] || r[4] != 1 || r[5] || r[6] || r[7]) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(r[10] | r[11] << 8 | r[8] << 16 | r[9] << 24);
}

// Drives the clients against `server` for `seconds`. Identifiers carry the client's index in
// their top byte, so a reply sent to the wrong client is caught.
LoadResult runLoad(const SocketAddress& server, double seconds) {
    struct Client {
        UdpSocket socket;
        std::uint32_t next = 0;
        std::size_t inFlight = 0;
        Clock::time_point lastReply;
    };
    std::vector<Client> clients(kClients);
    for (Client& client : clients) {
        auto socket = UdpSocket::open(AddressFamily::IPv4);
        if (!socket.ok() ||
            !socket.value().bind(SocketAddress::loopback(AddressFamily::IPv4)).ok()) {
            return {};
        }
        (void)socket.value().setReceiveBufferSize(1 << 20);
        client.socket = socket.releaseValue();
    }
    std::vector<std::uint8_t> buffers(kBatch * 64);
    std::array<DatagramSlot, kBatch> slots{};
    for (std::size_t i = 0; i < kBatch; ++i) {
        slots[i].buffer = std::span<std::uint8_t>(buffers.data() + i * 64, 64);
    }
    std::array<std::array<std::uint8_t, mox::reflector::kProbeHeaderSize>, kWindow> probes{};
    std::array<OutgoingDatagram, kWindow> outgoing{};

    LoadResult result;
    auto topUp = [&](std::size_t index, Clock::time_point now) {
        Client& client = clients[index];
        std::size_t count = 0;
        while (client.inFlight + count < kWindow) {
            const std::uint32_t id =
                static_cast<std::uint32_t>(index) << 24 | (client.next++ & 0xFFFFFF);
            probes[count] = probeBytes(id);
            outgoing[count] = OutgoingDatagram{probes[count], server};
            ++count;
        }
        if (count == 0) {
            return;
        }
        auto sent =
            client.socket.sendBatch(std::span<const OutgoingDatagram>(outgoing.data(), count));
        if (sent.ok()) {
            client.inFlight += sent.value();
        }
        if (client.inFlight == count) {
            client.lastReply = now;  // a fresh window: the stall clock starts now
        }
    };

    const double processBefore = processCpuSeconds();
    const double threadBefore = threadCpuSeconds();
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        topUp(i, start);
    }
    Clock::time_point now = start;
    while (now < end) {
        bool progress = false;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& client = clients[i];
            auto received = client.socket.receiveBatch(slots);
            const std::size_t count = received.ok() ? received.value() : 0;
            for (std::size_t k = 0; k < count; ++k) {
                const auto id = replyId(slots[k]);
                if (!id || (*id >> 24) != i || (*id & 0xFFFFFF) >= (client.next & 0xFFFFFF)) {
                    ++result.bad;
                    continue;
                }
                ++result.replies;
                if (client.inFlight > 0) {
                    --client.inFlight;
                }
            }
            now = Clock::now();
            if (count > 0) {
                progress = true;
                client.lastReply = now;
            } else if (client.inFlight > 0 && now - client.lastReply > kStall) {
                result.lost += client.inFlight;
                client.inFlight = 0;
            }
            topUp(i, now);
        }
        if (!progress) {
            (void)clients.front().socket.waitReadable(std::chrono::milliseconds(1));
        }
        now = Clock::now();
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // In process, the server's threads are everything but this one.
    result.serverCpu = (processCpuSeconds() - processBefore) - (threadCpuSeconds() - threadBefore);
    return result;
}

// The figures of every case that ran, by name, for the summary.
std::map<std::string, LoadResult>& results() {
    static std::map<std::string, LoadResult> all;
    return all;
}

void report(benchmark::State& state, const std::string& name, const LoadResult& result) {
    results()[name] = result;
    state.counters["replies_per_s"] = result.rate();
    state.counters["bad"] = static_cast<double>(result.bad);
    state.counters["lost"] = static_cast<double>(result.lost);
    state.counters["replies_per_server_cpu_s"] = result.ratePerCpu();
}

// One receive and one send call per datagram, nothing else.
void BM_ProbeServer_MinimalLoop(benchmark::State& state) {
    auto socket = UdpSocket::open(AddressFamily::IPv4);
    if (!socket.ok() || !socket.value().bind(SocketAddress::loopback(AddressFamily::IPv4)).ok()) {
        state.SkipWithError("cannot bind the minimal loop's socket");
        return;
    }
    UdpSocket server = socket.releaseValue();
    (void)server.setReceiveBufferSize(4 << 20);
    const SocketAddress address = server.localAddress().value();
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        std::array<std::uint8_t, mox::reflector::kMaxProbeSize + 1> buffer;
        while (!stop.load(std::memory_order_relaxed)) {
            auto received = server.receive(buffer);
            if (!received.ok() || !received.value().received) {
                (void)server.waitReadable(std::chrono::milliseconds(20));
                continue;
            }
            const auto reply = received.value().truncated
                                   ? std::nullopt
                                   : mox::reflector::gameLatencyReply(std::span<const std::uint8_t>(
                                         buffer.data(), received.value().length));
            if (reply) {
                (void)server.sendTo(*reply, received.value().from);
            }
        }
    });
    LoadResult result;
    for (auto _ : state) {
        result = runLoad(address, caseSeconds());
    }
    stop = true;
    loop.join();
    report(state, "minimal loop", result);
}

void BM_ProbeServer_Reflector(benchmark::State& state) {
    mox::reflector::ReflectorOptions options;
    options.bindAddresses = {SocketAddress::loopback(AddressFamily::IPv4)};
    options.gameLatencyThreads = static_cast<std::size_t>(state.range(0));
    auto reflector = mox::reflector::ProbeReflector::start(options);
    if (!reflector.ok()) {
        state.SkipWithError(reflector.error().message.c_str());
        return;
    }
    const SocketAddress address =
        *reflector.value()->endpoint(mox::reflector::ProbeKind::GameLatency, AddressFamily::IPv4);
    LoadResult result;
    for (auto _ : state) {
        result = runLoad(address, caseSeconds());
    }
    const auto counters = reflector.value()->snapshot().gameLatency;
    reflector.value()->stop();
    state.counters["send_failures"] = static_cast<double>(counters.sendFailures);
    report(state, "reflector, " + std::to_string(state.range(0)) + " thread(s)", result);
}

// irtt's server under kIrttClients of its own clients (sending as fast as they can, `-i 1us`,
// for the case's duration), bounded by `timeout`; the replies are what its clients report
// received during that duration. Two clients: more of them only share the two cores with the
// Go runtimes and lower the total. The clients take several seconds after the test to write
// their per-packet results; that time is not counted.
constexpr int kIrttClients = 2;

void BM_ProbeServer_Irtt(benchmark::State& state) {
    if (std::system("command -v irtt >/dev/null 2>&1") != 0) {
        state.SkipWithError("irtt not installed (Debian package irtt): skipped");
        return;
    }
    const double seconds = caseSeconds();
    char directory[] = "/tmp/mox-bench-irtt-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        state.SkipWithError("cannot make a temporary directory");
        return;
    }
    const std::string dir = directory;
    const int port = 20000 + static_cast<int>(Clock::now().time_since_epoch().count() % 20000);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    // The server runs under `timeout` (bounded even if this program dies); its own process id
    // is found as timeout's child (ps --ppid), and its CPU time (utime + stime, in clock ticks) is
    // read from /proc just before it is stopped.
    std::ostringstream script;
    script << "cd " << dir << " && { timeout " << static_cast<int>(seconds) + 60
           << " irtt server -b " << address << " -i 0 >server.log 2>&1 & echo $! >server.pid; }"
           << " && sleep 0.5 && pids= && for i in $(seq " << kIrttClients << "); do timeout "
           << static_cast<int>(seconds) + 50 << " irtt client -i 1us -d "
           << static_cast<int>(seconds * 1000) << "ms -Q --wait=200ms -o c$i.json " << address
           << " & pids=\"$pids $!\"; done; wait $pids;"
           << " child=$(ps -o pid= --ppid $(cat server.pid) | head -1);"
           << " [ -n \"$child\" ] && awk '{print $14+$15}' /proc/$child/stat >server.cpu;"
           << " echo $(getconf CLK_TCK) >clk.tck; kill $(cat server.pid) 2>/dev/null; true";
    LoadResult result;
    for (auto _ : state) {
        if (std::system(script.str().c_str()) != 0) {
            state.SkipWithError("irtt run failed");
            return;
        }
    }
    for (int i = 1; i <= kIrttClients; ++i) {
        std::ifstream file(dir + "/c" + std::to_string(i) + ".json");
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        const auto at = text.find("\"packets_received\":");
        if (at != std::string::npos) {
            result.replies += std::strtoull(text.c_str() + at + 19, nullptr, 10);
        }
    }
    result.seconds = seconds;
    std::ifstream cpu(dir + "/server.cpu");
    std::ifstream tick(dir + "/clk.tck");
    double ticks = 0;
    double perSecond = 0;
    if (cpu >> ticks && tick >> perSecond && perSecond > 0) {
        result.serverCpu = ticks / perSecond;
    }
    (void)std::system(("rm -rf " + dir).c_str());
    report(state, "irtt server", result);
}

// Prints the table with the ratios to stdout: replies per second of wall time (what the
// clients saw) and per CPU second the server itself spent (what one core of it is worth, the
// steadier figure on a shared machine).
void BM_ProbeServer_Summary(benchmark::State& state) {
    for (auto _ : state) {
    }
    const auto& all = results();
    auto find = [&](const std::string& name) {
        auto found = all.find(name);
        return found == all.end() ? LoadResult{} : found->second;
    };
    const LoadResult floor = find("minimal loop");
    const LoadResult irtt = find("irtt server");
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("\n%-24s %11s %8s %8s %13s %8s %8s %5s %5s\n", "server", "replies/s", "x loop",
                "x irtt", "replies/cpu-s", "x loop", "x irtt", "bad", "lost");
    for (const auto& [name, result] : all) {
        std::printf("%-24s %11.0f %8.2f %8.2f %13.0f %8.2f %8.2f %5llu %5llu\n", name.c_str(),
                    result.rate(), ratio(result.rate(), floor.rate()),
                    ratio(result.rate(), irtt.rate()), result.ratePerCpu(),
                    ratio(result.ratePerCpu(), floor.ratePerCpu()),
                    ratio(result.ratePerCpu(), irtt.ratePerCpu()),
                    static_cast<unsigned long long>(result.bad),
                    static_cast<unsigned long long>(result.lost));
    }
    std::printf("cores: %u\n\n", std::thread::hardware_concurrency());
}

BENCHMARK(BM_ProbeServer_MinimalLoop)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ProbeServer_Reflector)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_ProbeServer_Irtt)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ProbeServer_Summary)->Iterations(1);

}  // namespace
