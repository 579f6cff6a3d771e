// File: binding/converters.h
//
// The concrete converters (binding/converter.h) for every native kind, and the compile-time
// mapping from a native C++ type to its `TypeKind` and converter:
//
//   native type                                 kind     converter
//   bool                                        bool     BoolConverter
//   int8_t ... uint64_t                         int*     IntegerConverter<T>
//   float, double                               float    FloatingConverter<T>
//   std::string                                 string   StringConverter
//   Value                                       object   ObjectConverter
//   std::vector<std::uint8_t>                   blob     BlobConverter
//   enum types of 4 bytes                       enum     EnumConverter
//   std::vector<T> (T not bool, not uint8_t)    vector   VectorConverter<T>
//   std::unordered_map<std::string, T>          map      MapConverter<T>
//   std::optional<T>                            T's      OptionalConverter<T>
//   any other class type (a registered record)  struct   StructConverter
//
// `makeConverter<T>()` creates the converter of T; `nativeTypeRef<T>()` gives T's kind and
// element kind (the descriptor is filled by the builder, which looks the struct or enum up in
// the registry). The rules and messages are those of the conversion contract: see
// converters.cpp for the letter of each message.
//
// Entry points for callers that convert a whole record:
//   ValueResult r = toNativeRecord(config, value, "<value>", registry);  // fills `config`
//   ValueResult v = toValueRecord(config, registry);                      // builds a Value
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "binding/converter.h"
#include "binding/type_identity.h"
#include "binding/type_kind.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox {

// --- shared scalar rules (converters.cpp) ---------------------------------------------------

namespace conversion {

// Reads a value for a signed native of range [min, max] named `typeName` in messages. On
// failure fails `result` and returns false.
[[nodiscard]] bool readSigned(ValueResult& result, const Value& value, std::string_view name,
                              std::int64_t min, std::int64_t max, const char* typeName,
                              std::int64_t& out);
// The same for an unsigned native of range [0, max].
[[nodiscard]] bool readUnsigned(ValueResult& result, const Value& value, std::string_view name,
                                std::uint64_t max, const char* typeName, std::uint64_t& out);
// The same for a float or double native of range [-max, max].
[[nodiscard]] bool readFloating(ValueResult& result, const Value& value, std::string_view name,
                                double max, const char* typeName, double& out);

// Whether a value built by `toValue` is left out by an omit-if-empty field: empty, false, 0,
// 0.0 (also -0.0), enum number 0, or a string, blob, collection or structure of size 0.
bool isOmittable(const Value& value) noexcept;

}  // namespace conversion

// --- converters -----------------------------------------------------------------------------

class BoolConverter final : public Converter {
  public:
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

template <class T>
class IntegerConverter final : public Converter {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);

  public:
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor*, const TypeRegistry*, std::uint32_t) const override {
        if (!result.ok()) {
            return;
        }
        if constexpr (std::is_signed_v<T>) {
            std::int64_t number = 0;
            if (conversion::readSigned(result, value, name, std::numeric_limits<T>::min(),
                                       std::numeric_limits<T>::max(), kTypeName, number)) {
                *static_cast<T*>(native) = static_cast<T>(number);
            }
        } else {
            std::uint64_t number = 0;
            if (conversion::readUnsigned(result, value, name, std::numeric_limits<T>::max(),
                                         kTypeName, number)) {
                *static_cast<T*>(native) = static_cast<T>(number);
            }
        }
    }
    bool writeValue(Value& out, const void* native, const TypeDescriptor*, const TypeRegistry*,
                    ValueResult&) const override {
        if constexpr (std::is_signed_v<T>) {
            out.setSigned(*static_cast<const T*>(native));
        } else {
            out.setUnsigned(*static_cast<const T*>(native));
        }
        return true;
    }
    bool isEmptyNative(const void* native, const TypeDescriptor*) const override {
        return *static_cast<const T*>(native) == 0;
    }

  private:
    static constexpr const char* kTypeName = std::is_signed_v<T> ? (sizeof(T) == 1   ? "int8"
                                                                    : sizeof(T) == 2 ? "int16"
                                                                    : sizeof(T) == 4 ? "int32"
                                                                                     : "int64")
                                                                 : (sizeof(T) == 1   ? "uint8"
                                                                    : sizeof(T) == 2 ? "uint16"
                                                                    : sizeof(T) == 4 ? "uint32"
                                                                                     : "uint64");
};

template <class T>
class FloatingConverter final : public Converter {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);

  public:
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor*, const TypeRegistry*, std::uint32_t) const override {
        if (!result.ok()) {
            return;
        }
        double number = 0.0;
        if (conversion::readFloating(result, value, name,
                                     static_cast<double>(std::numeric_limits<T>::max()),
                                     std::is_same_v<T, float> ? "float" : "double", number)) {
            *static_cast<T*>(native) = static_cast<T>(number);
        }
    }
    bool writeValue(Value& out, const void* native, const TypeDescriptor*, const TypeRegistry*,
                    ValueResult&) const override {
        out.setFloat(static_cast<double>(*static_cast<const T*>(native)));
        return true;
    }
    bool isEmptyNative(const void* native, const TypeDescriptor*) const override {
        return *static_cast<const T*>(native) == T(0);
    }
};

class StringConverter final : public Converter {
  public:
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

// A native `Value` ("object"): converts by deep copy, whatever the kind.
class ObjectConverter final : public Converter {
  public:
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

// A native byte vector (`ValueBytes`). Accepts only blobs.
class BlobConverter final : public Converter {
  public:
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

// An enum stored natively as a signed 32-bit number. `typeId` is the identity of the native
// enum type, used for the generic value when no descriptor is given.
class EnumConverter final : public Converter {
  public:
    explicit EnumConverter(const StaticTypeId& typeId) noexcept : typeId_(&typeId) {}
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;

  private:
    const StaticTypeId* typeId_;
};

// A registered record: recurses through the fields of the descriptor it is given.
class StructConverter final : public Converter {
  public:
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override;
    // True when every field would be omitted; false without a descriptor (the conversion
    // must run to report the failure).
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

template <class T>
std::unique_ptr<Converter> makeConverter();

// Failure texts shared by the container converters (converters.cpp).
namespace conversion {
void failVectorNotCollection(ValueResult& result, std::string_view name);
void failMapNotStructure(ValueResult& result, std::string_view name);
}  // namespace conversion

template <class T>
class VectorConverter final : public Converter {
    static_assert(!std::is_same_v<T, bool>, "std::vector<bool> has no addressable elements");

  public:
    VectorConverter() : element_(makeConverter<T>()) {}

    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override {
        if (!result.ok()) {
            return;
        }
        auto& vector = *static_cast<std::vector<T>*>(native);
        vector.clear();
        if (value.kind() != ValueKind::Collection) {
            conversion::failVectorNotCollection(result, name);
            return;
        }
        const auto elements = value.elements();
        vector.resize(elements.size());
        for (std::size_t i = 0; i < elements.size() && result.ok(); ++i) {
            if (!elements[i].isEmpty()) {
                element_->toNative(result, &vector[i], elements[i], name, descriptor, registry,
                                   flags);
            }
        }
    }
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override {
        const auto& vector = *static_cast<const std::vector<T>*>(native);
        out.reset();
        out.makeCollection();
        out.reserve(vector.size());
        for (const T& item : vector) {
            if (!element_->writeValue(out.append(), &item, descriptor, registry, failure)) {
                return false;
            }
        }
        return true;
    }
    bool isEmptyNative(const void* native, const TypeDescriptor*) const override {
        return static_cast<const std::vector<T>*>(native)->empty();
    }

  private:
    std::unique_ptr<Converter> element_;
};

template <class T>
class MapConverter final : public Converter {
  public:
    using Map = std::unordered_map<std::string, T>;
    MapConverter() : element_(makeConverter<T>()) {}

    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override {
        if (!result.ok()) {
            return;
        }
        auto& map = *static_cast<Map*>(native);
        map.clear();
        if (value.kind() != ValueKind::Structure) {
            conversion::failMapNotStructure(result, name);
            return;
        }
        map.reserve(value.size());
        for (const auto member : value.members()) {
            if (member.value.isEmpty()) {
                continue;
            }
            auto& slot = map.try_emplace(std::string(member.name)).first->second;
            element_->toNative(result, &slot, member.value, name, descriptor, registry, flags);
            if (!result.ok()) {
                return;
            }
        }
    }
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override {
        const auto& map = *static_cast<const Map*>(native);
        out.reset();
        out.makeStructure();
        for (const auto& [key, item] : map) {
            if (!element_->writeValue(out.member(key), &item, descriptor, registry, failure)) {
                return false;
            }
        }
        return true;
    }
    bool isEmptyNative(const void* native, const TypeDescriptor*) const override {
        return static_cast<const Map*>(native)->empty();
    }

  private:
    std::unique_ptr<Converter> element_;
};

// An optional native: an empty input leaves it without a value; any other input is converted
// by T's rules and, on success, the optional holds the result (on failure it holds none).
// Without a value it converts to an empty generic value.
template <class T>
class OptionalConverter final : public Converter {
  public:
    OptionalConverter() : held_(makeConverter<T>()) {}

    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const override {
        if (!result.ok()) {
            return;
        }
        auto& optional = *static_cast<std::optional<T>*>(native);
        if (value.isEmpty()) {
            optional.reset();
            return;
        }
        T& held = optional.emplace();
        held_->toNative(result, &held, value, name, descriptor, registry, flags);
        if (!result.ok()) {
            optional.reset();
        }
    }
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, ValueResult& failure) const override {
        const auto& optional = *static_cast<const std::optional<T>*>(native);
        if (!optional.has_value()) {
            out.reset();
            return true;
        }
        return held_->writeValue(out, &*optional, descriptor, registry, failure);
    }
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override {
        const auto& optional = *static_cast<const std::optional<T>*>(native);
        return !optional.has_value() || held_->isEmptyNative(&*optional, descriptor);
    }

  private:
    std::unique_ptr<Converter> held_;
};

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

template <class T>
std::unique_ptr<Converter> makeConverter() {
    using detail::IsOptional;
    if constexpr (IsOptional<T>::value) {
        return std::make_unique<OptionalConverter<typename IsOptional<T>::Element>>();
    } else {
        constexpr TypeKind kind = detail::scalarKindOf<T>();
        if constexpr (kind == TypeKind::Bool) {
            return std::make_unique<BoolConverter>();
        } else if constexpr (kind == TypeKind::Float || kind == TypeKind::Double) {
            return std::make_unique<FloatingConverter<T>>();
        } else if constexpr (std::is_integral_v<T>) {
            return std::make_unique<IntegerConverter<T>>();
        } else if constexpr (kind == TypeKind::String) {
            return std::make_unique<StringConverter>();
        } else if constexpr (kind == TypeKind::Object) {
            return std::make_unique<ObjectConverter>();
        } else if constexpr (kind == TypeKind::Blob) {
            return std::make_unique<BlobConverter>();
        } else if constexpr (kind == TypeKind::Enum) {
            return std::make_unique<EnumConverter>(staticTypeIdOf<T>());
        } else if constexpr (kind == TypeKind::Vector) {
            return std::make_unique<VectorConverter<typename detail::IsVector<T>::Element>>();
        } else if constexpr (kind == TypeKind::Map) {
            return std::make_unique<MapConverter<typename detail::IsStringMap<T>::Element>>();
        } else {
            return std::make_unique<StructConverter>();
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
