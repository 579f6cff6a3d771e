// File: routing/argument_binding.h
//
// Argument binding, the call, and the response: what `dispatchRequest` does once a request
// has been matched to a bound function.
//
// `bindAndCall` gathers one generic argument per parameter, in this order (a later source
// overwrites an earlier one for the same argument; the first error stops everything but the
// response encoding):
//   1. headers: a parameter whose location is Any or Header takes the header named by the
//      parameter's name with its ASCII letters lower-cased (header names are used as the host
//      delivers them, so only lower-case names can match);
//   2. the query (after the first "?"): split at every "&", each piece at its first "=",
//      both halves URL-decoded; a repeated name keeps its last value;
//   3. every bool parameter not marked optional that is still empty becomes false;
//   4. header arguments, then path parameters, then query arguments go through
//      `bindParameter` (sources Header, Path, Query), each in the order it was read;
//   5. host arguments: a named entry selects the parameter of exactly that name, an unnamed
//      entry at position i the parameter at i plus the number of path parameters; its host
//      value is converted as it is (no location rules);
//   6. the body (when the body pointer is not null and its size is not 0) goes to the first
//      parameter whose location is Body, decoded by its content type, compared as a prefix
//      without case: "application/x-msgpack", "application/json",
//      "application/vnd.api+json", "application/x-yaml"; any other type fails. JSON and YAML
//      read a copy of at most `bodySize` bytes that ends at the first NUL among them;
//   7. the call: `bindArguments`, then `invoke` (with a `RequestInfo` when the function asks
//      for one);
//   8. always: `encodeResponse`, then `releaseCall`.
//
// Messages (the status is the call context's: 0 unless the function set one):
//   "Unknown argument '%1' for '%2'."                       no parameter of that name/index
//   "Argument '%1' for '%2' was specified in an invalid location."
//   "Expected value for argument '%1'."                      empty text for a kind that needs one
//   "Index %1 is in an incorrect format"                     characters after an index
//   "Index %1 is out of range"                               an index above 65535, or the one
//                                                            that makes index growth in the
//                                                            request exceed 65536 elements
//   "Argument '%1' is nested deeper than %2 levels"          more dotted segments than the bound
//   "Couldn't deserialize MessagePack|JSON|YAML value for parameter '%1' of '%2': %3"
//   "Unsupported body content type", "Extra MessgePack data found in body", the decoders' own
//   messages for bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "binding/values/value.h"
#include "routing/function_binding.h"

namespace mox {

struct FunctionDescriptor;
struct HostRequest;
struct HostResponse;
struct RouteMatch;
class TypeRegistry;

// Most elements one index in a dotted argument name may address, and most elements index
// growth may create in one request: growing to a huge index, or chaining many large indexes
// ("a.65535.65535..."), would otherwise exhaust memory.
inline constexpr std::uint32_t kMaxArgumentIndex = 65535;
inline constexpr std::size_t kMaxGrownElementsPerRequest = 65536;

// The arguments of one call while they are gathered.
struct ArgumentSet {
    explicit ArgumentSet(const FunctionDescriptor& function,
                         std::span<const std::uint32_t> locations);

    const FunctionDescriptor& function;
    // One per parameter of `function`; an empty list restricts no parameter.
    std::span<const std::uint32_t> locations;
    // One per parameter, in parameter order; empty at the start.
    std::vector<Value> values;
    // Elements created by index growth so far.
    std::size_t grownElements = 0;

    // The index of the first parameter named exactly `name`, or -1.
    std::ptrdiff_t parameterIndex(std::string_view name) const noexcept;
    // The location code of parameter `index` (0 when the list has none).
    std::uint32_t locationOf(std::size_t index) const noexcept;
};

// Binds the matched request's arguments, calls the function and fills `response` (whose
// `release` is already set). REQUIRES: `match` holds a descriptor and a binding with an
// invoker.
void bindAndCall(HostResponse& response, const HostRequest& request, const RouteMatch& match);

// Sets one argument from a named text (the name possibly dotted: "list.2", "a.b.c") or
// records an error in `context`. `source` is where the text came from.
void bindParameter(CallContext& context, ArgumentSet& arguments, std::string_view name,
                   std::string_view text, std::string_view contentType, ParameterLocation source);

// Sets `target` from `text`: decoded as MessagePack, JSON or YAML when the content type says
// so (or, with an empty content type and `structured`, when the text looks like one), a blob
// for "application/octet-stream", else a string. Records a deserialisation message naming
// the parameter and the function in `context` on failure.
void setLeafFromText(CallContext& context, Value& target, std::string_view text,
                     std::string_view contentType, bool structured, std::string_view parameterName,
                     std::string_view functionName);

// Fills `response` from the call context: the error text and flag, or the result converted
// into the body's host form (with `registry` for enum names; a conversion failure becomes an
// error answer with status 500); the flag, category (1 to 3, else 0), status, text and
// headers; and the body stream, which the response takes over.
void encodeResponse(HostResponse& response, CallContext& context, const TypeRegistry* registry);

// Wall-clock time now, in 100-nanosecond units since 1970-01-01.
std::uint64_t requestTimeNow() noexcept;

}  // namespace mox
