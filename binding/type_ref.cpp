#include "binding/type_ref.h"

#include "binding/type_descriptor.h"

namespace mox {

namespace {

constexpr std::string_view kKindNames[kTypeKindCount] = {
    "",       "bool",   "int8",   "uint8",  "int16",    "uint16", "int32",
    "uint32", "int64",  "uint64", "float",  "double",   "string", "object",
    "blob",   "vector", "enum",   "struct", "callback", "map",
};

}  // namespace

std::string_view typeKindName(std::uint32_t kind) noexcept {
    return kind < kTypeKindCount ? kKindNames[kind] : std::string_view{};
}

std::string_view typeKindName(TypeKind kind) noexcept {
    return typeKindName(static_cast<std::uint32_t>(kind));
}

std::string_view typeTextOf(const TypeRef& ref) noexcept {
    switch (ref.kind) {
        case TypeKind::Enum:
            return ref.descriptor != nullptr ? std::string_view(ref.descriptor->name)
                                             : std::string_view("enum");
        case TypeKind::Struct:
            return ref.descriptor != nullptr ? std::string_view(ref.descriptor->name)
                                             : std::string_view("struct");
        default:
            return typeKindName(ref.kind);
    }
}

TypeIdentifierText typeIdentifierOf(const TypeRef& ref) noexcept {
    if (ref.kind == TypeKind::Vector || ref.kind == TypeKind::Map) {
        const TypeRef element{ref.elementKind, TypeKind::None, ref.descriptor};
        return {typeKindName(ref.kind), typeTextOf(element)};
    }
    return {typeTextOf(ref), {}};
}

std::string epytextTypeName(const TypeRef& ref) {
    switch (ref.kind) {
        case TypeKind::Bool:
        case TypeKind::Int8:
        case TypeKind::UInt8:
        case TypeKind::Int16:
        case TypeKind::UInt16:
        case TypeKind::Int32:
        case TypeKind::UInt32:
        case TypeKind::Int64:
        case TypeKind::UInt64:
        case TypeKind::Float:
        case TypeKind::Double:
        case TypeKind::String:
        case TypeKind::Object:
            return std::string(typeKindName(ref.kind));
        case TypeKind::Blob:
            return "bytearray";
        case TypeKind::Callback:
            return "callback";
        case TypeKind::Vector:
        case TypeKind::Map: {
            const TypeRef element{ref.elementKind, TypeKind::None, ref.descriptor};
            std::string out = ref.kind == TypeKind::Vector ? "list[" : "dict[";
            out += epytextTypeName(element);
            out += ']';
            return out;
        }
        case TypeKind::Enum:
        case TypeKind::Struct: {
            std::string out = "L{";
            out += typeTextOf(ref);
            out += '}';
            return out;
        }
        default:
            return {};
    }
}

const char* hostTypeName(const TypeRef& ref) noexcept {
    switch (ref.kind) {
        case TypeKind::Vector:
        case TypeKind::Enum:
        case TypeKind::Struct:
        case TypeKind::Map:
            return ref.descriptor != nullptr ? ref.descriptor->name.c_str() : "";
        default:
            return "";
    }
}

std::uint32_t hostKindNumber(TypeKind kind) noexcept {
    const auto number = static_cast<std::uint32_t>(kind);
    return number < kTypeKindCount ? number : 0;
}

}  // namespace mox
