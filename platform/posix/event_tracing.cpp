#include "platform/event_tracing.h"

#include <atomic>

namespace mox::platform {

// No event-tracing facility on POSIX: registration only records that it happened, so the
// load/unload pairing can still be checked.
namespace {
std::atomic<bool> gRegistered{false};
}

void registerEventTracing() {
    gRegistered.store(true);
}
void unregisterEventTracing() {
    gRegistered.store(false);
}
bool eventTracingRegistered() {
    return gRegistered.load();
}

}  // namespace mox::platform
