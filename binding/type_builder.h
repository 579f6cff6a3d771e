// File: binding/type_builder.h
//
// The typed registration builders: `TypeRegistry::beginStruct<T>` and `beginEnum<E>` give a
// builder whose calls read like the record they describe. A field is named by its member
// pointer; its offset, type kind, identity, converter and (for struct and enum members, and
// vectors, maps and optionals of them) descriptor are derived from the member's type.
//
//   registry.beginStruct<BindingFullFieldHelp>("BindingFullFieldHelp")
//       .field("name", &BindingFullFieldHelp::name)
//       .field("offset", &BindingFullFieldHelp::offset, {.description = "Byte offset"})
//       .field("type", &BindingFullFieldHelp::type, {.required = true})
//       .description("Describes a member of a struct.")
//       .tag("$builtin")
//       .finish();
//
//   registry.beginEnum<BindingHelpFormat>("BindingHelpFormat")
//       .value("Full", BindingHelpFormat::Full, "Native help format")
//       .finish();
//
// A struct or enum used by a field must be registered before the record that uses it (the
// field looks its descriptor up by type id when it is added); a record may refer to itself.
// If the type's name is already registered (or its id taken), the builder is inert: every
// call is ignored and `finish()` reports the status (binding/type_registry.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "binding/converters.h"
#include "binding/type_identity.h"
#include "binding/type_registry.h"

namespace mox {

// Options of one field; every member defaults to "not set".
struct FieldOptions {
    std::string_view description = {};
    // The field must be present when a native record is filled.
    bool required = false;
    // The field is left out of a generic value when its value is empty or zero.
    bool omitIfEmpty = false;
    // Reported as "optional" in help; conversion does not consult it.
    bool optional = false;
    // The type reported to the host instead of the derived one (kind None: not given).
    TypeRef hostType = {};
};

namespace detail {

// Byte offset of a data member, computed without constructing a T.
template <class T, class M>
std::uint32_t memberOffset(M T::*member) noexcept {
    union Storage {
        Storage() noexcept {}
        ~Storage() {}
        T object;
        unsigned char bytes[sizeof(T)];
    } storage;
    const auto* base = reinterpret_cast<const unsigned char*>(&storage.object);
    const auto* field = reinterpret_cast<const unsigned char*>(&(storage.object.*member));
    return static_cast<std::uint32_t>(field - base);
}

}  // namespace detail

// The common part of both builders: description, nameSpace, tags and finish.
template <class Derived>
class BasicTypeBuilder {
  public:
    Derived& description(std::string_view text) {
        builder_.setDescription(text);
        return self();
    }
    Derived& nameSpace(std::string_view text) {
        builder_.setNameSpace(text);
        return self();
    }
    // An empty tag is ignored.
    Derived& tag(std::string_view text) {
        builder_.addTag(text);
        return self();
    }
    TypeRegistrationStatus finish() noexcept { return builder_.finish(); }
    TypeRegistrationStatus status() const noexcept { return builder_.status(); }
    // The descriptor being built; null when inert.
    const TypeDescriptor* descriptor() const noexcept { return builder_.descriptor(); }
    TypeBuilder& untyped() noexcept { return builder_; }

  protected:
    BasicTypeBuilder(TypeRegistry& registry, TypeBuilder builder) noexcept
        : registry_(&registry), builder_(builder) {}
    Derived& self() noexcept { return static_cast<Derived&>(*this); }

    TypeRegistry* registry_;
    TypeBuilder builder_;
};

template <class T>
class StructBuilder : public BasicTypeBuilder<StructBuilder<T>> {
  public:
    StructBuilder(TypeRegistry& registry, TypeBuilder builder) noexcept
        : BasicTypeBuilder<StructBuilder<T>>(registry, builder) {}

    // Adds the field `member` of T under `name`.
    template <class M>
    StructBuilder& field(std::string_view name, M T::*member, const FieldOptions& options = {}) {
        if (!this->builder_.active()) {
            return *this;
        }
        TypeRef type = nativeTypeRef<M>();
        using Described = DescribedTypeOf<M>;
        if constexpr (!std::is_void_v<Described>) {
            type.descriptor = this->registry_->findTypeById(typeIdOf<Described>());
        }
        std::uint32_t flags = 0;
        if (options.required) {
            flags |= kFieldRequired;
        }
        if (options.omitIfEmpty) {
            flags |= kFieldOmitIfEmpty;
        }
        this->builder_.addField(name, options.description, detail::memberOffset(member),
                                staticTypeIdOf<M>(), type, options.hostType, flags,
                                makeConverter<M>(), options.optional);
        return *this;
    }

    // The same with only a description.
    template <class M>
    StructBuilder& field(std::string_view name, M T::*member, std::string_view description) {
        return field(name, member, FieldOptions{.description = description});
    }
};

template <class E>
class EnumBuilder : public BasicTypeBuilder<EnumBuilder<E>> {
    static_assert(std::is_enum_v<E> && sizeof(E) == 4, "bound enums are 32-bit");

  public:
    EnumBuilder(TypeRegistry& registry, TypeBuilder builder) noexcept
        : BasicTypeBuilder<EnumBuilder<E>>(registry, builder) {}

    // Enters the enumerator `name` with the number of `enumerator` (or overwrites it).
    EnumBuilder& value(std::string_view name, E enumerator, std::string_view description = {}) {
        this->builder_.addEnumerator(name, static_cast<std::int32_t>(enumerator), description);
        return *this;
    }
};

template <class T>
StructBuilder<T> TypeRegistry::beginStruct(std::string_view name) {
    return StructBuilder<T>(
        *this, beginType(static_cast<std::uint32_t>(sizeof(T)), name, staticTypeIdOf<T>(), false));
}

template <class E>
EnumBuilder<E> TypeRegistry::beginEnum(std::string_view name) {
    return EnumBuilder<E>(
        *this, beginType(static_cast<std::uint32_t>(sizeof(E)), name, staticTypeIdOf<E>(), true));
}

}  // namespace mox
