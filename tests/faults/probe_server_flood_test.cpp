// The probe reflector (the probe server's engine) under a flood of malformed datagrams from
// many source ports, while fresh clients keep sending well-formed probes: it answers every
// well-formed probe it received exactly once, sends nothing to the flooders, never sends more
// bytes than it received, and its memory stays flat once its record limit is reached.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fault_test_support.h"
#include "platform/socket.h"
#include "support/game_latency_probe.h"
#include "tools/reflector/probe_reflector.h"

namespace mox::faults {
namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::AddressFamily;
using platform::UdpSocket;

// Malformed datagrams of every sort the game-latency socket can be sent.
std::vector<Bytes> malformedDatagrams() {
    std::vector<Bytes> out;
    out.push_back({});              // empty
    out.push_back(Bytes(1, 0xFF));  // one byte
    Bytes shortProbe = test::gameLatencyProbe(7);
    shortProbe.resize(15);
    out.push_back(shortProbe);  // one byte short of a header
    Bytes wrongMarker = test::gameLatencyProbe(7);
    wrongMarker[9] = 0x82;
    out.push_back(wrongMarker);                      // a header byte wrong
    out.push_back(test::gameLatencyProbe(7, 1025));  // payload over 1024
    Bytes dirty = test::gameLatencyProbe(7, 8);
    dirty[20] = 0x01;
    out.push_back(dirty);            // a payload byte not zero
    out.push_back(Bytes(12, 0x01));  // reply-sized
    out.push_back(Bytes{0x01, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0});  // IPv4 options probe
    out.push_back(Bytes{0x01, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 0});           // IPv6 support probe
    Bytes garbage(600);
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    out.push_back(garbage);
    return out;
}

UdpSocket openLoopbackSocket() {
    auto opened = UdpSocket::open(AddressFamily::IPv4);
    if (!opened.ok()) {
        return {};
    }
    UdpSocket socket = opened.releaseValue();
    (void)socket.setReceiveBufferSize(1 << 20);
    if (!socket.bind(platform::SocketAddress::loopback(AddressFamily::IPv4)).ok()) {
        return {};
    }
    return socket;
}

// Takes every waiting datagram; returns the bytes taken and adds the datagrams to `into`.
std::size_t drain(UdpSocket& socket, std::vector<Bytes>* into) {
    std::size_t bytes = 0;
    Bytes buffer(2048);
    for (;;) {
        auto received = socket.receive(buffer);
        if (!received.ok() || !received.value().received) {
            return bytes;
        }
        bytes += received.value().length;
        if (into != nullptr) {
            into->emplace_back(buffer.begin(),
                               buffer.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                    received.value().length, buffer.size())));
        }
    }
}

std::int64_t bytesInUse() {
    const MemoryStats stats = memoryStats();
    return static_cast<std::int64_t>(stats.bytesAllocated - stats.bytesFreed);
}

TEST(ProbeServerFlood, AnswersEveryWellFormedProbeAndStaysFlat) {
    constexpr std::size_t kFlooders = 64;
    constexpr std::size_t kClientsPerRound = 8;
    constexpr std::size_t kBursts = 50;
    constexpr int kRounds = 6;

    reflector::ReflectorOptions options;
    options.bindAddresses = {platform::SocketAddress::loopback(AddressFamily::IPv4)};
    options.recordLimit = 16;  // reached in the second round: from then on nothing may grow
    auto started = reflector::ProbeReflector::start(options);
    ASSERT_TRUE(started.ok()) << started.error().message;
    reflector::ProbeReflector& server = *started.value();
    platform::SocketAddress to =
        *server.endpoint(reflector::ProbeKind::GameLatency, AddressFamily::IPv4);

    std::vector<UdpSocket> flooders;
    for (std::size_t i = 0; i < kFlooders; ++i) {
        flooders.push_back(openLoopbackSocket());
        ASSERT_TRUE(flooders.back().isOpen());
    }
    const std::vector<Bytes> malformed = malformedDatagrams();

    std::uint64_t malformedSent = 0;
    std::uint64_t probesSent = 0;
    std::uint64_t repliesRight = 0;
    std::uint64_t bytesSentToServer = 0;
    std::uint64_t bytesFromServer = 0;
    std::uint32_t nextId = 1;
    std::vector<std::int64_t> inUseAfterRound;
    int dropped = 0;  // rounds in which the system lost datagrams on the way to the server
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        {
            // Fresh clients every round: new senders until the record limit holds them back.
            std::vector<UdpSocket> clients;
            for (std::size_t i = 0; i < kClientsPerRound; ++i) {
                clients.push_back(openLoopbackSocket());
                ASSERT_TRUE(clients.back().isOpen());
            }
            std::map<std::uint32_t, int> expected;  // id -> replies seen
            for (std::size_t burst = 0; burst < kBursts; ++burst) {
                for (std::size_t f = 0; f < flooders.size(); ++f) {
                    const Bytes& datagram = malformed[(burst + f) % malformed.size()];
                    if (flooders[f].sendTo(datagram, to).ok()) {
                        ++malformedSent;
                        bytesSentToServer += datagram.size();
                    }
                }
                for (UdpSocket& client : clients) {
                    const std::uint32_t id = nextId++;
                    const Bytes probe = test::gameLatencyProbe(id, id % 64);
                    if (client.sendTo(probe, to).ok()) {
                        ++probesSent;
                        bytesSentToServer += probe.size();
                        expected[id] = 0;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            // Wait until the server has taken everything sent. A system that drops datagrams
            // under the flood (Wine does) leaves it fewer: then only what it saw is checked.
            const std::uint64_t sentSoFar = malformedSent + probesSent;
            const bool allSeen = waitFor(
                [&] { return server.snapshot().gameLatency.datagrams >= sentSoFar; }, 3000ms);
            dropped += allSeen ? 0 : 1;
            std::vector<Bytes> replies;
            const std::uint64_t answeredBefore = repliesRight;
            waitFor(
                [&] {
                    for (UdpSocket& client : clients) {
                        bytesFromServer += drain(client, &replies);
                    }
                    return answeredBefore + replies.size() >=
                           server.snapshot().gameLatency.answered;
                },
                3000ms);
            for (const Bytes& reply : replies) {
                if (reply.size() != 12 || reply[4] != 0x01) {
                    continue;
                }
                const std::uint32_t id = (static_cast<std::uint32_t>(reply[8]) << 16) |
                                         (static_cast<std::uint32_t>(reply[9]) << 24) | reply[10] |
                                         (static_cast<std::uint32_t>(reply[11]) << 8);
                auto found = expected.find(id);
                if (found != expected.end() && ++found->second == 1) {
                    ++repliesRight;
                }
            }
            for (const auto& [id, seen] : expected) {
                EXPECT_LE(seen, 1) << "probe " << id << " answered twice";
                if (allSeen) {
                    EXPECT_EQ(seen, 1) << "probe " << id << " not answered";
                }
            }
            for (UdpSocket& flooder : flooders) {
                EXPECT_EQ(drain(flooder, nullptr), 0u) << "a malformed datagram was answered";
            }
        }
        inUseAfterRound.push_back(bytesInUse());
    }

    const reflector::ReflectorSnapshot snapshot = server.snapshot();
    // Every well-formed probe it received was answered, and nothing else.
    EXPECT_EQ(snapshot.gameLatency.answered,
              snapshot.gameLatency.datagrams - snapshot.gameLatency.malformed);
    EXPECT_LE(repliesRight, snapshot.gameLatency.answered);
    if (dropped == 0) {
        EXPECT_EQ(snapshot.gameLatency.answered, probesSent);
        EXPECT_EQ(snapshot.gameLatency.malformed, malformedSent);
        EXPECT_EQ(repliesRight, probesSent);
    }
    EXPECT_LE(bytesFromServer, bytesSentToServer);
    EXPECT_LE(snapshot.gameLatency.clients, options.recordLimit);
    // Flat: from the third round on (the record limit reached) nothing the server keeps grows.
    const std::int64_t growth = inUseAfterRound.back() - inUseAfterRound[2];
    EXPECT_LT(growth, 16 * 1024);
    printFigure("probe server flood",
                std::to_string(malformedSent) + " malformed datagrams from " +
                    std::to_string(kFlooders) + " sources, " + std::to_string(probesSent) +
                    " probes from " + std::to_string(kClientsPerRound * kRounds) +
                    " clients answered " + std::to_string(repliesRight) + ", bytes out/in " +
                    std::to_string(bytesFromServer) + "/" + std::to_string(bytesSentToServer) +
                    ", heap growth rounds 3-6 " + std::to_string(growth) +
                    " bytes, rounds with datagrams lost by the system " + std::to_string(dropped));
}

}  // namespace
}  // namespace mox::faults
