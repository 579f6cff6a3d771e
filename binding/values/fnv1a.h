// File: binding/values/fnv1a.h
//
// The framework's text hash: 32-bit FNV-1a (offset basis 0x811c9dc5, prime 0x01000193). The
// value intern tables key texts by it, and the binding layer hashes member keys and field
// names with it, so every user must hash the same bytes the same way: a NUL-terminated text
// hashes the bytes before the NUL, a view or byte range hashes exactly its bytes (a view that
// contains NUL bytes hashes them too).
//
// Example:
//   static_assert(mox::fnv1a("") == mox::kFnv1aOffsetBasis);
//   std::uint32_t key = mox::fnv1a(std::string_view{name});
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mox {

inline constexpr std::uint32_t kFnv1aOffsetBasis = 0x811c9dc5u;
inline constexpr std::uint32_t kFnv1aPrime = 0x01000193u;

// Continues a hash over more bytes; start with kFnv1aOffsetBasis. Hashing a text in pieces
// gives the same result as hashing it whole.
constexpr std::uint32_t fnv1aAppend(std::uint32_t hash, std::string_view bytes) noexcept {
    for (const char c : bytes) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= kFnv1aPrime;
    }
    return hash;
}

// The hash of the bytes of `text`.
constexpr std::uint32_t fnv1a(std::string_view text) noexcept {
    return fnv1aAppend(kFnv1aOffsetBasis, text);
}

// The hash of a NUL-terminated text, over the bytes before the NUL. A null pointer hashes as
// the empty text.
constexpr std::uint32_t fnv1a(const char* text) noexcept {
    std::uint32_t hash = kFnv1aOffsetBasis;
    if (text == nullptr) {
        return hash;
    }
    for (; *text != '\0'; ++text) {
        hash ^= static_cast<std::uint8_t>(*text);
        hash *= kFnv1aPrime;
    }
    return hash;
}

// The hash of `size` raw bytes at `data` (which may be null when `size` is 0).
inline std::uint32_t fnv1aBytes(const void* data, std::size_t size) noexcept {
    std::uint32_t hash = kFnv1aOffsetBasis;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= kFnv1aPrime;
    }
    return hash;
}

}  // namespace mox
