// File: plugin/plugin_types.h
//
// The records and events every plugin declares in its binding registry at load time: the
// plugin manager's state, resource change events, the messaging service's events and the
// service proxy's answers. Each record has the fixed type identity the host knows it by
// (binding/type_identity.h), so the host and every plugin agree on them without sharing code.
//
// `registerPluginTypes` declares them in this order, enum values and members in the order
// below, every declaration tagged "$builtin" and every event also "vclient". Idempotent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "binding/builtin_types.h"
#include "binding/type_identity.h"
#include "binding/values/value.h"
#include "platform/compiler.h"

namespace mox {

class TypeRegistry;

enum class PluginManagerState : std::int32_t {
    NotReady = 0,
    PluginsInitialized = 1,
};

struct PluginManagerResource {
    PluginManagerState state = PluginManagerState::NotReady;
};

enum class PluginResourceEventType : std::int32_t {
    Create = 0,
    Update = 1,
    Delete = 2,
};

// A change of a host resource, as delivered to resource handlers.
struct PluginResourceEvent {
    std::string uri;
    PluginResourceEventType eventType = PluginResourceEventType::Create;
    Value data;
};

struct PluginLcdsEvent {
    std::string clientId;
    std::string subtopic;
    std::string typeName;
    Value body;
};

struct PluginLcdsResponse {
    std::string typeName;
    Value body;
};

// An answer of the host's service proxy.
struct PluginServiceProxyResponse {
    std::string uuid;
    std::string serviceName;
    std::string methodName;
    std::string payload;
    std::string status;
    std::string error;
};

template <>
struct FixedTypeId<PluginManagerState>
    : std::integral_constant<std::uint32_t, kPluginManagerStateTypeId> {};
template <>
struct FixedTypeId<PluginManagerResource>
    : std::integral_constant<std::uint32_t, kPluginManagerResourceTypeId> {};
template <>
struct FixedTypeId<PluginResourceEventType>
    : std::integral_constant<std::uint32_t, kPluginResourceEventTypeTypeId> {};
template <>
struct FixedTypeId<PluginResourceEvent>
    : std::integral_constant<std::uint32_t, kPluginResourceEventTypeId> {};
template <>
struct FixedTypeId<PluginLcdsEvent>
    : std::integral_constant<std::uint32_t, kPluginLcdsEventTypeId> {};
template <>
struct FixedTypeId<PluginLcdsResponse>
    : std::integral_constant<std::uint32_t, kPluginLcdsResponseTypeId> {};
template <>
struct FixedTypeId<PluginServiceProxyResponse>
    : std::integral_constant<std::uint32_t, kPluginServiceProxyResponseTypeId> {};

// The host's 32-bit layouts of the records.
MOX_DIAGNOSTIC_PUSH
MOX_IGNORE_INVALID_OFFSETOF
#if MOX_TARGET_32BIT
static_assert(sizeof(PluginManagerResource) == 4);
static_assert(sizeof(PluginResourceEvent) == 48);
static_assert(offsetof(PluginResourceEvent, eventType) == 24);
static_assert(offsetof(PluginResourceEvent, data) == 32);
static_assert(sizeof(PluginLcdsEvent) == 88);
static_assert(offsetof(PluginLcdsEvent, body) == 72);
static_assert(sizeof(PluginLcdsResponse) == 40);
static_assert(offsetof(PluginLcdsResponse, body) == 24);
static_assert(sizeof(PluginServiceProxyResponse) == 144);
static_assert(offsetof(PluginServiceProxyResponse, error) == 120);
#endif
MOX_DIAGNOSTIC_POP

// The event names the base declares.
inline constexpr const char* kJsonApiEventName = "OnJsonApiEvent";
inline constexpr const char* kLcdsEventName = "OnLcdsEvent";
inline constexpr const char* kServiceProxyUuidEventName = "OnServiceProxyUuidEvent";
inline constexpr const char* kServiceProxyMethodEventName = "OnServiceProxyMethodEvent";
inline constexpr const char* kServiceProxyAsyncEventName = "OnServiceProxyAsyncEvent";

void registerPluginTypes(TypeRegistry& registry);

}  // namespace mox
