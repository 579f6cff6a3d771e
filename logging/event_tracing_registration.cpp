// Registers the library's event-tracing providers when the library loads and unregisters them
// when it unloads, through a static object's construction and destruction.
#include "platform/event_tracing.h"

namespace mox {
namespace {

struct EventTracingRegistration {
    EventTracingRegistration() { platform::registerEventTracing(); }
    ~EventTracingRegistration() { platform::unregisterEventTracing(); }
    EventTracingRegistration(const EventTracingRegistration&) = delete;
    EventTracingRegistration& operator=(const EventTracingRegistration&) = delete;
};

const EventTracingRegistration gEventTracingRegistration;

}  // namespace
}  // namespace mox
