// File: binding/type_identity.h
//
// Static type identities of native types: `typeIdOf<T>()` gives the 32-bit id of T, fixed when
// the program is built, and `staticTypeIdOf<T>()` the process-wide `StaticTypeId` record of T
// (binding/static_type_id.h) that values and descriptors point at.
//
// How ids are made:
//   - A type with a fixed identity names it by specialising `FixedTypeId`:
//
//       template <> struct mox::FixedTypeId<PluginManagerState>
//           : std::integral_constant<std::uint32_t, mox::kPluginManagerStateTypeId> {};
//
//     (the host's fixed identities are listed in binding/builtin_types.h).
//     Its record has no signature text, so its display name is "#%08X" over the id
//     (`#F4E3B901` here). The specialisation must be visible wherever T's id is taken.
//   - Every other type gets FNV-1a (binding/fnv1a.h) over the compiler's signature text of a
//     function template instantiated for T, computed at compile time. The same text is the
//     record's signature. Ids are unique and stable within one build only; nothing may store
//     them across builds.
//   - `void` has the reserved no-type id `kNoTypeId` (0): the result type of functions that
//     return nothing. A computed hash that happens to be 0 is moved to 1, so no real type
//     takes the reserved id by accident.
//
// Two different types can still collide by chance (32 bits); the type registry refuses the
// second registration of an id that is already taken by another record (see
// binding/type_registry.h, `TypeRegistrationStatus::IdCollision`).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

#include "binding/static_type_id.h"
#include "binding/values/fnv1a.h"
#include "platform/compiler.h"

namespace mox {

// The reserved id of "no type" (void results). Never entered in the registry's id map.
inline constexpr std::uint32_t kNoTypeId = 0;

// Specialise with a `static constexpr std::uint32_t value` (e.g. by deriving from
// std::integral_constant) to bind a native type to a fixed identity. The primary template
// has no `value`.
template <class T>
struct FixedTypeId {};

namespace detail {

template <class T>
concept HasFixedTypeId = requires {
    { FixedTypeId<T>::value } -> std::convertible_to<std::uint32_t>;
};

// The compiler's text for this instantiation; it names T. Static storage, NUL-terminated.
template <class T>
constexpr const char* typeSignature() noexcept {
    return MOX_FUNCTION_SIGNATURE;
}

constexpr std::uint32_t computedTypeId(std::string_view signature) noexcept {
    const std::uint32_t hash = fnv1a(signature);
    return hash == kNoTypeId ? 1u : hash;
}

}  // namespace detail

// The 32-bit id of T (cv-qualifiers ignored).
template <class T>
constexpr std::uint32_t typeIdOf() noexcept {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_void_v<U>) {
        return kNoTypeId;
    } else if constexpr (detail::HasFixedTypeId<U>) {
        return static_cast<std::uint32_t>(FixedTypeId<U>::value);
    } else {
        return detail::computedTypeId(detail::typeSignature<U>());
    }
}

namespace detail {

template <class T>
constexpr const char* signatureOf() noexcept {
    if constexpr (std::is_void_v<T> || HasFixedTypeId<T>) {
        return nullptr;
    } else {
        return typeSignature<T>();
    }
}

template <class T>
inline constexpr StaticTypeId kStaticTypeIdRecord{typeIdOf<T>(), signatureOf<T>()};

}  // namespace detail

// The process-wide identity record of T; the same address for every caller.
template <class T>
const StaticTypeId& staticTypeIdOf() noexcept {
    return detail::kStaticTypeIdRecord<std::remove_cv_t<T>>;
}

// The record of the reserved no-type id.
inline const StaticTypeId& noStaticTypeId() noexcept {
    return staticTypeIdOf<void>();
}

// "#%08X" over `id`: a "#" and eight upper-case hexadecimal digits.
inline std::string typeIdText(std::uint32_t id) {
    char buffer[16];
    const int length = std::snprintf(buffer, sizeof buffer, "#%08X", static_cast<unsigned>(id));
    return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// The display name of an identity: its signature text, or `typeIdText(id)` when it has none.
inline std::string typeIdDisplayName(const StaticTypeId& typeId) {
    return typeId.signature != nullptr ? std::string(typeId.signature) : typeIdText(typeId.id);
}

}  // namespace mox
