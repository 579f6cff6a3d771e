// File: binding/type_ref.h
//
// `TypeKind`, the native kinds that take part in binding, and `TypeRef`, the type of a field,
// argument, result or event payload: a kind, the element kind of a vector or map, and the
// descriptor of the struct or enum involved. Also every text that names a type reference, in
// one place: `typeKindName` (exact names, "" for unknown numbers), `typeIdentifierOf` (the
// (type, elementType) pair that help records and messages print), `epytextTypeName` (the
// epytext help's type names) and `hostTypeName` and `hostKindNumber` (what the API
// description hands the host).
//
// Example:
//   TypeRef ref{TypeKind::Vector, TypeKind::Struct, &argumentHelpDescriptor};
//   TypeIdentifierText text = typeIdentifierOf(ref);
//   // text.type == "vector", text.elementType == "BindingFullArgumentHelp"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mox {

struct TypeDescriptor;

// Native kinds; the numbers are part of the host interface (API description records).
enum class TypeKind : std::uint32_t {
    None = 0,  // no type: the result of a function that returns nothing
    Bool = 1,
    Int8 = 2,
    UInt8 = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Float = 10,
    Double = 11,
    String = 12,
    Object = 13,  // a generic `Value`
    Blob = 14,    // byte vector
    Vector = 15,
    Enum = 16,    // stored natively as a signed 32-bit number
    Struct = 17,  // registered record
    Callback = 18,
    Map = 19,  // text-keyed map of one element type
};

inline constexpr std::uint32_t kTypeKindCount = 20;

// The kind's name: "bool", "int8", ..., "map"; "" for None and any number outside 1..19.
// The text is static.
std::string_view typeKindName(TypeKind kind) noexcept;
std::string_view typeKindName(std::uint32_t kind) noexcept;

struct TypeRef {
    TypeKind kind = TypeKind::None;
    // The element kind of a vector or map; None otherwise.
    TypeKind elementKind = TypeKind::None;
    // The struct or enum involved (the type itself, or the element type of a vector or map);
    // null for primitives. Owned by the registry.
    const TypeDescriptor* descriptor = nullptr;

    friend bool operator==(const TypeRef&, const TypeRef&) = default;
};

// The identifier texts of a type reference. Both views point at static texts or at the
// registered name of a descriptor, so they stay valid while the registry lives.
struct TypeIdentifierText {
    std::string_view type;
    std::string_view elementType;
};

// vector: {"vector", text of the element}; map: {"map", text of the element}; enum: the enum's
// registered name, or "enum" without a descriptor; struct: the struct's registered name, or
// "struct"; any other kind: {kind name, ""}. The element's text is that of
// TypeRef{elementKind, None, descriptor}.
TypeIdentifierText typeIdentifierOf(const TypeRef& ref) noexcept;

// The text of `ref` alone (the `type` part of `typeIdentifierOf`).
std::string_view typeTextOf(const TypeRef& ref) noexcept;

// The epytext type name: the kind name for bool, the integers, float, double, string and
// object; "bytearray" for blob; "callback"; "list[%1]" for a vector and "dict[%1]" for a map
// (%1 = the element's epytext name); "L{%1}" for an enum or struct (%1 = `typeTextOf`); "" for
// any other kind.
std::string epytextTypeName(const TypeRef& ref);

// The type name the API description gives the host: the descriptor's registered name when
// the kind is vector, enum, struct or map and a descriptor is present; "" otherwise. The text
// belongs to the descriptor.
const char* hostTypeName(const TypeRef& ref) noexcept;

// The kind number the host is sent: the kind's number when it is defined, else 0.
std::uint32_t hostKindNumber(TypeKind kind) noexcept;

}  // namespace mox
