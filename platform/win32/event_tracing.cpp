#include "platform/event_tracing.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/win32/windows_api.h"

// Only the types: the functions are looked up at run time (below), so the library loads even
// where the system lacks them.
#include <evntprov.h>

namespace mox::platform {

namespace {

using EventRegisterFn = ULONG(WINAPI*)(LPCGUID, PENABLECALLBACK, PVOID, PREGHANDLE);
using EventWriteFn = ULONG(WINAPI*)(REGHANDLE, PCEVENT_DESCRIPTOR, ULONG, PEVENT_DATA_DESCRIPTOR);
using EventUnregisterFn = ULONG(WINAPI*)(REGHANDLE);

// GetProcAddress returns one generic function type; going through void(*)() is the conversion
// GCC accepts between unrelated function types without -Wcast-function-type.
template <typename Function>
Function lookUp(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The one event the library writes: on the second provider, naming a thread. Its payload is
// the thread identifier (32 bits) and the thread's name as NUL-terminated ANSI text.
constexpr EVENT_DESCRIPTOR kThreadNameEvent = {
    1,  // Id
    0,  // Version
    0,  // Channel
    4,  // Level: information
    0,  // Opcode
    0,  // Task
    0,  // Keyword: none, so any session that enables the provider at this level gets it
};
constexpr char kMainThreadName[] = "Main thread";

// One registered provider: the level and keyword masks its enable callback last received,
// and, derived from them, an enabled flag for each of its events. The callback may run on a
// system thread at any time between EventRegister and EventUnregister.
struct Provider {
    static constexpr std::size_t kMaxEvents = 1;

    GUID identity;
    const EVENT_DESCRIPTOR* events;  // this provider's events (nullptr: none), at most kMaxEvents
    std::size_t eventCount;

    REGHANDLE handle = 0;
    std::atomic<bool> enabled{false};
    std::atomic<unsigned char> level{0};
    std::atomic<ULONGLONG> matchAnyKeyword{0};
    std::atomic<ULONGLONG> matchAllKeyword{0};
    std::atomic<bool> eventEnabled[kMaxEvents] = {};

    // The usual rule for a provider's event: enabled provider, level within the session's
    // (0 means all), and, for an event with keywords, some of the "any" and all of the "all".
    bool computeEventEnabled(const EVENT_DESCRIPTOR& event) const {
        if (!enabled.load()) {
            return false;
        }
        const unsigned char sessionLevel = level.load();
        if (sessionLevel != 0 && event.Level > sessionLevel) {
            return false;
        }
        if (event.Keyword == 0) {
            return true;
        }
        const ULONGLONG all = matchAllKeyword.load();
        return (event.Keyword & matchAnyKeyword.load()) != 0 && (event.Keyword & all) == all;
    }

    void refreshEventFlags() {
        for (std::size_t i = 0; i < eventCount; ++i) {
            eventEnabled[i].store(computeEventEnabled(events[i]));
        }
    }
};

// The enable callback's control codes (the system headers keep them with the session API).
constexpr ULONG kDisableProvider = 0;
constexpr ULONG kEnableProvider = 1;

void NTAPI onEnableChanged(LPCGUID, ULONG controlCode, UCHAR sessionLevel, ULONGLONG matchAny,
                           ULONGLONG matchAll, PEVENT_FILTER_DESCRIPTOR, PVOID context) {
    auto* provider = static_cast<Provider*>(context);
    switch (controlCode) {
        case kEnableProvider:
            provider->level.store(sessionLevel);
            provider->matchAnyKeyword.store(matchAny);
            provider->matchAllKeyword.store(matchAll);
            provider->enabled.store(true);
            break;
        case kDisableProvider:
            provider->enabled.store(false);
            provider->level.store(0);
            provider->matchAnyKeyword.store(0);
            provider->matchAllKeyword.store(0);
            break;
        default:  // a capture-state request changes nothing here
            return;
    }
    provider->refreshEventFlags();
}

Provider gProviders[] = {
    {{0x2F9EFE86, 0x4AF7, 0x4F37, {0xA4, 0x0F, 0x94, 0xB9, 0x09, 0xA1, 0x57, 0xD6}}, nullptr, 0},
    {{0xEA08C559, 0x95A8, 0x4AA2, {0xAF, 0xA6, 0x18, 0x73, 0x8E, 0xEC, 0x6D, 0x37}},
     &kThreadNameEvent,
     1},
    {{0x10F6728C, 0xEF92, 0x4BF1, {0x83, 0x97, 0x49, 0xE6, 0x93, 0xA6, 0xEB, 0x74}}, nullptr, 0},
    {{0x46DD7F96, 0x60CB, 0x416B, {0x80, 0x85, 0xDA, 0x5C, 0xD8, 0xF4, 0x91, 0xDD}}, nullptr, 0},
};
Provider& gThreadNameProvider = gProviders[1];

// Registration state; the mutex orders register/unregister against each other.
std::mutex gMutex;
HMODULE gAdvapi = nullptr;
EventWriteFn gEventWrite = nullptr;
EventUnregisterFn gEventUnregister = nullptr;
std::atomic<bool> gRegistered{false};

void writeThreadName(const char* name) {
    if (!gThreadNameProvider.eventEnabled[0].load() || gThreadNameProvider.handle == 0) {
        return;
    }
    ULONG threadId = GetCurrentThreadId();
    EVENT_DATA_DESCRIPTOR fields[2] = {};
    fields[0].Ptr = static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(&threadId));
    fields[0].Size = sizeof threadId;
    fields[1].Ptr = static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(name));
    fields[1].Size = static_cast<ULONG>(std::strlen(name) + 1);
    gEventWrite(gThreadNameProvider.handle, &kThreadNameEvent, 2, fields);
}

}  // namespace

void registerEventTracing() {
    std::lock_guard<std::mutex> guard(gMutex);
    if (gRegistered.load()) {
        return;
    }
    HMODULE advapi = LoadLibraryW(L"Advapi32.dll");
    if (advapi == nullptr) {
        return;
    }
    const auto eventRegister = lookUp<EventRegisterFn>(advapi, "EventRegister");
    const auto eventWrite = lookUp<EventWriteFn>(advapi, "EventWrite");
    const auto eventUnregister = lookUp<EventUnregisterFn>(advapi, "EventUnregister");
    if (eventRegister == nullptr || eventWrite == nullptr || eventUnregister == nullptr) {
        FreeLibrary(advapi);
        return;
    }
    gAdvapi = advapi;
    gEventWrite = eventWrite;
    gEventUnregister = eventUnregister;
    // The enable callback can run inside EventRegister when a session already listens, so the
    // thread-name event's flag is current when registration returns.
    for (Provider& provider : gProviders) {
        provider.handle = 0;
        if (eventRegister(&provider.identity, &onEnableChanged, &provider, &provider.handle) !=
            ERROR_SUCCESS) {
            provider.handle = 0;
        }
    }
    gRegistered.store(true);
    writeThreadName(kMainThreadName);
}

void unregisterEventTracing() {
    std::lock_guard<std::mutex> guard(gMutex);
    if (!gRegistered.load()) {
        return;
    }
    for (Provider& provider : gProviders) {
        if (provider.handle != 0) {
            gEventUnregister(provider.handle);
            provider.handle = 0;
        }
        provider.enabled.store(false);
        provider.refreshEventFlags();
    }
    gEventWrite = nullptr;
    gEventUnregister = nullptr;
    FreeLibrary(gAdvapi);
    gAdvapi = nullptr;
    gRegistered.store(false);
}

bool eventTracingRegistered() {
    return gRegistered.load();
}

}  // namespace mox::platform
