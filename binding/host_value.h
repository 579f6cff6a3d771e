// File: binding/host_value.h
//
// Host values: the plain records in which values cross the boundary between the library and
// the host, and the two conversions between them and generic values (binding/value.h).
//
// A `HostValue` is a kind tag plus a payload. Scalars live in the payload; texts, byte blobs
// and arrays are referenced by a pointer and a length or count. Kinds 5 and 7 borrow their
// bytes (the value never frees them); kinds 6 and 8 own a copy; kinds 9 and 10 own their array
// and, through it, every element or member. A `HostMember` owns its name only when `ownsName`
// is 1. All owned memory comes from, and returns to, the library's allocation layer
// (plugin/allocation.h), because the host may hand such a value back for release.
//
// Example:
//   HostValue out{};
//   HostResult status{};
//   if (!toHost(status, out, value, &registry)) { ... status.error holds why ... }
//   ...hand `out` to the host, which gives it back...
//   releaseHostValue(out);                       // `out` is kind 0 again
//
//   Value back;
//   if (!fromHost(status, back, hostArgument, "<value>")) { ... status.error ... }
//
// This header is not the wire format of requests and responses (routing/), and not the API
// description handed to the host at load time (binding/api_description.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/values/nesting_limit.h"
#include "platform/abi.h"

namespace mox {

class Value;
class TypeRegistry;

// The kind tag of a host value. The host may write any 32-bit number here; numbers outside
// 0..10 are representable (the enum has a fixed underlying type) and `fromHost` rejects them.
enum class HostKind : std::uint32_t {
    Empty = 0,
    Bool = 1,
    Signed = 2,
    Unsigned = 3,
    Float = 4,
    BorrowedString = 5,
    OwnedString = 6,
    BorrowedBlob = 7,
    OwnedBlob = 8,
    Collection = 9,
    Structure = 10,
};

struct HostValue;
struct HostMember;

#pragma pack(push, 1)

// The referenced payload of kinds 5 to 10: a pointer and a length (texts, blobs) or count
// (arrays). For texts the length excludes the terminating NUL and is informational only.
struct HostText {
    const char* text;
    std::uint32_t length;
};
struct HostBytes {
    const std::uint8_t* bytes;
    std::uint32_t length;
};
struct HostArray {
    HostValue* values;
    std::uint32_t count;
};
struct HostMembers {
    HostMember* members;
    std::uint32_t count;
};

// The payload. The first member is the widest on every target, so `HostPayload{}` zeroes all
// of it.
union HostPayload {
    HostArray array;              // kind 9
    HostMembers structure;        // kind 10
    HostText string;              // kinds 5, 6
    HostBytes blob;               // kinds 7, 8
    std::uint8_t boolean;         // kind 1: 0 or 1
    std::int64_t signedValue;     // kind 2
    std::uint64_t unsignedValue;  // kind 3
    double floatValue;            // kind 4
};

// 12 bytes on 32-bit targets (kind, then 8 payload bytes); 16 on 64-bit targets, where the
// pointer of a referencing payload is 8 bytes wide and its length stays 32-bit.
// A value-initialised `HostValue{}` is kind 0 with a zero payload.
struct HostValue {
    HostKind kind = HostKind::Empty;
    HostPayload payload = {};
};

// 17 bytes on 32-bit targets, 25 on 64-bit targets. `ownsName` = 1: `name` came from the
// allocation layer and is freed with the member; 0: `name` is borrowed.
struct HostMember {
    const char* name = nullptr;
    HostValue value = {};
    std::uint8_t ownsName = 0;
};

// A value plus an error: 17 bytes on 32-bit targets, 25 on 64-bit targets. `error` is owned
// (allocation layer) and non-null only after a failure; `failed` is 1 after a failure, even
// if the copy of the message could not be allocated.
struct HostResult {
    HostValue value = {};
    char* error = nullptr;
    std::uint8_t failed = 0;
};

#pragma pack(pop)

// Layout checks. The 32-bit layout is the host's; the 64-bit one follows the same rule
// (pointers pointer-sized, 32-bit fields unchanged) and is used by native test builds.
static_assert(offsetof(HostValue, payload) == 4);
static_assert(offsetof(HostMember, value) == sizeof(void*));
static_assert(offsetof(HostResult, error) == sizeof(HostValue));
static_assert(offsetof(HostText, length) == sizeof(void*));
static_assert(offsetof(HostArray, count) == sizeof(void*));
static_assert(offsetof(HostMembers, count) == sizeof(void*));
static_assert(offsetof(HostBytes, length) == sizeof(void*));
#if MOX_TARGET_32BIT
static_assert(sizeof(HostPayload) == 8);
static_assert(sizeof(HostValue) == 12);
static_assert(sizeof(HostMember) == 17);
static_assert(offsetof(HostMember, value) == 4);
static_assert(offsetof(HostMember, ownsName) == 16);
static_assert(sizeof(HostResult) == 17);
static_assert(offsetof(HostResult, error) == 12);
static_assert(offsetof(HostResult, failed) == 16);
#else
static_assert(sizeof(HostPayload) == 12);
static_assert(sizeof(HostValue) == 16);
static_assert(sizeof(HostMember) == 25);
static_assert(offsetof(HostMember, ownsName) == 24);
static_assert(sizeof(HostResult) == 25);
static_assert(offsetof(HostResult, failed) == 24);
#endif

// Deepest nesting of collections and structures that `toHost` and `fromHost` convert: a root
// container is depth 1. Deeper input fails (see each function); it would otherwise let a
// hostile or corrupt tree exhaust the stack. `releaseHostValue` has no such limit.
inline constexpr std::uint32_t kMaxHostValueDepth = kMaxNestingDepth;

// Most elements or members of one host array that `fromHost` accepts: the generic value's
// collection limit. A larger count cannot describe a real array on the host's 32-bit target.
inline constexpr std::uint32_t kMaxHostArrayCount = 0x0FFFFFFF;

// The name printed for a host kind in messages: "bool", "signed", "unsigned", "float",
// "string" (5, 6), "blob" (7, 8), "collection", "structure", and "" for 0 and any other kind.
const char* hostKindName(HostKind kind);

// Releases what `value` owns and leaves it kind 0 with a zero payload. Kind 9 releases every
// element and frees the array; kind 10 frees each member name whose `ownsName` is 1, releases
// each member value and frees the array; kinds 6 and 8 free their data; kinds 5 and 7 and the
// scalars free nothing. A null data or array pointer is skipped; kinds outside 0..10 free
// nothing. Works without recursion, so any depth is safe.
// REQUIRES: every owned block was allocated by the allocation layer and is referenced once in
// the tree.
void releaseHostValue(HostValue& value);

// Releases a member: its name if `ownsName` is 1, then its value. Leaves it zeroed.
void releaseHostMember(HostMember& member);

// Releases the value and the error text and clears the flag.
void releaseHostResult(HostResult& result);

// Setters. Each releases what `target` held. The copying setters make their copy before
// they release, so the new content may come from `target` itself (its own text, or a text
// anywhere in the tree it holds). They return false when the allocation layer has no memory;
// `target` is then kind 0.
void setHostBool(HostValue& target, bool value);
void setHostSigned(HostValue& target, std::int64_t value);
void setHostUnsigned(HostValue& target, std::uint64_t value);
void setHostFloat(HostValue& target, double value);
// Kind 6 with an owned copy of `text` up to its NUL (length = the text's length); a null text
// is taken as "".
[[nodiscard]] bool setHostString(HostValue& target, const char* text);
// Kind 6 with an owned, NUL-terminated copy of `length` bytes of `text` (which may contain no
// NUL of its own). Fails as well when `length` does not fit 32 bits.
[[nodiscard]] bool setHostString(HostValue& target, const char* text, std::size_t length);
// Kind 8 with an owned copy of `length` bytes. Fails as well when `length` does not fit 32
// bits.
[[nodiscard]] bool setHostBlob(HostValue& target, const void* bytes, std::size_t length);
// Kind 9 with a new zero-filled array of `count` values, which the caller then fills; returns
// the array, or null (target kind 0) without memory.
[[nodiscard]] HostValue* setHostCollection(HostValue& target, std::uint32_t count);
// Kind 10 with a new zero-filled array of `count` members (null names, `ownsName` 0), which
// the caller then fills; returns the array, or null (target kind 0) without memory.
[[nodiscard]] HostMember* setHostStructure(HostValue& target, std::uint32_t count);
// Gives `member` an owned copy of `name` (ownsName = 1), then frees an owned name it had (so
// `name` may be that name).
// Without memory the member keeps no name (null, ownsName 0) and false is returned.
[[nodiscard]] bool setHostMemberName(HostMember& member, const char* name);

// Stores an owned copy of `message` as the result's error (replacing an earlier one), releases
// its value and sets the flag; `message` may point into the result itself. Without memory the error
// stays null and the flag is still set.
void setHostError(HostResult& result, const char* message);

// Converts a generic value into `out` (released first): empty, bool, signed, unsigned and
// float to kinds 0 to 4; string to kind 6 and blob to kind 8, each with an owned copy; enum to
// kind 6 with an owned copy of the enumerator's name when `registry` (may be null) knows it,
// else kind 2 with its number; collection to kind 9 and structure to kind 10 (members in the
// structure's order, which is by name; every name owned).
//
// Returns true on success. It fails only when the allocation layer has no memory, when a
// text or blob is longer than a 32-bit length, or when containers nest deeper than
// `kMaxHostValueDepth`; the part that could not be converted is then kind 0, `out` stays a
// well-formed tree that `releaseHostValue` frees, the message goes into `status.error` and
// `status.failed` is set (`status.value` is left alone). The first failure stops the
// conversion.
[[nodiscard]] bool toHost(HostResult& status, HostValue& out, const Value& value,
                          const TypeRegistry* registry);

// toHost for a value that `depth` containers of a larger conversion enclose, so that the depth
// bound counts from the outermost container (a converter writing one part of a tree uses it).
[[nodiscard]] bool toHostAtDepth(HostResult& status, HostValue& out, const Value& value,
                                 const TypeRegistry* registry, std::uint32_t depth);

// Converts a host value into `out`: kind 0 resets it; kinds 1 to 4 give the scalars; 5 and 6
// give a string read up to the text's NUL (the length field is not used); 7 and 8 give a blob
// with a copy of `length` bytes; 9 a collection, element by element; 10 a structure, member by
// member in array order (a repeated name addresses the same member again).
//
// Malformed records are mended, not trusted: a null text reads as "", a null blob or array
// pointer as empty (whatever the length or count), a null member name as "".
//
// Fails on a kind outside 0..10 anywhere in the tree, with
// "Couldn't assign value to '%1' of type object because the input is of an incompatible type
// '%2'." (%1 = `name`, %2 = `hostKindName` of the kind, so ""); on containers nested deeper
// than `kMaxHostValueDepth`; and on an array count above `kMaxHostArrayCount`. The first
// failure stops the conversion: its message goes into `status.error`, `status.failed` is set
// (`status.value` is left alone), and `out` keeps what was converted before it.
// REQUIRES: every non-null pointer in `host` addresses as many bytes, elements or members as
// its length or count says, and every text is NUL-terminated.
[[nodiscard]] bool fromHost(HostResult& status, Value& out, const HostValue& host,
                            const char* name);

}  // namespace mox
