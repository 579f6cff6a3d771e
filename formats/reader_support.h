// File: formats/reader_support.h
//
// Private to formats/: what the three readers really share. Each reader keeps its own builder,
// because their rules differ where it matters (a repeated MessagePack key overwrites an
// existing collection from index 0 where JSON and YAML append; nil, null and the empty YAML
// words leave an existing member alone), but all three place a new value the same way and
// refuse input nested deeper than the one bound for outside data.
#pragma once

#include <cstddef>

#include "binding/values/nesting_limit.h"
#include "binding/values/value.h"

namespace mox::detail {

// Whether a container opened at `depth` (the root container is depth 1) is too deep to
// accept. Every tree a reader accepts therefore converts to a host value, and the recursive
// walks over values (copy, comparison) stay within a known stack depth.
inline bool exceedsNestingDepth(std::size_t depth) noexcept {
    return depth > kMaxNestingDepth;
}

// The slot for the next value when `container` is the innermost open container: a new empty
// element at the end when it is a collection, otherwise `current` (the root, or the member
// that the last key chose).
inline Value& nextSlot(Value& container, Value& current) {
    if (container.kind() == ValueKind::Collection) {
        return container.append();
    }
    return current;
}

}  // namespace mox::detail
