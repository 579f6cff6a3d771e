// The built-in set-up: help and async records, the "OnCallback" event, idempotence.
#include <gtest/gtest.h>

#include <string>

#include "binding/api_help.h"
#include "binding/builtin_types.h"
#include "binding/converters.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"

namespace mox {
namespace {

TEST(BuiltinTypesTest, SetUpRegistersEverythingOnce) {
    TypeRegistry registry;
    setUpBuiltinTypes(registry);
    EXPECT_TRUE(registry.isInitialised());
    const char* const names[] = {
        "BindingHelpFormat",        "BindingFullTypeIdentifier", "BindingFullArgumentHelp",
        "BindingFullFunctionHelp",  "BindingFullEnumValueHelp",  "BindingFullFieldHelp",
        "BindingFullTypeHelp",      "BindingFullEventHelp",      "BindingFullApiHelp",
        "BindingAsyncState",        "BindingGenericEvent",       "BindingCallbackEvent",
        "BindingGenericAsyncEvent", "BindingAsyncFailureEvent",  "BindingAsyncCancelEvent",
    };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const TypeDescriptor* type = registry.findTypeByName(name);
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->tags.at(0), "$builtin");
        EXPECT_EQ(registry.findTypeById(type->typeId), type);
    }
    EXPECT_EQ(registry.typeSnapshot().size(), std::size(names));
    const EventDescriptor* onCallback = registry.findEvent("OnCallback");
    ASSERT_NE(onCallback, nullptr);
    EXPECT_EQ(onCallback->description, "Fired when a callback is invoked.");
    EXPECT_EQ(onCallback->tags, std::vector<std::string>{"$builtin"});
    EXPECT_EQ(onCallback->payload.descriptor, registry.findTypeByName("BindingCallbackEvent"));

    // Running the set-up again, or only the registrations, changes nothing.
    const TypeDescriptor* before = registry.findTypeByName("BindingAsyncState");
    registerBuiltinEvents(registry);
    EXPECT_EQ(registry.findTypeByName("BindingAsyncState"), before);
    EXPECT_EQ(registry.findEvent("OnCallback"), onCallback);
    setUpBuiltinTypes(registry);
    EXPECT_EQ(registry.typeSnapshot().size(), std::size(names));
    EXPECT_EQ(registry.eventSnapshot().size(), 1u);
    EXPECT_TRUE(registry.isInitialised());
}

TEST(BuiltinTypesTest, ExistingOnCallbackIsLeftAlone) {
    TypeRegistry registry;
    EventDescriptor* own = registry.registerEvent("OnCallback", {});
    own->description = "mine";
    registerBuiltinEvents(registry);
    EXPECT_EQ(registry.findEvent("OnCallback"), own);
    EXPECT_EQ(own->description, "mine");
}

TEST(BuiltinTypesTest, SetUpDropsEarlierRegistrations) {
    TypeRegistry registry;
    setUpBuiltinTypes(registry);
    registry.registerFunction("f", {});
    registry.registerEvent("OnOther", {});
    setUpBuiltinTypes(registry);
    EXPECT_EQ(registry.findFunction("f"), nullptr);
    EXPECT_EQ(registry.findEvent("OnOther"), nullptr);
    EXPECT_NE(registry.findEvent("OnCallback"), nullptr);
}

TEST(BuiltinTypesTest, AsyncStateHelp) {
    TypeRegistry registry;
    setUpBuiltinTypes(registry);
    const TypeDescriptor* state = registry.findTypeByName("BindingAsyncState");
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(typeEpytext(*state),
              "Possible states of an asynchronous operation.\r\n\r\n"
              "@cvar None: (0) Invalid state\r\n"
              "@cvar Running: (1) The operation is in flight\r\n"
              "@cvar Cancelling: (2) A request to cancel the operation has been made\r\n"
              "@cvar Cancelled: (3) The operation was cancelled\r\n"
              "@cvar Succeeded: (4) The operation completed successfully\r\n"
              "@cvar Failed: (5) The operation encountered an error\r\n"
              "@tags: $builtin,async\r\n"
              "@size: 4\r\n");

    Value help;
    apiHelp(help, registry, BindingHelpFormat::Full);
    const Value* found = nullptr;
    for (const Value& type : help.find("types").elements()) {
        if (type.find("name").asString() == "BindingAsyncState") {
            found = &type;
        }
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->find("values").size(), 6u);
    EXPECT_EQ(found->find("values").at(0).find("name").asString(), "Cancelled");  // by name
}

TEST(BuiltinTypesTest, RecordLayoutsAndDescriptions) {
    TypeRegistry registry;
    setUpBuiltinTypes(registry);
    struct Row {
        const char* type;
        const char* field;
        std::uint32_t offset32;  // documented native offset on 32-bit targets
        TypeKind kind;
        const char* description;
    };
    const Row rows[] = {
        {"BindingGenericEvent", "data", 0, TypeKind::Object, "Event data"},
        {"BindingCallbackEvent", "id", 0, TypeKind::UInt32, "ID of the callback being invoked"},
        {"BindingCallbackEvent", "parameters", 4, TypeKind::Vector, "Callback parameters"},
        {"BindingGenericAsyncEvent", "asyncToken", 0, TypeKind::UInt32,
         "Asynchronous operation token"},
        {"BindingGenericAsyncEvent", "data", 8, TypeKind::Object, "Event data"},
        {"BindingAsyncFailureEvent", "asyncToken", 0, TypeKind::UInt32,
         "Asynchronous operation token"},
        {"BindingAsyncFailureEvent", "error", 4, TypeKind::String, "Error message"},
        {"BindingAsyncCancelEvent", "asyncToken", 0, TypeKind::UInt32,
         "Asynchronous operation token"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.type) + "." + row.field);
        const TypeDescriptor* type = registry.findTypeByName(row.type);
        ASSERT_NE(type, nullptr);
        const FieldDescriptor* field = type->findField(row.field);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->type.kind, row.kind);
        EXPECT_EQ(field->description, row.description);
        EXPECT_EQ(field->flags, 0u);
        if (platform::kIs32BitTarget) {
            EXPECT_EQ(field->offset, row.offset32);
        }
    }
    EXPECT_EQ(registry.findTypeByName("BindingCallbackEvent")->fields[1].type.elementKind,
              TypeKind::Object);
}

TEST(BuiltinTypesTest, EventRecordsConvert) {
    TypeRegistry registry;
    setUpBuiltinTypes(registry);

    BindingAsyncFailureEvent failure;
    failure.asyncToken = 7;
    ValueResult value = toValueRecord(failure, registry);
    ASSERT_TRUE(value.ok()) << value.error();
    EXPECT_EQ(value.value().find("asyncToken").kind(), ValueKind::Unsigned);
    EXPECT_EQ(value.value().find("asyncToken").asUnsigned(), 7u);
    ASSERT_TRUE(value.value().contains("error"));  // nothing is omitted
    EXPECT_EQ(value.value().find("error").kind(), ValueKind::String);
    EXPECT_EQ(value.value().find("error").size(), 0u);

    BindingCallbackEvent callback;
    callback.id = 3;
    callback.parameters.resize(2);
    callback.parameters[0].setString("p");
    callback.parameters[1].append().setSigned(1);
    value = toValueRecord(callback, registry);
    ASSERT_TRUE(value.ok());
    const Value& parameters = value.value().find("parameters");
    ASSERT_EQ(parameters.kind(), ValueKind::Collection);
    ASSERT_EQ(parameters.size(), 2u);
    EXPECT_EQ(parameters.at(0).asString(), "p");
    EXPECT_EQ(parameters.at(1).at(0).asSigned(), 1);

    BindingCallbackEvent back;
    ASSERT_TRUE(toNativeRecord(back, value.value(), "<value>", registry).ok());
    EXPECT_EQ(back.id, 3u);
    ASSERT_EQ(back.parameters.size(), 2u);
    EXPECT_EQ(back.parameters[0].asString(), "p");
    EXPECT_EQ(back.parameters[1].at(0).asSigned(), 1);
}

}  // namespace
}  // namespace mox
