// File: binding/converters.h
//
// The compile-time mapping from a native C++ type to its `TypeKind` and converter
// (binding/converter.h):
//
//   native type                                 kind     converts as
//   bool                                        bool     bool
//   int8_t ... uint64_t                         int*     integer of that width
//   float, double                               float    floating
//   std::string                                 string   string
//   Value                                       object   deep copy
//   std::vector<std::uint8_t>                   blob     blob
//   enum types of 4 bytes                       enum     enum (signed 32-bit number)
//   std::vector<T> (T not bool, not uint8_t)    vector   vector of T
//   std::unordered_map<std::string, T>          map      map of T
//   std::optional<T>                            T's      T, or nothing
//   any other class type (a registered record)  struct   struct (by its descriptor)
//
// `makeConverter<T>()` creates the converter of T; `nativeTypeRef<T>()` gives T's kind and
// element kind (the descriptor is filled by the builder, which looks the struct or enum up in
// the registry). The converter classes themselves are private to binding/: the containers
// reach their native objects through the small tables of functions below, made per element
// type, so only those tables are templates. The rules and messages are those of the
// conversion contract: see converters.cpp for the letter of each message.
//
// Entry points for callers that convert a whole record:
//   ValueResult r = toNativeRecord(config, value, "<value>", registry);  // fills `config`
//   ValueResult v = toValueRecord(config, registry);                      // builds a Value
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "binding/converter.h"
#include "binding/type_identity.h"
#include "binding/type_ref.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox {

// --- native type traits ---------------------------------------------------------------------

namespace detail {

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {
    using Element = T;
};

template <class T>
struct IsStringMap : std::false_type {};
template <class T>
struct IsStringMap<std::unordered_map<std::string, T>> : std::true_type {
    using Element = T;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {
    using Element = T;
};

template <class T>
constexpr TypeKind scalarKindOf() {
    if constexpr (std::is_same_v<T, bool>) {
        return TypeKind::Bool;
    } else if constexpr (std::is_integral_v<T>) {
        if constexpr (std::is_signed_v<T>) {
            return sizeof(T) == 1   ? TypeKind::Int8
                   : sizeof(T) == 2 ? TypeKind::Int16
                   : sizeof(T) == 4 ? TypeKind::Int32
                                    : TypeKind::Int64;
        } else {
            return sizeof(T) == 1   ? TypeKind::UInt8
                   : sizeof(T) == 2 ? TypeKind::UInt16
                   : sizeof(T) == 4 ? TypeKind::UInt32
                                    : TypeKind::UInt64;
        }
    } else if constexpr (std::is_same_v<T, float>) {
        return TypeKind::Float;
    } else if constexpr (std::is_same_v<T, double>) {
        return TypeKind::Double;
    } else if constexpr (std::is_same_v<T, std::string>) {
        return TypeKind::String;
    } else if constexpr (std::is_same_v<T, Value>) {
        return TypeKind::Object;
    } else if constexpr (std::is_same_v<T, ValueBytes>) {
        return TypeKind::Blob;
    } else if constexpr (std::is_enum_v<T>) {
        static_assert(sizeof(T) == 4, "bound enums are stored as 32-bit numbers");
        return TypeKind::Enum;
    } else if constexpr (IsVector<T>::value) {
        static_assert(!std::is_same_v<typename IsVector<T>::Element, bool>,
                      "std::vector<bool> has no addressable elements");
        return TypeKind::Vector;
    } else if constexpr (IsStringMap<T>::value) {
        return TypeKind::Map;
    } else if constexpr (IsOptional<T>::value) {
        return scalarKindOf<typename IsOptional<T>::Element>();
    } else {
        static_assert(std::is_class_v<T>, "unsupported native type for binding");
        return TypeKind::Struct;
    }
}

// The innermost type whose descriptor a TypeRef of T carries (the element of a vector or map,
// the held type of an optional, or T itself).
template <class T>
struct DescribedType {
    using Type = T;
};
template <class T, class A>
struct DescribedType<std::vector<T, A>> {
    using Type = typename DescribedType<T>::Type;
};
template <class T>
struct DescribedType<std::unordered_map<std::string, T>> {
    using Type = typename DescribedType<T>::Type;
};
template <class T>
struct DescribedType<std::optional<T>> {
    using Type = typename DescribedType<T>::Type;
};

}  // namespace detail

// The kind of T and, for vectors and maps, of their element; the descriptor is left null.
// An optional has the kind of the type it holds.
template <class T>
constexpr TypeRef nativeTypeRef() {
    using namespace detail;
    if constexpr (IsOptional<T>::value) {
        return nativeTypeRef<typename IsOptional<T>::Element>();
    } else if constexpr (IsVector<T>::value && !std::is_same_v<T, ValueBytes>) {
        return {TypeKind::Vector, nativeTypeRef<typename IsVector<T>::Element>().kind, nullptr};
    } else if constexpr (IsStringMap<T>::value) {
        return {TypeKind::Map, nativeTypeRef<typename IsStringMap<T>::Element>().kind, nullptr};
    } else {
        return {scalarKindOf<T>(), TypeKind::None, nullptr};
    }
}

// The struct or enum type whose registered descriptor a field of type T refers to (T itself,
// or the element of a vector, map or optional), or void when T involves none.
template <class T>
using DescribedTypeOf = std::conditional_t<
    nativeTypeRef<typename detail::DescribedType<T>::Type>().kind == TypeKind::Enum ||
        nativeTypeRef<typename detail::DescribedType<T>::Type>().kind == TypeKind::Struct,
    typename detail::DescribedType<T>::Type, void>;

namespace detail {

// How the container converters reach a native container of one element type. Each table is
// made once per element type (below) and lives for the whole process.
struct VectorOps {
    std::size_t elementSize;
    std::size_t (*size)(const void* vector) noexcept;
    const void* (*data)(const void* vector) noexcept;
    void (*clear)(void* vector) noexcept;
    // Resizes to `count` default elements; returns the first element.
    void* (*resize)(void* vector, std::size_t count);
};

struct MapOps {
    std::size_t (*size)(const void* map) noexcept;
    // Clears the map and prepares its buckets for `count` entries.
    void (*clearAndReserve)(void* map, std::size_t count);
    // The element under `key`, inserted default-constructed when missing.
    void* (*slot)(void* map, std::string_view key);
    // Calls `visit` for every entry until it returns false; returns false if one did.
    bool (*forEach)(const void* map, void* context,
                    bool (*visit)(void* context, std::string_view key, const void* element));
};

struct OptionalOps {
    bool (*hasValue)(const void* optional) noexcept;
    const void* (*get)(const void* optional) noexcept;
    void* (*emplace)(void* optional);
    void (*reset)(void* optional) noexcept;
};

template <class T>
inline constexpr VectorOps kVectorOps = {
    sizeof(T),
    [](const void* v) noexcept { return static_cast<const std::vector<T>*>(v)->size(); },
    [](const void* v) noexcept -> const void* {
        return static_cast<const std::vector<T>*>(v)->data();
    },
    [](void* v) noexcept { static_cast<std::vector<T>*>(v)->clear(); },
    [](void* v, std::size_t count) -> void* {
        auto& vector = *static_cast<std::vector<T>*>(v);
        vector.resize(count);
        return vector.data();
    },
};

template <class T>
inline constexpr MapOps kMapOps = {
    [](const void* m) noexcept {
        return static_cast<const std::unordered_map<std::string, T>*>(m)->size();
    },
    [](void* m, std::size_t count) {
        auto& map = *static_cast<std::unordered_map<std::string, T>*>(m);
        map.clear();
        map.reserve(count);
    },
    [](void* m, std::string_view key) -> void* {
        auto& map = *static_cast<std::unordered_map<std::string, T>*>(m);
        return &map.try_emplace(std::string(key)).first->second;
    },
    [](const void* m, void* context,
       bool (*visit)(void* context, std::string_view key, const void* element)) {
        for (const auto& [key, element] :
             *static_cast<const std::unordered_map<std::string, T>*>(m)) {
            if (!visit(context, key, &element)) {
                return false;
            }
        }
        return true;
    },
};

template <class T>
inline constexpr OptionalOps kOptionalOps = {
    [](const void* o) noexcept { return static_cast<const std::optional<T>*>(o)->has_value(); },
    [](const void* o) noexcept -> const void* {
        return &**static_cast<const std::optional<T>*>(o);
    },
    [](void* o) -> void* { return &static_cast<std::optional<T>*>(o)->emplace(); },
    [](void* o) noexcept { static_cast<std::optional<T>*>(o)->reset(); },
};

// The converter factories (converters.cpp). `kind` is a scalar kind, string, object, blob,
// enum (with the identity of the native enum type) or struct.
std::unique_ptr<Converter> makeLeafConverter(TypeKind kind, const StaticTypeId* enumTypeId);
std::unique_ptr<Converter> makeVectorConverter(std::unique_ptr<Converter> element,
                                               const VectorOps& ops);
std::unique_ptr<Converter> makeMapConverter(std::unique_ptr<Converter> element, const MapOps& ops);
std::unique_ptr<Converter> makeOptionalConverter(std::unique_ptr<Converter> held,
                                                 const OptionalOps& ops);

}  // namespace detail

// Creates the converter of T (see the table at the top).
template <class T>
std::unique_ptr<Converter> makeConverter() {
    using namespace detail;
    if constexpr (IsOptional<T>::value) {
        using Held = typename IsOptional<T>::Element;
        return makeOptionalConverter(makeConverter<Held>(), kOptionalOps<Held>);
    } else {
        constexpr TypeKind kind = scalarKindOf<T>();
        if constexpr (kind == TypeKind::Vector) {
            using Element = typename IsVector<T>::Element;
            return makeVectorConverter(makeConverter<Element>(), kVectorOps<Element>);
        } else if constexpr (kind == TypeKind::Map) {
            using Element = typename IsStringMap<T>::Element;
            return makeMapConverter(makeConverter<Element>(), kMapOps<Element>);
        } else if constexpr (kind == TypeKind::Enum) {
            return makeLeafConverter(kind, &staticTypeIdOf<T>());
        } else {
            return makeLeafConverter(kind, nullptr);
        }
    }
}

// --- whole-record entry points ---------------------------------------------------------------

// The converter of T, made once per process (converters are immutable after construction).
template <class T>
const Converter& converterFor() {
    static const std::unique_ptr<Converter> converter = makeConverter<T>();
    return *converter;
}

// Fills `native` from `value` by the rules of T, using the registered descriptor of T (or of
// its struct/enum element). `name` is '%1' of the messages ("<value>", "<result>", ...). A
// failure may leave `native` partly filled.
template <class T>
[[nodiscard]] ValueResult toNativeRecord(T& native, const Value& value, std::string_view name,
                                         const TypeRegistry& registry) {
    ValueResult result;
    using Described = DescribedTypeOf<T>;
    const TypeDescriptor* descriptor = nullptr;
    if constexpr (!std::is_void_v<Described>) {
        descriptor = registry.findTypeById(typeIdOf<Described>());
    }
    converterFor<T>().toNative(result, &native, value, name, descriptor, &registry, 0);
    return result;
}

// Builds the generic value of `native` by the rules of T (see toNativeRecord).
template <class T>
[[nodiscard]] ValueResult toValueRecord(const T& native, const TypeRegistry& registry) {
    ValueResult result;
    using Described = DescribedTypeOf<T>;
    const TypeDescriptor* descriptor = nullptr;
    if constexpr (!std::is_void_v<Described>) {
        descriptor = registry.findTypeById(typeIdOf<Described>());
    }
    converterFor<T>().toValue(result, &native, descriptor, &registry);
    return result;
}

}  // namespace mox
