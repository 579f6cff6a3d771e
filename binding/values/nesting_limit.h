// File: binding/values/nesting_limit.h
//
// The one nesting bound for everything that reads data from outside the library.
//
// Readers (JSON, MessagePack, YAML and the alias copies they make), argument names with dotted
// paths, native conversions and host-value conversions all refuse trees deeper than
// `kMaxNestingDepth`. Because the same bound holds everywhere, a tree that any reader accepts
// always converts to a host value, and the recursive walks over values (copy, comparison) stay
// within a known stack depth. A scalar at the top is depth 0; each container adds one level.
#pragma once

#include <cstdint>

namespace mox {

inline constexpr std::uint32_t kMaxNestingDepth = 256;

}  // namespace mox
