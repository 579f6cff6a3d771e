#include "tools/reflector/probe_reflector.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "tools/reflector/probe_datagrams.h"

namespace mox::reflector {

using platform::AddressFamily;
using platform::SocketAddress;
using platform::UdpSocket;
using Clock = std::chrono::steady_clock;

namespace {

// How long a thread waits before it looks at the stop flag again.
constexpr std::chrono::milliseconds kStopPoll(20);
// Below this much time to a reply's deadline the thread stops waiting for datagrams and
// sleeps instead: the readiness wait counts whole milliseconds and the system may add its
// timer slack (50 microseconds on Linux) to it, so it is only used while a full millisecond
// remains after it.
constexpr std::chrono::milliseconds kSleepBelow(2);
// The last stretch before a deadline is spun out reading the clock, since a sleep may wake
// late by the timer slack or a scheduler tick; sleeps end this long before the deadline, which
// bounds the spin to about this much per due reply (replies due together share one spin).
constexpr std::chrono::microseconds kSpinBelow(200);
// Datagrams taken per readiness, so replies that fall due are not starved by a flood.
constexpr int kReceiveBurst = 64;
// Game-latency datagrams taken (and immediate replies sent) per system call.
constexpr std::size_t kGameLatencyBatch = 32;

// Room for the largest probe and one byte more, so an oversized datagram shows as truncated.
constexpr std::size_t kReceiveBufferSize = kMaxProbeSize + 1;
// The system receive buffer asked for each socket (the system may grant less).
constexpr std::size_t kReceiveBufferBytes = 4 * 1024 * 1024;

struct SocketAddressLess {
    bool operator()(const SocketAddress& a, const SocketAddress& b) const {
        return std::tie(a.family, a.bytes, a.port) < std::tie(b.family, b.bytes, b.port);
    }
};

}  // namespace

const char* probeKindName(ProbeKind kind) {
    switch (kind) {
        case ProbeKind::GameLatency:
            return "game_latency";
        case ProbeKind::IPv4Options:
            return "ipv4_options";
        case ProbeKind::IPv6Support:
            return "ipv6_support";
    }
    return "unknown";
}

// What the threads share: counters and records, under one mutex.
struct ProbeReflector::State {
    explicit State(const ReflectorOptions& options) : options(options) {}

    const ReflectorOptions options;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    ReflectorSnapshot counters;
    std::set<SocketAddress, SocketAddressLess> clients[3];
    std::vector<Ipv4OptionsRecord> ipv4Records;
    std::vector<Ipv6SupportRecord> ipv6Records;

    ExperimentCounters& countersOf(ProbeKind kind) {
        switch (kind) {
            case ProbeKind::GameLatency:
                return counters.gameLatency;
            case ProbeKind::IPv4Options:
                return counters.ipv4Options;
            case ProbeKind::IPv6Support:
                break;
        }
        return counters.ipv6Support;
    }

    // REQUIRES: mutex held.
    void noteClient(ProbeKind kind, const SocketAddress& from) {
        auto& seen = clients[static_cast<int>(kind)];
        if (seen.size() < options.recordLimit) {
            seen.insert(from);
        }
        countersOf(kind).clients = seen.size();
    }
};

// One socket and the thread that serves it.
struct ProbeReflector::Worker {
    struct PendingReply {
        Clock::time_point due;
        std::array<std::uint8_t, kReplySize> bytes;
        SocketAddress to;
    };

    Worker(State& state, ProbeKind kind, UdpSocket socket, std::uint64_t position)
        : state(state), kind(kind), socket(std::move(socket)) {
        std::seed_seq seed{static_cast<std::uint32_t>(state.options.lossSeed),
                           static_cast<std::uint32_t>(state.options.lossSeed >> 32),
                           static_cast<std::uint32_t>(position)};
        lossGenerator.seed(seed);
        delay = std::max(state.options.replyDelay, std::chrono::microseconds(0));
    }

    void run() {
        std::vector<std::uint8_t> buffer(kReceiveBufferSize);
        while (!state.stopping.load(std::memory_order_acquire)) {
            sendDueReplies();
            std::chrono::milliseconds wait = kStopPoll;
            if (!pending.empty()) {
                const Clock::time_point due = pending.front().due;
                const auto left = due - Clock::now();
                if (left <= kSpinBelow) {
                    while (Clock::now() < due) {
                    }
                    continue;
                }
                if (left < kSleepBelow) {
                    std::this_thread::sleep_until(due - kSpinBelow);
                    continue;
                }
                wait = std::min(wait,
                                std::chrono::floor<std::chrono::milliseconds>(left - kSleepBelow) +
                                    std::chrono::milliseconds(1));
            }
            auto ready = socket.waitReadable(wait);
            if (!ready.ok()) {
                countFailure();
                std::this_thread::sleep_for(kStopPoll);
                continue;
            }
            if (!ready.value()) {
                continue;
            }
            if (kind == ProbeKind::GameLatency) {
                receiveGameLatency();
                continue;
            }
            for (int i = 0; i < kReceiveBurst; ++i) {
                auto received = socket.receive(buffer);
                if (!received.ok()) {
                    countFailure();
                    break;
                }
                if (!received.value().received) {
                    break;
                }
                handle(received.value(), buffer);
            }
        }
    }

    static std::array<platform::DatagramSlot, kGameLatencyBatch> makeSlots(
        std::vector<std::uint8_t>& buffers) {
        std::array<platform::DatagramSlot, kGameLatencyBatch> made{};
        for (std::size_t i = 0; i < kGameLatencyBatch; ++i) {
            made[i].buffer = std::span<std::uint8_t>(buffers.data() + i * kReceiveBufferSize,
                                                     kReceiveBufferSize);
        }
        return made;
    }

    void countFailure() {
        std::lock_guard<std::mutex> lock(state.mutex);
        ++state.countersOf(kind).receiveFailures;
    }

    void handle(const platform::ReceivedDatagram& datagram,
                const std::vector<std::uint8_t>& buffer) {
        const std::span<const std::uint8_t> bytes(buffer.data(),
                                                  datagram.truncated ? 0 : datagram.length);
        switch (kind) {
            case ProbeKind::GameLatency:
                break;  // taken in batches, see receiveGameLatency
            case ProbeKind::IPv4Options:
                return handleIpv4Options(datagram, bytes);
            case ProbeKind::IPv6Support:
                return handleIpv6Support(datagram, bytes);
        }
    }

    // Game-latency datagrams in batches: each batch is counted under one lock, and its
    // immediate replies leave in one batched send. Up to kReceiveBurst per readiness while
    // replies may be waiting for their delay; without a delay none can be, so the socket is
    // drained (bounded, so the stop flag is still seen) and the readiness wait is paid rarely.
    void receiveGameLatency() {
        const int burst = delay.count() == 0 ? kReceiveBurst * 16 : kReceiveBurst;
        for (int taken = 0; taken < burst;) {
            auto received = socket.receiveBatch(slots);
            if (!received.ok()) {
                countFailure();
                return;
            }
            const std::size_t count = received.value();
            if (count == 0) {
                return;
            }
            handleGameLatency(count);
            taken += static_cast<int>(count);
            if (count < slots.size()) {
                return;
            }
        }
    }

    // The first `count` slots, as received.
    void handleGameLatency(std::size_t count) {
        const Clock::time_point arrived = Clock::now();
        std::size_t immediate = 0;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            ExperimentCounters& counters = state.counters.gameLatency;
            for (std::size_t i = 0; i < count; ++i) {
                const platform::DatagramSlot& datagram = slots[i];
                ++counters.datagrams;
                const auto reply = datagram.truncated
                                       ? std::nullopt
                                       : gameLatencyReply(std::span<const std::uint8_t>(
                                             datagram.buffer.data(), datagram.length));
                if (!reply) {
                    ++counters.malformed;
                    continue;
                }
                state.noteClient(kind, datagram.from);
                if (isLost()) {
                    ++counters.lost;
                    continue;
                }
                if (delay.count() == 0) {
                    replies[immediate] = *reply;
                    outgoing[immediate] =
                        platform::OutgoingDatagram{replies[immediate], datagram.from};
                    ++immediate;
                    continue;
                }
                if (pending.size() >= state.options.recordLimit) {
                    ++counters.overflowed;
                    continue;
                }
                pending.push_back(PendingReply{arrived + delay, *reply, datagram.from});
            }
        }
        sendImmediateReplies(immediate);
    }

    // The first `count` of `outgoing`, in batches; a datagram the system refuses is counted
    // and skipped.
    void sendImmediateReplies(std::size_t count) {
        std::uint64_t answered = 0;
        std::uint64_t failed = 0;
        std::size_t next = 0;
        while (next < count) {
            auto sent = socket.sendBatch(
                std::span<const platform::OutgoingDatagram>(outgoing.data() + next, count - next));
            if (!sent.ok() || sent.value() == 0) {
                ++failed;
                ++next;
                continue;
            }
            answered += sent.value();
            next += sent.value();
        }
        if (count == 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(state.mutex);
        state.counters.gameLatency.answered += answered;
        state.counters.gameLatency.sendFailures += failed;
    }

    // One draw per well-formed probe, made only when some loss is asked for.
    bool isLost() {
        const double loss = state.options.loss;
        if (!(loss > 0.0)) {
            return false;
        }
        const double draw = static_cast<double>(lossGenerator() >> 11) * 0x1.0p-53;
        return draw < loss;
    }

    void sendDueReplies() {
        const Clock::time_point now = Clock::now();
        while (!pending.empty() && pending.front().due <= now) {
            const PendingReply reply = pending.front();
            pending.pop_front();
            sendReply(reply.bytes, reply.to);
        }
    }

    void sendReply(const std::array<std::uint8_t, kReplySize>& reply, const SocketAddress& to) {
        auto sent = socket.sendTo(reply, to);
        std::lock_guard<std::mutex> lock(state.mutex);
        if (sent.ok() && sent.value() == reply.size()) {
            ++state.counters.gameLatency.answered;
        } else {
            ++state.counters.gameLatency.sendFailures;
        }
    }

    void handleIpv4Options(const platform::ReceivedDatagram& datagram,
                           std::span<const std::uint8_t> bytes) {
        const auto probe = parseIpv4OptionsProbe(bytes);
        std::lock_guard<std::mutex> lock(state.mutex);
        ExperimentCounters& counters = state.counters.ipv4Options;
        ++counters.datagrams;
        if (!probe) {
            ++counters.malformed;
            return;
        }
        state.noteClient(kind, datagram.from);
        Ipv4OptionsRecord record;
        record.from = datagram.from;
        record.experimentId = probe->experimentId;
        record.optionNumber = probe->optionNumber;
        record.index = probe->index;
        record.optionValue = probe->optionValue;
        record.optionsKnown = datagram.ipOptionsKnown;
        if (datagram.ipOptionsKnown) {
            record.routerAlert = findRouterAlert(
                std::span<const std::uint8_t>(datagram.ipOptions.data(), datagram.ipOptionsLength));
        }
        auto& byId = state.counters.ipv4OptionsById;
        auto found = byId.find(record.experimentId);
        if (found == byId.end() && byId.size() < state.options.recordLimit) {
            found = byId.emplace(record.experimentId, Ipv4OptionsCounts{}).first;
        }
        if (found != byId.end()) {
            if (!record.optionsKnown) {
                ++found->second.routerAlertUnknown;
            } else if (record.routerAlert) {
                ++found->second.withRouterAlert;
            } else {
                ++found->second.withoutRouterAlert;
            }
        }
        if (state.ipv4Records.size() < state.options.recordLimit) {
            state.ipv4Records.push_back(record);
        }
    }

    void handleIpv6Support(const platform::ReceivedDatagram& datagram,
                           std::span<const std::uint8_t> bytes) {
        const auto probe = parseIpv6SupportProbe(bytes);
        std::lock_guard<std::mutex> lock(state.mutex);
        ExperimentCounters& counters = state.counters.ipv6Support;
        ++counters.datagrams;
        if (!probe) {
            ++counters.malformed;
            return;
        }
        state.noteClient(kind, datagram.from);
        auto& byId = state.counters.ipv6SupportById;
        auto found = byId.find(probe->experimentId);
        if (found == byId.end() && byId.size() < state.options.recordLimit) {
            found = byId.emplace(probe->experimentId, 0).first;
        }
        if (found != byId.end()) {
            ++found->second;
        }
        if (state.ipv6Records.size() < state.options.recordLimit) {
            state.ipv6Records.push_back(
                Ipv6SupportRecord{datagram.from, probe->experimentId, probe->index});
        }
    }

    State& state;
    const ProbeKind kind;
    UdpSocket socket;
    std::chrono::microseconds delay{0};
    // Game latency: the receive batch (buffers in `slotBuffers`) and the immediate replies.
    std::vector<std::uint8_t> slotBuffers =
        std::vector<std::uint8_t>(kGameLatencyBatch * kReceiveBufferSize);
    std::array<platform::DatagramSlot, kGameLatencyBatch> slots = makeSlots(slotBuffers);
    std::array<std::array<std::uint8_t, kReplySize>, kGameLatencyBatch> replies{};
    std::array<platform::OutgoingDatagram, kGameLatencyBatch> outgoing{};
    std::mt19937_64 lossGenerator;
    // Replies in due order: one delay for all, so arrival order is due order.
    std::deque<PendingReply> pending;
    std::thread thread;
};

ProbeReflector::ProbeReflector() = default;

ProbeReflector::~ProbeReflector() {
    stop();
}

void ProbeReflector::stop() {
    if (!state_) {
        return;
    }
    state_->stopping.store(true, std::memory_order_release);
    for (auto& worker : workers_) {
        if (worker->thread.joinable()) {
            worker->thread.join();
        }
        worker->socket.close();
    }
}

CallResult<std::unique_ptr<ProbeReflector>> ProbeReflector::start(const ReflectorOptions& options) {
    using Result = CallResult<std::unique_ptr<ProbeReflector>>;
    std::unique_ptr<ProbeReflector> reflector(new ProbeReflector());
    reflector->state_ = std::make_unique<State>(options);
    if (options.bindAddresses.empty()) {
        return Result::failure(CallError::withCode(0, "No address to bind"));
    }

    for (const SocketAddress& address : options.bindAddresses) {
        const bool v4 = address.family == AddressFamily::IPv4;
        const std::pair<ProbeKind, std::uint16_t> wanted[2] = {
            {ProbeKind::GameLatency, options.gameLatencyPort},
            {v4 ? ProbeKind::IPv4Options : ProbeKind::IPv6Support,
             v4 ? options.ipv4OptionsPort : options.ipv6SupportPort}};
        std::vector<std::unique_ptr<Worker>> opened;
        std::vector<Endpoint> bound;
        std::optional<CallError> failure;
        const std::size_t sharing = std::max<std::size_t>(options.gameLatencyThreads, 1);
        for (const auto& [kind, port] : wanted) {
            const std::size_t copies = kind == ProbeKind::GameLatency ? sharing : 1;
            SocketAddress at = address;
            at.port = port;
            for (std::size_t copy = 0; copy < copies && !failure; ++copy) {
                auto socket = UdpSocket::open(address.family);
                if (!socket.ok()) {
                    failure = CallError::withCode(
                        socket.error().code,
                        "Cannot open a socket for " + at.toString() + ": " + socket.error().text);
                    break;
                }
                if (copies > 1) {
                    platform::SocketStatus shared = socket.value().setReusePort(true);
                    if (!shared.ok()) {
                        failure = CallError::withCode(shared.error().code,
                                                      "Cannot share " + at.toString() + " among " +
                                                          std::to_string(copies) +
                                                          " threads: " + shared.error().text);
                        break;
                    }
                }
                platform::SocketStatus status = socket.value().bind(at);
                if (!status.ok()) {
                    failure =
                        CallError::withCode(status.error().code, "Cannot bind " + at.toString() +
                                                                     ": " + status.error().text);
                    break;
                }
                // Experiments send their probes back to back; queue a burst rather than drop it.
                (void)socket.value().setReceiveBufferSize(kReceiveBufferBytes);
                if (kind == ProbeKind::IPv4Options) {
                    // Where the system cannot read options back, datagrams count as "unknown".
                    (void)socket.value().receiveIpv4Options(true);
                }
                auto local = socket.value().localAddress();
                if (!local.ok()) {
                    failure = CallError::withCode(local.error().code, local.error().text);
                    break;
                }
                if (copy == 0) {
                    // The others bind the port this one got (also when it was ephemeral).
                    at.port = local.value().port;
                    bound.push_back(Endpoint{kind, local.value()});
                }
                opened.push_back(
                    std::make_unique<Worker>(*reflector->state_, kind, socket.releaseValue(),
                                             reflector->workers_.size() + opened.size()));
            }
            if (failure) {
                break;
            }
        }
        if (failure) {
            if (!options.skipUnavailableAddresses) {
                return Result::failure(std::move(*failure));
            }
            reflector->skipped_.push_back(failure->message);
            continue;
        }
        for (auto& worker : opened) {
            reflector->workers_.push_back(std::move(worker));
        }
        reflector->endpoints_.insert(reflector->endpoints_.end(), bound.begin(), bound.end());
    }
    if (reflector->workers_.empty()) {
        return Result::failure(CallError::withCode(0, "No address could be bound"));
    }

    try {
        for (auto& worker : reflector->workers_) {
            Worker* raw = worker.get();
            worker->thread = std::thread([raw] { raw->run(); });
        }
    } catch (const std::exception& error) {
        reflector->stop();
        return Result::failure(CallError::withCode(
            0, std::string("Cannot start a reflector thread: ") + error.what()));
    }
    return Result(std::move(reflector));
}

std::optional<SocketAddress> ProbeReflector::endpoint(ProbeKind kind, AddressFamily family) const {
    for (const Endpoint& endpoint : endpoints_) {
        if (endpoint.kind == kind && endpoint.address.family == family) {
            return endpoint.address;
        }
    }
    return std::nullopt;
}

ReflectorSnapshot ProbeReflector::snapshot() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->counters;
}

std::vector<Ipv4OptionsRecord> ProbeReflector::ipv4OptionsRecords() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->ipv4Records;
}

std::vector<Ipv6SupportRecord> ProbeReflector::ipv6SupportRecords() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->ipv6Records;
}

}  // namespace mox::reflector
