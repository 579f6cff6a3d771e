#include "plugin/plugin_types.h"

#include "binding/type_builder.h"
#include "binding/type_registry.h"

namespace mox {

namespace {

void declareEvent(TypeRegistry& registry, const char* name, std::uint32_t payloadId,
                  const char* description) {
    if (registry.findEvent(name) != nullptr) {
        return;
    }
    const TypeRef payload{TypeKind::Struct, TypeKind::None, registry.findTypeById(payloadId)};
    EventDescriptor* event = registry.registerEvent(name, payload);
    event->description = description;
    event->tags.emplace_back("$builtin");
    event->tags.emplace_back("vclient");
}

}  // namespace

void registerPluginTypes(TypeRegistry& registry) {
    registry.beginEnum<PluginManagerState>("PluginManagerState")
        .value("NotReady", PluginManagerState::NotReady)
        .value("PluginsInitialized", PluginManagerState::PluginsInitialized)
        .tag("$builtin")
        .finish();
    registry.beginStruct<PluginManagerResource>("PluginManagerResource")
        .field("state", &PluginManagerResource::state)
        .tag("$builtin")
        .finish();
    registry.beginEnum<PluginResourceEventType>("PluginResourceEventType")
        .value("Create", PluginResourceEventType::Create)
        .value("Update", PluginResourceEventType::Update)
        .value("Delete", PluginResourceEventType::Delete)
        .tag("$builtin")
        .finish();
    registry.beginStruct<PluginResourceEvent>("PluginResourceEvent")
        .field("uri", &PluginResourceEvent::uri)
        .field("eventType", &PluginResourceEvent::eventType)
        .field("data", &PluginResourceEvent::data)
        .tag("$builtin")
        .finish();
    registry.beginStruct<PluginLcdsEvent>("PluginLcdsEvent")
        .field("clientId", &PluginLcdsEvent::clientId)
        .field("subtopic", &PluginLcdsEvent::subtopic)
        .field("typeName", &PluginLcdsEvent::typeName)
        .field("body", &PluginLcdsEvent::body)
        .tag("$builtin")
        .finish();
    registry.beginStruct<PluginLcdsResponse>("PluginLcdsResponse")
        .field("typeName", &PluginLcdsResponse::typeName)
        .field("body", &PluginLcdsResponse::body)
        .tag("$builtin")
        .finish();
    registry.beginStruct<PluginServiceProxyResponse>("PluginServiceProxyResponse")
        .field("uuid", &PluginServiceProxyResponse::uuid)
        .field("serviceName", &PluginServiceProxyResponse::serviceName)
        .field("methodName", &PluginServiceProxyResponse::methodName)
        .field("payload", &PluginServiceProxyResponse::payload)
        .field("status", &PluginServiceProxyResponse::status)
        .field("error", &PluginServiceProxyResponse::error)
        .tag("$builtin")
        .finish();

    declareEvent(registry, kJsonApiEventName, kPluginResourceEventTypeId,
                 "Fired when a resource is changed.");
    declareEvent(registry, kLcdsEventName, kPluginLcdsEventTypeId,
                 "Fired when a message is received over the LCDS connection.");
    declareEvent(registry, kServiceProxyUuidEventName, kPluginServiceProxyResponseTypeId,
                 "Fired when a uuid-based service proxy message is received.");
    declareEvent(registry, kServiceProxyMethodEventName, kPluginServiceProxyResponseTypeId,
                 "Fired when a method-based service proxy message is received.");
    declareEvent(registry, kServiceProxyAsyncEventName, kPluginServiceProxyResponseTypeId,
                 "Fired when an async service proxy message is received.");
}

}  // namespace mox
