// File: binding/static_type_id.h
//
// `StaticTypeId`: the identity of a native type that takes part in binding, a 32-bit number
// fixed when the program is built plus an optional signature text naming the type. One record
// exists per type for the whole process; values and descriptors point at it, so the pointer
// is stable and comparing ids compares `id`.
#pragma once

#include <cstdint>

namespace mox {

struct StaticTypeId {
    std::uint32_t id = 0;
    // A text naming the type, or null when none was given (the display name is then
    // "#%08X" over `id`).
    const char* signature = nullptr;
};

}  // namespace mox
