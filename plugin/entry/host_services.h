// File: plugin/entry/host_services.h
//
// `HostServices`: the block of ten cdecl function pointers through which the plugin calls the
// host, and `HostBinding`, the two words the host hands to `Initialize`. Both are plain data
// owned by the host and kept alive by it for the plugin's lifetime; the plugin keeps the
// pointers, never copies. Every service takes the `HostServices` pointer itself first.
//
// A "word" is a pointer-sized unsigned integer (32 bits on the shipped target). The records of
// requests, responses and events are declared by their own headers; here they are opaque.
//
// Example (a test double for the host's log):
//   void MOX_CDECL fakeLog(mox::HostServices*, std::int32_t level, const char* text);
//   mox::HostServices services{};
//   services.hostLog = &fakeLog;
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/abi.h"

namespace mox {

struct HostServices;
struct HostRequest;   // the request record the plugin sends
struct HostResponse;  // the response record the host fills
struct HostEvent;     // the record the host passes to an event trampoline (plugin_entry.h)

using HostWord = std::uintptr_t;

// The plain function the host calls with each event of a subscribed name.
using HostEventTrampoline = void(MOX_CDECL*)(HostEvent* event);

#pragma pack(push, 1)
struct HostServices {
    // 0: sends a request and waits for the answer, filling `response`.
    void(MOX_CDECL* hostSendRequest)(HostServices* self, HostResponse* response,
                                     const HostRequest* request);
    // 1, 2, 5: services whose meaning is the host's; forwarded unchanged by the plugin base.
    HostWord(MOX_CDECL* hostService1)(HostServices* self, HostWord a, HostWord b);
    HostWord(MOX_CDECL* hostService2)(HostServices* self, HostWord a);
    // 3: subscribes `trampoline` to the event `eventName`; flags 0 resource, 1 service proxy.
    HostWord(MOX_CDECL* hostSubscribe)(HostServices* self, const char* eventName,
                                       HostWord hostContext, HostEventTrampoline trampoline,
                                       void* userData, std::uint32_t flags);
    // 4: ends the subscription to `eventName`.
    HostWord(MOX_CDECL* hostUnsubscribe)(HostServices* self, const char* eventName,
                                         HostWord hostContext);
    HostWord(MOX_CDECL* hostService5)(HostServices* self, HostWord a, HostWord b, HostWord c,
                                      double d, HostWord e);
    // 6: lets the host do pending work while the plugin waits.
    HostWord(MOX_CDECL* hostYield)(HostServices* self);
    // 7, 8: bracket a wait the host may show to the user; `text` describes it.
    HostWord(MOX_CDECL* hostBeginWait)(HostServices* self, const char* text, HostWord value);
    HostWord(MOX_CDECL* hostEndWait)(HostServices* self);
    // 9: appends a message at `level` (0..3) to the host's own log.
    void(MOX_CDECL* hostLog)(HostServices* self, std::int32_t level, const char* text);
};

struct HostBinding {
    HostServices* services;
    HostWord hostContext;  // opaque; passed back unchanged in subscriptions and requests
};
#pragma pack(pop)

#if MOX_TARGET_32BIT
static_assert(sizeof(HostServices) == 40);
static_assert(offsetof(HostServices, hostSubscribe) == 12);
static_assert(offsetof(HostServices, hostLog) == 36);
static_assert(sizeof(HostBinding) == 8);
static_assert(offsetof(HostBinding, hostContext) == 4);
#endif
static_assert(sizeof(HostServices) == 10 * sizeof(void*));
static_assert(sizeof(HostBinding) == 2 * sizeof(void*));

}  // namespace mox
