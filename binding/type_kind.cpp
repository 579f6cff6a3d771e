#include "binding/type_kind.h"

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

}  // namespace mox
