#include "platform/fault_injection.h"

#include <array>
#include <cstddef>

namespace mox::platform {

namespace {

constexpr std::size_t kPoints = 3;

struct PointState {
    std::atomic<std::uint32_t> remaining{0};
    std::atomic<std::uint64_t> failed{0};
};

std::array<PointState, kPoints> gPoints;

PointState& stateOf(FaultPoint point) noexcept {
    return gPoints[static_cast<std::size_t>(point) % kPoints];
}

}  // namespace

namespace detail {

std::atomic<bool> gFaultsArmed{false};

bool takeArmedFault(FaultPoint point) noexcept {
    PointState& state = stateOf(point);
    std::uint32_t remaining = state.remaining.load(std::memory_order_acquire);
    while (remaining != 0) {
        const std::uint32_t next = remaining == kEveryCall ? remaining : remaining - 1;
        if (state.remaining.compare_exchange_weak(remaining, next, std::memory_order_acq_rel)) {
            state.failed.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

}  // namespace detail

void injectFault(FaultPoint point, std::uint32_t times) noexcept {
    stateOf(point).remaining.store(times, std::memory_order_release);
    if (times != 0) {
        detail::gFaultsArmed.store(true, std::memory_order_release);
    }
}

void clearFaults() noexcept {
    detail::gFaultsArmed.store(false, std::memory_order_release);
    for (PointState& state : gPoints) {
        state.remaining.store(0, std::memory_order_release);
    }
}

std::uint64_t injectedFailures(FaultPoint point) noexcept {
    return stateOf(point).failed.load(std::memory_order_relaxed);
}

}  // namespace mox::platform
