// File: plugin/entry/plugin_entry.h
//
// The load-time boundary: the `PluginLoadRecord` the host hands to the exported entry point,
// the `PluginEntryTable` through which it drives the plugin afterwards, and the `HostEvent`
// record it passes to an event trampoline. Plain data only: byte-packed, 32-bit numbers stay
// 32-bit, pointers and words are pointer-sized, every function is cdecl. On 32-bit targets
// the sizes and offsets are the host's binary format and are asserted below.
//
// Calling order the host must keep (the plugin relies on it):
//   1. the load function once, on the loading thread; success is signalled only by the filled
//      record (entryTable non-null); a refused host ends the process;
//   2. `initialize` once, with a `HostBinding` the host keeps alive until step 4 returns;
//   3. any number of function-table calls and event deliveries, from any host threads;
//      `getMemoryStats` at any time after step 1;
//   4. `shutdown` once. It stops new calls and waits for function-table calls and event
//      deliveries already in flight, so it must not be called from inside a host service the
//      plugin is using (a `HostYield` made during a plugin call, for instance): that call could
//      never finish. After `shutdown` returns the handle and every pointer in the record are
//      dead: no further call, event or release may reach the plugin.
//
// Example (a host):
//   mox::PluginLoadRecord record{18, 2, 0};
//   load_network_testing(&record);
//   if (record.entryTable == nullptr) { ...not loaded... }
//   record.entryTable->initialize(record.handle, &binding);
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/abi.h"
#include "platform/compiler.h"
#include "plugin/entry/host_services.h"
#include "plugin/entry/memory_stats.h"

namespace mox {

#pragma pack(push, 1)

// The three functions the host calls with the `handle` of the load record.
struct PluginEntryTable {
    // Stores the binding (kept, not copied) and finishes start-up; 1 on success.
    std::uint8_t(MOX_CDECL* initialize)(void* handle, HostBinding* binding);
    // Stops the plugin and destroys it.
    void(MOX_CDECL* shutdown)(void* handle);
    // Copies the allocation counters; `handle` is ignored.
    void(MOX_CDECL* getMemoryStats)(void* handle, MemoryStats* out);
};

// The record whose address the host passes to the load function; the host owns its memory.
// On entry the first three words hold the host's plugin API version; a successful load
// overwrites them with the plugin's and fills the rest. A failed load writes nothing.
struct PluginLoadRecord {
    std::uint32_t apiMajor;
    std::uint32_t apiMinor;
    std::uint32_t apiPatch;
    PluginEntryTable* entryTable;  // inside the plugin object
    void* handle;                  // the plugin object; first argument of every entry
    const char* shortName;         // valid until shutdown
    const void* functionTable;     // the host function table (a `HostApiDescription`)
};

// The size of a `HostValue` (binding/host_value.h) on this target: a 32-bit kind, then a
// payload of a pointer and a 32-bit length. This leaf does not know values; the layers that
// do read and write the payload bytes and assert that the sizes agree.
inline constexpr std::size_t kHostValueBytes = 4 + sizeof(void*) + 4;

// The record the host passes to an event trampoline, valid during that call only.
struct HostEvent {
    const char* name;                       // the event key subscribed under
    std::uint8_t payload[kHostValueBytes];  // one `HostValue`, borrowed from the host
    HostWord reserved;                      // the host's; not read by the plugin
    void* userData;                         // given at subscription: the plugin object
};

#pragma pack(pop)

// The exported load function's type.
using PluginLoadFunction = void(MOX_CDECL*)(PluginLoadRecord* record);

#if MOX_TARGET_32BIT
static_assert(sizeof(PluginEntryTable) == 12);
static_assert(sizeof(PluginLoadRecord) == 28);
static_assert(offsetof(PluginLoadRecord, entryTable) == 12);
static_assert(offsetof(PluginLoadRecord, handle) == 16);
static_assert(offsetof(PluginLoadRecord, shortName) == 20);
static_assert(offsetof(PluginLoadRecord, functionTable) == 24);
static_assert(sizeof(HostEvent) == 24);
static_assert(offsetof(HostEvent, payload) == 4);
static_assert(offsetof(HostEvent, reserved) == 16);
static_assert(offsetof(HostEvent, userData) == 20);
#else
static_assert(sizeof(PluginLoadRecord) == 12 + 4 * sizeof(void*));
static_assert(offsetof(PluginLoadRecord, functionTable) == 12 + 3 * sizeof(void*));
static_assert(sizeof(HostEvent) == kHostValueBytes + 3 * sizeof(void*));
#endif

}  // namespace mox
