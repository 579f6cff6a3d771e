// File: binding/builtin_types.h
//
// The framework's built-in binding records: the state of an asynchronous operation, the event
// payloads that asynchronous calls and callbacks use, and the built-in event "OnCallback";
// and the type identities that the host interface fixes for the framework's records.
// Only the records and the event description live here; the machinery that issues async
// tokens and posts these events belongs to whoever offers asynchronous functions.
//
// `setUpBuiltinTypes` is the registry's built-in set-up, run as the last step of creating the
// binding registry and router; running it again starts from an empty registry and ends with
// the same content.
//
// Native layouts: on 32-bit targets the records have the documented sizes and offsets
// (asserted below); on 64-bit targets they are larger, which only the help output shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/values/value.h"
#include "platform/abi.h"

namespace mox {

class TypeRegistry;

// Identities fixed by the host interface for the framework's built-in records. A native
// record takes one by specialising `FixedTypeId` (binding/type_identity.h).
inline constexpr std::uint32_t kPluginManagerStateTypeId = 0xF4E3B901u;
inline constexpr std::uint32_t kPluginManagerResourceTypeId = 0xFA58397Cu;
inline constexpr std::uint32_t kPluginResourceEventTypeTypeId = 0xDC24D2ADu;
inline constexpr std::uint32_t kPluginResourceEventTypeId = 0xA54F35FDu;
inline constexpr std::uint32_t kPluginLcdsEventTypeId = 0x739F2EF4u;
inline constexpr std::uint32_t kPluginLcdsResponseTypeId = 0xF4476A4Fu;
inline constexpr std::uint32_t kPluginServiceProxyResponseTypeId = 0x2C5E7588u;

// The two identities of request context that a bound function may ask for: the request
// record itself and a pointer to it. A call whose callable reports either one receives the
// request information (routing/).
inline constexpr std::uint32_t kRequestInfoTypeId = 0x466F9860u;
inline constexpr std::uint32_t kRequestInfoPointerTypeId = 0x89462EBFu;

constexpr bool isRequestContextTypeId(std::uint32_t id) noexcept {
    return id == kRequestInfoTypeId || id == kRequestInfoPointerTypeId;
}

enum class BindingAsyncState : std::int32_t {
    None = 0,        // "Invalid state"
    Running = 1,     // "The operation is in flight"
    Cancelling = 2,  // "A request to cancel the operation has been made"
    Cancelled = 3,   // "The operation was cancelled"
    Succeeded = 4,   // "The operation completed successfully"
    Failed = 5,      // "The operation encountered an error"
};

struct BindingGenericEvent {
    Value data;  // "Event data"
};

struct BindingCallbackEvent {
    std::uint32_t id = 0;           // "ID of the callback being invoked"
    std::vector<Value> parameters;  // "Callback parameters"
};

struct BindingGenericAsyncEvent {
    std::uint32_t asyncToken = 0;  // "Asynchronous operation token"
    Value data;                    // "Event data"
};

struct BindingAsyncFailureEvent {
    std::uint32_t asyncToken = 0;  // "Asynchronous operation token"
    std::string error;             // "Error message"
};

struct BindingAsyncCancelEvent {
    std::uint32_t asyncToken = 0;  // "Asynchronous operation token"
};

// Documented 32-bit layouts. offsetof on records holding library types is conditionally
// supported; GCC computes it correctly for these and only warns.
MOX_DIAGNOSTIC_PUSH
MOX_IGNORE_INVALID_OFFSETOF
static_assert(sizeof(BindingAsyncState) == 4);
#if MOX_TARGET_32BIT
static_assert(sizeof(BindingGenericEvent) == 16);
static_assert(offsetof(BindingGenericEvent, data) == 0);
static_assert(sizeof(BindingCallbackEvent) == 16);
static_assert(offsetof(BindingCallbackEvent, parameters) == 4);
static_assert(sizeof(BindingGenericAsyncEvent) == 24);
static_assert(offsetof(BindingGenericAsyncEvent, data) == 8);
static_assert(sizeof(BindingAsyncFailureEvent) == 28);
static_assert(offsetof(BindingAsyncFailureEvent, error) == 4);
#endif
static_assert(sizeof(BindingAsyncCancelEvent) == 4);
MOX_DIAGNOSTIC_POP

// Registers `BindingAsyncState` and the five event records, in that order. Idempotent.
void registerAsyncTypes(TypeRegistry& registry);

// Registers every built-in record: the help types (binding/api_help.h), then
// `registerAsyncTypes`. Idempotent.
void registerBuiltinTypes(TypeRegistry& registry);

// `registerBuiltinTypes`, then the event "OnCallback" (payload `BindingCallbackEvent`) unless an
// event of that name exists (which is then left untouched).
void registerBuiltinEvents(TypeRegistry& registry);

// The registry's built-in set-up: if the registry was set up before, drops every registered
// event, type and function first; then `registerBuiltinEvents`; then marks it initialised.
// REQUIRES: no other thread uses the registry, and no pointer to a dropped descriptor is used
// afterwards.
void setUpBuiltinTypes(TypeRegistry& registry);

}  // namespace mox
