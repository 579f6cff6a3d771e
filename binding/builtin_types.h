// File: binding/builtin_types.h
//
// The framework's built-in binding records: the state of an asynchronous operation, the event
// payloads that asynchronous calls and callbacks use, and the built-in event "OnCallback".
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

// Registers, in this order, the help types (binding/api_help.h), `BindingAsyncState` and the
// five event records. Idempotent.
void registerAsyncTypes(TypeRegistry& registry);

// `registerAsyncTypes`, then the event "OnCallback" (payload `BindingCallbackEvent`) unless an
// event of that name exists (which is then left untouched).
void registerBuiltinEvents(TypeRegistry& registry);

// The registry's built-in set-up: if the registry was set up before, drops every registered
// event, type and function first; then `registerBuiltinEvents`; then marks it initialised.
// REQUIRES: no other thread uses the registry, and no pointer to a dropped descriptor is used
// afterwards.
void setUpBuiltinTypes(TypeRegistry& registry);

}  // namespace mox
