// A hostile game-latency server on 127.0.0.1 for the fault suite. It answers the probes it is
// told to answer with their genuine 12-byte reply after `replyDelay`, and surrounds every
// genuine reply with datagrams that must not be taken for one: random garbage, oversized
// datagrams and near-misses (11 and 13 bytes, a wrong marker byte) that carry the probe's own
// identifier, replies with spoofed identifiers, and duplicates of the genuine reply later on.
// On request, `flooders` further sockets (other source ports) send garbage to the prober, one
// datagram each per millisecond. Loopback only.
//
// Threads: one serving thread and one flooding thread of its own; the accessors may be called
// from any thread; the destructor stops and joins both.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace mox::faults {

struct HostilePeerOptions {
    // Time from a probe's arrival to its genuine reply.
    std::chrono::milliseconds replyDelay{30};
    // Time from the genuine reply to its duplicates.
    std::chrono::milliseconds duplicateDelay{250};
    // Answer probe n (from 0) only when n % answerEvery == 0; 0 answers none.
    std::size_t answerEvery = 1;
    // Sockets that flood the prober with garbage once `startFlood` is called.
    std::size_t flooders = 16;
};

class HostilePeer {
  public:
    explicit HostilePeer(HostilePeerOptions options = {});
    ~HostilePeer();
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    bool ok() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }

    // Floods the last prober from the flooder sockets until destroyed.
    void startFlood() { flood_.store(true); }

    std::size_t probesReceived() const { return probes_.load(); }
    std::size_t genuineReplies() const { return genuine_.load(); }
    // Hostile datagrams sent by the server socket and by the flooders.
    std::size_t hostileSent() const { return hostile_.load() + flooded_.load(); }
    std::size_t floodSent() const { return flooded_.load(); }

  private:
    struct Due {
        std::chrono::steady_clock::time_point at;
        std::vector<std::uint8_t> bytes;
        bool genuine = false;
    };
    void serve();
    void flood();
    void sendHostileAround(std::uint32_t id);

    HostilePeerOptions options_;
    platform::UdpSocket socket_;
    std::vector<platform::UdpSocket> flooders_;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::optional<platform::SocketAddress> prober_;
    std::vector<Due> due_;
    std::uint64_t random_ = 0x9E3779B97F4A7C15ull;
    std::atomic<bool> stop_{false};
    std::atomic<bool> flood_{false};
    std::atomic<std::size_t> probes_{0};
    std::atomic<std::size_t> genuine_{0};
    std::atomic<std::size_t> hostile_{0};
    std::atomic<std::size_t> flooded_{0};
    std::thread server_;
    std::thread flooder_;
};

}  // namespace mox::faults
