// File: binding/values/interned_string.h
//
// `InternedString`: one entry of a value tree's intern table (binding/interned_string_table.h).
// Every string value and every structure member name of a tree points at such an entry, so a
// text that appears many times in one tree is stored once. The entry belongs to the tree's
// `ValueContext`; a pointer to it, and views of its text, stay valid while some value or
// member name of that tree still refers to it (and never beyond the tree's root).
//
// The empty text is never interned: all empty strings point at the one static entry returned
// by `emptyInternedString()`, which is not counted and lives for the whole process.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/values/small_object_pool.h"

namespace mox {

// The text of an entry: a string object whose storage comes from the tree's pool, so that
// interning a text makes no general-heap allocation unless the text is longer than the pool's
// largest page class (binding/small_object_pool.h), and even then the pool owns the block.
using InternedText = std::basic_string<char, std::char_traits<char>, PoolAllocator<char>>;

struct InternedString {
    // The text; always NUL-terminated, so `text.c_str()` may be handed to C functions.
    InternedText text;
    // fnv1a(text) (binding/fnv1a.h).
    std::uint32_t hash = 0;
    // How many string values and member names refer to this entry; the table erases the entry
    // when it drops to 0. Always 0 for the static empty entry.
    std::uint32_t refs = 0;
    // Next entry in the same hash bucket (owned by the table).
    InternedString* next = nullptr;

    std::string_view view() const noexcept { return text; }
};

// The shared entry of the empty text.
const InternedString& emptyInternedString() noexcept;

}  // namespace mox
