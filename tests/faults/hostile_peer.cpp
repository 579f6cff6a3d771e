#include "hostile_peer.h"

#include <algorithm>

namespace mox::faults {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// The reply to probe `id`: byte 4 = 1, the high half at 8-9, the low half at 10-11.
Bytes replyFor(std::uint32_t id, std::size_t size = 12, std::uint8_t marker = 0x01) {
    Bytes bytes(size, 0);
    if (size >= 12) {
        bytes[4] = marker;
        bytes[8] = static_cast<std::uint8_t>(id >> 16);
        bytes[9] = static_cast<std::uint8_t>(id >> 24);
        bytes[10] = static_cast<std::uint8_t>(id);
        bytes[11] = static_cast<std::uint8_t>(id >> 8);
    } else if (size > 4) {
        bytes[4] = marker;
    }
    return bytes;
}

// The identifier of a game-latency probe; nullopt for anything else.
std::optional<std::uint32_t> probeId(const Bytes& datagram, std::size_t length) {
    if (length < 16 || datagram[8] != 0x01 || datagram[9] != 0x81 || datagram[12] != 0x05 ||
        datagram[13] != 0x01) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(datagram[10]) |
           (static_cast<std::uint32_t>(datagram[11]) << 8) |
           (static_cast<std::uint32_t>(datagram[14]) << 16) |
           (static_cast<std::uint32_t>(datagram[15]) << 24);
}

std::uint64_t next(std::uint64_t& state) {
    // xorshift64*: enough for junk.
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 2685821657736338717ull;
}

}  // namespace

HostilePeer::HostilePeer(HostilePeerOptions options) : options_(options) {
    auto opened = platform::UdpSocket::open(platform::AddressFamily::IPv4);
    if (!opened.ok()) {
        return;
    }
    socket_ = opened.releaseValue();
    if (!socket_.bind(platform::SocketAddress::loopback(platform::AddressFamily::IPv4)).ok()) {
        return;
    }
    auto local = socket_.localAddress();
    if (!local.ok()) {
        return;
    }
    for (std::size_t i = 0; i < options_.flooders; ++i) {
        auto flooder = platform::UdpSocket::open(platform::AddressFamily::IPv4);
        if (flooder.ok()) {
            flooders_.push_back(flooder.releaseValue());
        }
    }
    port_ = local.value().port;
    server_ = std::thread([this] { serve(); });
    flooder_ = std::thread([this] { flood(); });
}

HostilePeer::~HostilePeer() {
    stop_.store(true);
    if (server_.joinable()) {
        server_.join();
    }
    if (flooder_.joinable()) {
        flooder_.join();
    }
}

void HostilePeer::sendHostileAround(std::uint32_t id) {
    // Called with the mutex held: queues what goes out before and after the genuine reply.
    const Clock::time_point now = Clock::now();
    const auto before = now + options_.replyDelay / 2;
    std::vector<Bytes> junk;
    for (int i = 0; i < 4; ++i) {
        Bytes garbage(1 + next(random_) % 64);
        for (std::uint8_t& b : garbage) {
            b = static_cast<std::uint8_t>(next(random_));
        }
        junk.push_back(std::move(garbage));
    }
    junk.push_back(replyFor(id, 1500));      // oversized, the genuine head
    junk.push_back(replyFor(id, 60000));     // far oversized
    junk.push_back(replyFor(id, 11));        // one byte short
    junk.push_back(replyFor(id, 13));        // one byte long
    junk.push_back(replyFor(id, 12, 0x02));  // wrong marker
    for (int i = 0; i < 4; ++i) {
        junk.push_back(replyFor(static_cast<std::uint32_t>(next(random_))));  // spoofed ids
    }
    for (Bytes& bytes : junk) {
        due_.push_back({before, std::move(bytes), false});
    }
}

void HostilePeer::serve() {
    Bytes buffer(65536);
    std::size_t probeIndex = 0;
    while (!stop_.load()) {
        Clock::time_point wakeAt = Clock::now() + std::chrono::milliseconds(5);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Due& due : due_) {
                wakeAt = std::min(wakeAt, due.at);
            }
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - Clock::now());
        auto readable = socket_.waitReadable(std::max(wait, std::chrono::milliseconds(0)));
        if (readable.ok() && readable.value()) {
            auto received = socket_.receive(buffer);
            if (received.ok() && received.value().received) {
                const auto id = probeId(buffer, received.value().length);
                if (id) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    probes_.fetch_add(1);
                    prober_ = received.value().from;
                    sendHostileAround(*id);
                    if (options_.answerEvery != 0 && probeIndex % options_.answerEvery == 0) {
                        const auto at = Clock::now() + options_.replyDelay;
                        due_.push_back({at, replyFor(*id), true});
                        for (int i = 0; i < 3; ++i) {
                            due_.push_back({at + options_.duplicateDelay, replyFor(*id), false});
                        }
                    }
                    ++probeIndex;
                }
            }
        }
        std::vector<Due> ready;
        std::optional<platform::SocketAddress> to;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const Clock::time_point now = Clock::now();
            auto split = std::stable_partition(due_.begin(), due_.end(),
                                               [now](const Due& d) { return d.at > now; });
            ready.assign(std::make_move_iterator(split), std::make_move_iterator(due_.end()));
            due_.erase(split, due_.end());
            to = prober_;
        }
        for (const Due& due : ready) {
            if (!to) {
                break;
            }
            if (socket_.sendTo(due.bytes, *to).ok()) {
                (due.genuine ? genuine_ : hostile_).fetch_add(1);
            }
        }
    }
}

void HostilePeer::flood() {
    Bytes garbage(48);
    std::uint64_t state = 0xD1B54A32D192ED03ull;
    while (!stop_.load()) {
        std::optional<platform::SocketAddress> to;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            to = prober_;
        }
        if (!flood_.load() || !to || flooders_.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        for (platform::UdpSocket& flooder : flooders_) {
            garbage.resize(1 + next(state) % 48);
            for (std::uint8_t& b : garbage) {
                b = static_cast<std::uint8_t>(next(state));
            }
            if (garbage.size() >= 12 && (next(state) & 1) != 0) {
                garbage.resize(12);
                garbage[4] = 0x01;  // a well-formed reply with a random identifier
            }
            if (flooder.sendTo(garbage, *to).ok()) {
                flooded_.fetch_add(1);
            }
        }
        // Bounded: one datagram per flooder and millisecond, about 16,000 a second.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace mox::faults
