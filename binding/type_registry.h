// File: binding/type_registry.h
//
// `TypeRegistry`: the descriptions of every native type, function and event the framework
// exposes (binding/type_descriptor.h), for the plugin's lifetime. Types are registered once,
// at start-up, through a builder: `beginType` then fields or enumerators, description and tags,
// then `finish`. The typed builder over member pointers (binding/type_builder.h) sits on top:
//
//   registry.beginStruct<BindingFullArgumentHelp>("BindingFullArgumentHelp")
//       .field("name", &BindingFullArgumentHelp::name)
//       .field("type", &BindingFullArgumentHelp::type)
//       .description("Describes a function parameter.")
//       .tag("$builtin")
//       .finish();
//
// Registration is idempotent: beginning a type whose name is registered returns an inert
// builder (every later call is ignored, status `AlreadyRegistered`), so the first descriptor
// and its fields stay as they were. Beginning a type whose id is already held by a record of
// another name is refused the same way (status `IdCollision`, nothing entered): ids must
// identify one record, and a clash of computed ids is a build-time accident the registering
// code can detect by the status of `finish()` (tests assert it is `Registered`).
//
// Concurrency: one mutex guards the maps; every lookup, registration and snapshot takes it.
// Lookups return pointers to descriptors that stay valid until the registry is destroyed or
// `clear()`ed (functions: until `unregisterFunction`). A function or event replaced by a
// registration of the same name is kept alive (but no longer found) until then, so pointers
// held elsewhere do not dangle. The builder calls of one type registration run on one thread,
// before other threads use that type.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/static_type_id.h"
#include "binding/type_descriptor.h"
#include "binding/type_ref.h"

namespace mox {

class TypeRegistry;
template <class T>
class StructBuilder;
template <class E>
class EnumBuilder;

enum class TypeRegistrationStatus : std::uint8_t {
    Registered,         // a new descriptor was entered
    AlreadyRegistered,  // the name exists; nothing changed
    IdCollision,        // the id is held by a record of another name; nothing entered
};

// The untyped builder returned by `TypeRegistry::beginType`. Inert (every call ignored) unless
// the status is `Registered`. Cheap to copy; all copies refer to one descriptor.
class TypeBuilder {
  public:
    TypeBuilder(TypeDescriptor* descriptor, TypeRegistrationStatus status) noexcept
        : descriptor_(descriptor), status_(status) {}

    bool active() const noexcept { return descriptor_ != nullptr; }
    TypeRegistrationStatus status() const noexcept { return status_; }
    // The descriptor being built; null when inert.
    TypeDescriptor* descriptor() const noexcept { return descriptor_; }

    // Appends a field. `hostType` is kept only when its kind is not None.
    TypeBuilder& addField(std::string_view name, std::string_view description, std::uint32_t offset,
                          const StaticTypeId& typeId, TypeRef type, TypeRef hostType,
                          std::uint32_t flags, std::unique_ptr<Converter> converter, bool optional);
    // Enters an enumerator, or overwrites the one of that name.
    TypeBuilder& addEnumerator(std::string_view name, std::int32_t number,
                               std::string_view description);
    TypeBuilder& setDescription(std::string_view text);
    TypeBuilder& setNameSpace(std::string_view text);
    // An empty text is ignored.
    TypeBuilder& addTag(std::string_view text);
    // Ends the registration; returns the status of `beginType`.
    TypeRegistrationStatus finish() noexcept { return status_; }

  private:
    TypeDescriptor* descriptor_;
    TypeRegistrationStatus status_;
};

class TypeRegistry {
  public:
    TypeRegistry();
    ~TypeRegistry();
    TypeRegistry(const TypeRegistry&) = delete;
    TypeRegistry& operator=(const TypeRegistry&) = delete;

    // Begins registering a struct (isEnum false) or enum. See the file comment for names
    // and ids already taken. A type with the reserved no-type id is entered by name only.
    TypeBuilder beginType(std::uint32_t size, std::string_view name, const StaticTypeId& typeId,
                          bool isEnum);

    // Typed builders (defined in binding/type_builder.h, which callers include).
    template <class T>
    StructBuilder<T> beginStruct(std::string_view name);
    template <class E>
    EnumBuilder<E> beginEnum(std::string_view name);

    // Creates a function descriptor with that name and the arguments; the caller then sets the
    // result type, flags and handler (before other threads look the function up). Unless
    // private, it is entered by name (replacing a function of that name) and the change
    // counter grows by one. A private function is owned by the registry but never found.
    FunctionDescriptor* registerFunction(std::string_view name,
                                         std::vector<ArgumentDescriptor> arguments,
                                         bool isPrivate = false);
    // Removes the function (found by name and identity), grows the change counter by one,
    // and destroys its handler and the descriptor. Returns false, changing nothing, when the
    // descriptor is not the registered function of its name.
    bool unregisterFunction(const FunctionDescriptor* descriptor);

    // Enters an event (replacing one of the same name) and returns it for the caller to set
    // its description, nameSpace and tags.
    EventDescriptor* registerEvent(std::string_view name, TypeRef payload);

    // Lookups; null when absent.
    const FunctionDescriptor* findFunction(std::string_view name) const;
    const EventDescriptor* findEvent(std::string_view name) const;
    const TypeDescriptor* findTypeByName(std::string_view name) const;
    const TypeDescriptor* findTypeById(std::uint32_t typeId) const;

    // Copies of the name maps, taken under the lock, in unspecified order.
    std::vector<const FunctionDescriptor*> functionSnapshot() const;
    std::vector<const TypeDescriptor*> typeSnapshot() const;
    std::vector<const EventDescriptor*> eventSnapshot() const;

    // The name of the enumerator with that number of the enum registered under that id; null
    // when the enum or the enumerator is missing. The text lives as long as the descriptor.
    const char* enumeratorName(std::uint32_t typeId, std::int32_t number) const;
    // Whether any enumerator of the enum has that number (false for null).
    static bool hasEnumerator(const TypeDescriptor* descriptor, std::int32_t number) noexcept;

    // Grows by one each time a function is added or removed.
    std::uint64_t changeCount() const;

    // Drops every registered event, type and function (including replaced and private ones)
    // and clears the initialised mark. REQUIRES: no pointer to a dropped descriptor is used
    // afterwards.
    void clear();

    // Set by the built-in set-up (binding/builtin_types.h).
    void markInitialised();
    bool isInitialised() const;

  private:
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept;
    };
    struct IdHash {
        std::size_t operator()(std::uint32_t id) const noexcept;
    };
    template <class D>
    using NameMap = std::unordered_map<std::string, std::unique_ptr<D>, NameHash, std::equal_to<>>;

    mutable std::mutex mutex_;
    NameMap<FunctionDescriptor> functions_;
    NameMap<EventDescriptor> events_;
    NameMap<TypeDescriptor> types_;
    std::unordered_map<std::uint32_t, TypeDescriptor*, IdHash> typesById_;
    // Replaced and private functions, replaced events: owned here until `clear()`.
    std::vector<std::unique_ptr<FunctionDescriptor>> retiredFunctions_;
    std::vector<std::unique_ptr<EventDescriptor>> retiredEvents_;
    std::uint64_t changeCount_ = 0;
    bool initialised_ = false;
};

}  // namespace mox
