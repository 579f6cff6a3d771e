#include "binding/builtin_types.h"

#include "binding/api_help.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"

namespace mox {

namespace {

constexpr const char* kTokenDescription = "Asynchronous operation token";

}  // namespace

void registerAsyncTypes(TypeRegistry& registry) {
    registry.beginEnum<BindingAsyncState>("BindingAsyncState")
        .value("None", BindingAsyncState::None, "Invalid state")
        .value("Running", BindingAsyncState::Running, "The operation is in flight")
        .value("Cancelling", BindingAsyncState::Cancelling,
               "A request to cancel the operation has been made")
        .value("Cancelled", BindingAsyncState::Cancelled, "The operation was cancelled")
        .value("Succeeded", BindingAsyncState::Succeeded, "The operation completed successfully")
        .value("Failed", BindingAsyncState::Failed, "The operation encountered an error")
        .description("Possible states of an asynchronous operation.")
        .tag("$builtin")
        .tag("async")
        .finish();

    registry.beginStruct<BindingGenericEvent>("BindingGenericEvent")
        .field("data", &BindingGenericEvent::data, "Event data")
        .description("Represents generic data for an event.")
        .tag("$builtin")
        .finish();

    registry.beginStruct<BindingCallbackEvent>("BindingCallbackEvent")
        .field("id", &BindingCallbackEvent::id, "ID of the callback being invoked")
        .field("parameters", &BindingCallbackEvent::parameters, "Callback parameters")
        .description("Represents the parameters of a call to a provided callback.")
        .tag("$builtin")
        .finish();

    registry.beginStruct<BindingGenericAsyncEvent>("BindingGenericAsyncEvent")
        .field("asyncToken", &BindingGenericAsyncEvent::asyncToken, kTokenDescription)
        .field("data", &BindingGenericAsyncEvent::data, "Event data")
        .description("Represents generic data for an asynchronous event.")
        .tag("$builtin")
        .tag("async")
        .finish();

    registry.beginStruct<BindingAsyncFailureEvent>("BindingAsyncFailureEvent")
        .field("asyncToken", &BindingAsyncFailureEvent::asyncToken, kTokenDescription)
        .field("error", &BindingAsyncFailureEvent::error, "Error message")
        .description("Represents a failed asynchronous operation.")
        .tag("$builtin")
        .tag("async")
        .finish();

    registry.beginStruct<BindingAsyncCancelEvent>("BindingAsyncCancelEvent")
        .field("asyncToken", &BindingAsyncCancelEvent::asyncToken, kTokenDescription)
        .description("Represents a cancelled asynchronous operation.")
        .tag("$builtin")
        .tag("async")
        .finish();
}

void registerBuiltinTypes(TypeRegistry& registry) {
    registerHelpTypes(registry);
    registerAsyncTypes(registry);
}

void registerBuiltinEvents(TypeRegistry& registry) {
    registerBuiltinTypes(registry);
    if (registry.findEvent("OnCallback") != nullptr) {
        return;
    }
    const TypeRef payload{TypeKind::Struct, TypeKind::None,
                          registry.findTypeById(typeIdOf<BindingCallbackEvent>())};
    EventDescriptor* event = registry.registerEvent("OnCallback", payload);
    event->description = "Fired when a callback is invoked.";
    event->tags.emplace_back("$builtin");
}

void setUpBuiltinTypes(TypeRegistry& registry) {
    if (registry.isInitialised()) {
        registry.clear();
    }
    registerBuiltinEvents(registry);
    registry.markInitialised();
}

}  // namespace mox
