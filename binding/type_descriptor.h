// File: binding/type_descriptor.h
//
// The descriptors the type registry (binding/type_registry.h) keeps: one `TypeDescriptor` per
// registered struct or enum with its `FieldDescriptor`s or `EnumeratorDescriptor`s, one
// `FunctionDescriptor` per bound function with its `ArgumentDescriptor`s, and one
// `EventDescriptor` per event. They are plain records; the registry creates and owns them and
// they are filled once, at registration, on one thread. After registration they are read-only
// and may be read from any thread; texts in them (names, descriptions, tags) keep their
// addresses for as long as the descriptor lives, so other records may point into them.
//
// A descriptor lives until the registry is destroyed, except function descriptors removed by
// `TypeRegistry::unregisterFunction` and everything dropped by `TypeRegistry::clear`.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding/converter.h"
#include "binding/static_type_id.h"
#include "binding/type_ref.h"

namespace mox {

class TypeRegistry;
struct TypeDescriptor;

// Field flags (bits of `FieldDescriptor::flags`).
enum FieldFlag : std::uint32_t {
    // The field is left out of a generic value when its value is empty or zero.
    kFieldOmitIfEmpty = 1u << 0,
    // The field must be present (and not empty) when a native record is filled.
    kFieldRequired = 1u << 1,
};

struct FieldDescriptor {
    std::string name;
    // fnv1a(name) (binding/fnv1a.h): members are looked up by it without rehashing.
    std::uint32_t nameHash = 0;
    std::string description;
    // Identity of the field's native type; never null (the no-type record for unknown types).
    const StaticTypeId* typeId = nullptr;
    // Byte offset of the field within the native record.
    std::uint32_t offset = 0;
    TypeRef type;
    // The type reported to the host in the API description instead of `type`; kind None
    // when not given.
    TypeRef hostType;
    std::uint32_t flags = 0;
    // Converts the field; owned by the field. Null only for fields registered without one
    // (such fields are skipped by conversion).
    std::unique_ptr<Converter> converter;
    // Reported as "optional" in help; not consulted by conversion.
    bool optional = false;
    const TypeDescriptor* owner = nullptr;

    bool omitIfEmpty() const noexcept { return (flags & kFieldOmitIfEmpty) != 0; }
    bool required() const noexcept { return (flags & kFieldRequired) != 0; }
    // `hostType` when its kind is not None, else `type`.
    const TypeRef& reportedType() const noexcept {
        return hostType.kind != TypeKind::None ? hostType : type;
    }
};

struct EnumeratorDescriptor {
    std::int32_t number = 0;
    std::string name;
    std::string description;
    const TypeDescriptor* owner = nullptr;
};

struct TypeDescriptor {
    // Byte size of the native type.
    std::uint32_t size = 0;
    bool isEnum = false;
    std::string name;
    std::uint32_t typeId = 0;
    // The identity record of the native type; never null.
    const StaticTypeId* staticTypeId = nullptr;
    std::string nameSpace;
    std::string description;
    // In the order added; empty texts are never added.
    std::vector<std::string> tags;
    // Structs: in registration order.
    std::vector<FieldDescriptor> fields;
    // Enums: by name, ordered byte-wise (as strcmp).
    std::map<std::string, EnumeratorDescriptor, std::less<>> enumerators;
    TypeRegistry* registry = nullptr;

    // The enumerator with that name, or null.
    const EnumeratorDescriptor* findEnumerator(std::string_view enumeratorName) const;
    // The first enumerator (in name order) with that number, or null.
    const EnumeratorDescriptor* enumeratorByNumber(std::int32_t number) const noexcept;
    bool hasEnumerator(std::int32_t number) const noexcept {
        return enumeratorByNumber(number) != nullptr;
    }
    // The field with that name, or null.
    const FieldDescriptor* findField(std::string_view fieldName) const noexcept;
};

// One parameter of a bound function.
struct ArgumentDescriptor {
    std::string name;
    std::string description;
    bool optional = false;
    TypeRef type;
    // Reported to the host instead of `type` when its kind is not None.
    TypeRef hostType;
    // Converts the argument; owned by the argument record. May be null.
    std::unique_ptr<Converter> converter;

    const TypeRef& reportedType() const noexcept {
        return hostType.kind != TypeKind::None ? hostType : type;
    }
};

// The object that carries out a bound function's call. The router (routing/) derives its
// callables from it; the function descriptor owns it and destroys it with itself.
class FunctionHandler {
  public:
    FunctionHandler() = default;
    FunctionHandler(const FunctionHandler&) = delete;
    FunctionHandler& operator=(const FunctionHandler&) = delete;
    virtual ~FunctionHandler() = default;
};

struct FunctionDescriptor {
    std::string name;
    std::vector<ArgumentDescriptor> arguments;
    // The result type; kind None for functions that return nothing.
    TypeRef result;
    // Reported to the host instead of `result` when its kind is not None.
    TypeRef hostResult;
    // Converts the result; owned by the descriptor. May be null.
    std::unique_ptr<Converter> resultConverter;
    std::vector<std::string> tags;
    std::string nameSpace;
    std::string description;
    std::string help;
    bool threadSafe = false;
    bool async = false;
    std::unique_ptr<FunctionHandler> handler;
    TypeRegistry* registry = nullptr;

    const TypeRef& reportedResult() const noexcept {
        return hostResult.kind != TypeKind::None ? hostResult : result;
    }
};

struct EventDescriptor {
    std::string name;
    TypeRef payload;
    std::string nameSpace;
    std::string description;
    std::vector<std::string> tags;
};

}  // namespace mox
