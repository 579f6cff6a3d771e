#include "scripted_peer.h"

#include <gtest/gtest.h>

namespace mox::testing {

Bytes replyTo(const Bytes& probe) {
    Bytes reply(12, 0);
    reply[4] = 0x01;
    reply[8] = probe[14];
    reply[9] = probe[15];
    reply[10] = probe[10];
    reply[11] = probe[11];
    return reply;
}

ScriptedPeer::ScriptedPeer(Script script, platform::AddressFamily family)
    : script_(std::move(script)) {
    auto opened = platform::UdpSocket::open(family);
    if (!opened.ok()) {
        ADD_FAILURE() << "peer socket: " << opened.error().text;
        return;
    }
    socket_ = opened.releaseValue();
    if (!socket_.bind(platform::SocketAddress::loopback(family)).ok()) {
        ADD_FAILURE() << "peer bind failed";
        return;
    }
    auto local = socket_.localAddress();
    if (local.ok()) {
        port_ = local.value().port;
    }
    thread_ = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::vector<Bytes> ScriptedPeer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void ScriptedPeer::serve() {
    std::vector<std::uint8_t> buffer(2048);
    const Bytes junk(12, 0xEE);
    while (!stop_) {
        const auto now = std::chrono::steady_clock::now();
        std::vector<Pending> due;
        std::optional<platform::SocketAddress> floodTo;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->due <= now) {
                    due.push_back(std::move(*it));
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
            if (flood_) {
                floodTo = lastProber_;
            }
        }
        for (const Pending& reply : due) {
            (void)socket_.sendTo(reply.bytes, reply.to);
        }
        if (floodTo) {
            for (int i = 0; i < 16; ++i) {
                if (socket_.sendTo(junk, *floodTo).ok()) {
                    ++floodSent_;
                }
            }
        }
        auto readable = socket_.waitReadable(std::chrono::milliseconds(floodTo ? 0 : 1));
        if (!readable.ok() || !readable.value()) {
            continue;
        }
        auto got = socket_.receive(buffer);
        if (!got.ok() || !got.value().received || got.value().truncated) {
            continue;
        }
        Bytes datagram(buffer.begin(),
                       buffer.begin() + static_cast<std::ptrdiff_t>(got.value().length));
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(datagram);
        const bool isProbe = datagram.size() >= 16 && datagram[8] == 0x01 && datagram[9] == 0x81;
        if (!isProbe) {
            continue;
        }
        lastProber_ = got.value().from;
        std::vector<ScriptedReply> replies =
            script_ ? script_(probes_, datagram)
                    : std::vector<ScriptedReply>{{{}, replyTo(datagram)}};
        ++probes_;
        const auto arrived = std::chrono::steady_clock::now();
        for (ScriptedReply& reply : replies) {
            pending_.push_back({arrived + reply.delay, std::move(reply.bytes), got.value().from});
        }
    }
}

}  // namespace mox::testing
