// A UDP peer on 127.0.0.1 for the experiment tests, driven by a script: for the n-th
// game-latency probe it receives it sends back the replies the script lists (each with its own
// delay and its own bytes), and it records every datagram it receives. It can also flood the
// last prober with junk. The probe reflector answers like a well-behaved server; this peer
// exists to misbehave on purpose (duplicates, malformed and oversized replies, floods).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace mox::testing {

using Bytes = std::vector<std::uint8_t>;

struct ScriptedReply {
    std::chrono::milliseconds delay{0};
    Bytes bytes;
};

// The well-formed 12-byte reply to `probe` (byte 4 = 1, the identifier halves swapped).
Bytes replyTo(const Bytes& probe);

class ScriptedPeer {
  public:
    // `script(n, probe)` gives the replies to the n-th probe (from 0). Without a script every
    // probe is answered at once.
    using Script = std::function<std::vector<ScriptedReply>(std::size_t, const Bytes&)>;

    explicit ScriptedPeer(Script script = {},
                          platform::AddressFamily family = platform::AddressFamily::IPv4);
    ~ScriptedPeer();

    std::uint16_t port() const { return port_; }
    // Every datagram received so far.
    std::vector<Bytes> received() const;
    // Starts sending junk to the last prober as fast as it can, until destroyed.
    void startFlood() { flood_ = true; }
    // Datagrams of junk sent so far.
    std::size_t floodCount() const { return floodSent_; }

  private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        Bytes bytes;
        platform::SocketAddress to;
    };
    void serve();

    Script script_;
    platform::UdpSocket socket_;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Bytes> received_;
    std::vector<Pending> pending_;
    std::optional<platform::SocketAddress> lastProber_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> flood_{false};
    std::atomic<std::size_t> floodSent_{0};
    std::size_t probes_ = 0;
    std::thread thread_;
};

}  // namespace mox::testing
