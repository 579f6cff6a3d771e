// File: binding/api_description.h
//
// The compact description of the library's API that the host reads at load time: every
// function with its arguments and result, every registered type with its fields or
// enumerators, and every event. `ApiDescription::describeApi` builds it from registry
// snapshots (binding/type_registry.h) into arrays of byte-packed records; the host function
// table (routing/) embeds the function records in its own entries and hands the type and
// event arrays on.
//
// Every record starts with a pointer to the next record of its array (null in the last), so an
// array can be walked by index or as a list. All texts are NUL-terminated and point into the
// descriptors: they stay valid while the registry's descriptors and the `ApiDescription` live.
// Type kinds are `TypeKind` numbers 1..19; any other number is written as 0. The type name of
// a type reference is the descriptor's registered name when the kind is vector, enum, struct
// or map and a descriptor is present, and "" otherwise. Where a field, argument or result has
// a host type (a second `TypeRef` of non-zero kind), that one is described.
//
// Example:
//   ApiDescription description;
//   const HostApiDescription& api = description.describeApi(
//       registry.functionSnapshot(), registry.typeSnapshot(), registry.eventSnapshot());
//   for (const HostFunctionRecord* f = api.functions; f != nullptr; f = f->next) { ... }
//
// The 32-bit layouts below are the host's binary format: every offset is part of the
// interface. On 64-bit targets the same fields are laid out by the same rule (pointers 8
// bytes, 32-bit numbers unchanged, no padding); only tests use that layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/compiler.h"

namespace mox {

struct FunctionDescriptor;
struct TypeDescriptor;
struct EventDescriptor;

#pragma pack(push, 1)

// One argument of a function (25 bytes on 32-bit targets).
struct HostArgumentRecord {
    const HostArgumentRecord* next;
    const char* name;
    const char* description;
    std::uint32_t kind;
    std::uint32_t elementKind;
    const char* typeName;
    std::uint8_t optional;
};

// One function (61 bytes on 32-bit targets). The host function table copies it into its
// entries, then points `next` at the next entry and sets `dispatchContext`.
struct HostFunctionRecord {
    const HostFunctionRecord* next;
    void* reserved;  // zero
    // Zero here; the host function table stores its dispatch context for the function.
    void* dispatchContext;
    const char* name;
    const char* nameSpace;
    const HostArgumentRecord* arguments;  // null when there are none
    std::uint32_t argumentCount;
    std::uint32_t resultKind;
    std::uint32_t resultElementKind;
    const char* resultTypeName;
    const char* description;
    const char* help;
    std::uint8_t threadSafe;
    // The registered name of the result type when the function is asynchronous, else "".
    const char* async;
    const char* const* tags;  // null when there are none
    std::uint32_t tagCount;
};

// One field of a struct (29 bytes on 32-bit targets).
struct HostFieldRecord {
    const HostFieldRecord* next;
    const char* name;
    const char* description;
    std::uint32_t offset;  // byte offset in the native record
    std::uint32_t kind;
    std::uint32_t elementKind;
    const char* typeName;
    std::uint8_t optional;
};

// One enumerator of an enum (16 bytes on 32-bit targets).
struct HostEnumeratorRecord {
    const HostEnumeratorRecord* next;
    const char* name;
    const char* description;
    std::int32_t number;
};

// One registered type (40 bytes on 32-bit targets). A type with fields has `fields` set and
// `enumerators` null; a type without fields is described by its enumerators (`fields` null).
// `count` counts whichever is described.
struct HostTypeRecord {
    const HostTypeRecord* next;
    const char* name;
    const char* nameSpace;
    std::uint32_t nativeSize;
    const char* description;
    const char* const* tags;  // null when there are none
    std::uint32_t tagCount;
    const HostFieldRecord* fields;
    const HostEnumeratorRecord* enumerators;
    std::uint32_t count;
};

// One event (28 bytes on 32-bit targets).
struct HostEventRecord {
    const HostEventRecord* next;
    const char* name;
    const char* nameSpace;
    const char* payloadTypeName;
    const char* description;
    const char* const* tags;  // null when there are none
    std::uint32_t tagCount;
};

// The description handed to the host (24 bytes on 32-bit targets). A pointer is null when its
// count is 0.
struct HostApiDescription {
    const HostFunctionRecord* functions;
    std::uint32_t functionCount;
    const HostTypeRecord* types;
    std::uint32_t typeCount;
    const HostEventRecord* events;
    std::uint32_t eventCount;
};

#pragma pack(pop)

#if MOX_TARGET_32BIT
static_assert(sizeof(HostArgumentRecord) == 25);
static_assert(offsetof(HostArgumentRecord, name) == 4);
static_assert(offsetof(HostArgumentRecord, description) == 8);
static_assert(offsetof(HostArgumentRecord, kind) == 12);
static_assert(offsetof(HostArgumentRecord, elementKind) == 16);
static_assert(offsetof(HostArgumentRecord, typeName) == 20);
static_assert(offsetof(HostArgumentRecord, optional) == 24);

static_assert(sizeof(HostFunctionRecord) == 61);
static_assert(offsetof(HostFunctionRecord, reserved) == 4);
static_assert(offsetof(HostFunctionRecord, dispatchContext) == 8);
static_assert(offsetof(HostFunctionRecord, name) == 12);
static_assert(offsetof(HostFunctionRecord, nameSpace) == 16);
static_assert(offsetof(HostFunctionRecord, arguments) == 20);
static_assert(offsetof(HostFunctionRecord, argumentCount) == 24);
static_assert(offsetof(HostFunctionRecord, resultKind) == 28);
static_assert(offsetof(HostFunctionRecord, resultElementKind) == 32);
static_assert(offsetof(HostFunctionRecord, resultTypeName) == 36);
static_assert(offsetof(HostFunctionRecord, description) == 40);
static_assert(offsetof(HostFunctionRecord, help) == 44);
static_assert(offsetof(HostFunctionRecord, threadSafe) == 48);
static_assert(offsetof(HostFunctionRecord, async) == 49);
static_assert(offsetof(HostFunctionRecord, tags) == 53);
static_assert(offsetof(HostFunctionRecord, tagCount) == 57);

static_assert(sizeof(HostFieldRecord) == 29);
static_assert(offsetof(HostFieldRecord, name) == 4);
static_assert(offsetof(HostFieldRecord, description) == 8);
static_assert(offsetof(HostFieldRecord, offset) == 12);
static_assert(offsetof(HostFieldRecord, kind) == 16);
static_assert(offsetof(HostFieldRecord, elementKind) == 20);
static_assert(offsetof(HostFieldRecord, typeName) == 24);
static_assert(offsetof(HostFieldRecord, optional) == 28);

static_assert(sizeof(HostEnumeratorRecord) == 16);
static_assert(offsetof(HostEnumeratorRecord, name) == 4);
static_assert(offsetof(HostEnumeratorRecord, description) == 8);
static_assert(offsetof(HostEnumeratorRecord, number) == 12);

static_assert(sizeof(HostTypeRecord) == 40);
static_assert(offsetof(HostTypeRecord, name) == 4);
static_assert(offsetof(HostTypeRecord, nameSpace) == 8);
static_assert(offsetof(HostTypeRecord, nativeSize) == 12);
static_assert(offsetof(HostTypeRecord, description) == 16);
static_assert(offsetof(HostTypeRecord, tags) == 20);
static_assert(offsetof(HostTypeRecord, tagCount) == 24);
static_assert(offsetof(HostTypeRecord, fields) == 28);
static_assert(offsetof(HostTypeRecord, enumerators) == 32);
static_assert(offsetof(HostTypeRecord, count) == 36);

static_assert(sizeof(HostEventRecord) == 28);
static_assert(offsetof(HostEventRecord, name) == 4);
static_assert(offsetof(HostEventRecord, nameSpace) == 8);
static_assert(offsetof(HostEventRecord, payloadTypeName) == 12);
static_assert(offsetof(HostEventRecord, description) == 16);
static_assert(offsetof(HostEventRecord, tags) == 20);
static_assert(offsetof(HostEventRecord, tagCount) == 24);

static_assert(sizeof(HostApiDescription) == 24);
static_assert(offsetof(HostApiDescription, functionCount) == 4);
static_assert(offsetof(HostApiDescription, types) == 8);
static_assert(offsetof(HostApiDescription, typeCount) == 12);
static_assert(offsetof(HostApiDescription, events) == 16);
static_assert(offsetof(HostApiDescription, eventCount) == 20);
#else
static_assert(sizeof(HostArgumentRecord) == 41);
static_assert(offsetof(HostArgumentRecord, optional) == 40);
static_assert(sizeof(HostFunctionRecord) == 105);
static_assert(offsetof(HostFunctionRecord, dispatchContext) == 16);
static_assert(offsetof(HostFunctionRecord, name) == 24);
static_assert(offsetof(HostFunctionRecord, argumentCount) == 48);
static_assert(offsetof(HostFunctionRecord, resultTypeName) == 60);
static_assert(offsetof(HostFunctionRecord, threadSafe) == 84);
static_assert(offsetof(HostFunctionRecord, async) == 85);
static_assert(offsetof(HostFunctionRecord, tagCount) == 101);
static_assert(sizeof(HostFieldRecord) == 45);
static_assert(offsetof(HostFieldRecord, optional) == 44);
static_assert(sizeof(HostEnumeratorRecord) == 28);
static_assert(sizeof(HostTypeRecord) == 68);
static_assert(offsetof(HostTypeRecord, count) == 64);
static_assert(sizeof(HostEventRecord) == 52);
static_assert(sizeof(HostApiDescription) == 36);
static_assert(offsetof(HostApiDescription, eventCount) == 32);
#endif

// Owns the record arrays of one description. The records and the `HostApiDescription` stay
// valid until the next `describeApi` call or the object's destruction; texts also need the
// descriptors to live. Not copyable (records point into the object's own arrays); movable
// (the arrays keep their addresses).
class ApiDescription {
  public:
    ApiDescription() = default;
    ApiDescription(const ApiDescription&) = delete;
    ApiDescription& operator=(const ApiDescription&) = delete;
    ApiDescription(ApiDescription&&) noexcept = default;
    ApiDescription& operator=(ApiDescription&&) noexcept = default;
    ~ApiDescription() = default;

    // Builds the records for the snapshots, replacing what the object held, and returns the
    // description pointing at them. Records follow snapshot order; arguments and fields their
    // registration order; enumerators name order. A function's `dispatchContext` is zero.
    // Throws only std::bad_alloc. REQUIRES: no snapshot pointer is null.
    const HostApiDescription& describeApi(const std::vector<const FunctionDescriptor*>& functions,
                                          const std::vector<const TypeDescriptor*>& types,
                                          const std::vector<const EventDescriptor*>& events);

    // The description built last (all zero before the first `describeApi`).
    const HostApiDescription& description() const noexcept { return description_; }

  private:
    std::vector<HostFunctionRecord> functions_;
    std::vector<HostArgumentRecord> arguments_;
    std::vector<HostTypeRecord> types_;
    std::vector<HostFieldRecord> fields_;
    std::vector<HostEnumeratorRecord> enumerators_;
    std::vector<HostEventRecord> events_;
    // The tag-pointer arrays of all records, one after another.
    std::vector<const char*> tags_;
    HostApiDescription description_{};
};

}  // namespace mox
