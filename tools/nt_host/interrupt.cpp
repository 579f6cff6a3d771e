#include "tools/nt_host/interrupt.h"

#include <atomic>
#include <csignal>

namespace mox::nthost {
namespace {

// Lock-free, so it may be written from a signal handler.
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterruptSignal(int signal) {
    gInterrupted.store(true);
    std::signal(signal, SIG_DFL);
}

}  // namespace

void installInterruptHandlers() noexcept {
    std::signal(SIGINT, onInterruptSignal);
    std::signal(SIGTERM, onInterruptSignal);
}

bool interruptRequested() noexcept {
    return gInterrupted.load();
}

void requestInterrupt() noexcept {
    gInterrupted.store(true);
}

}  // namespace mox::nthost
