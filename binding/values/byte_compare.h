// File: binding/values/byte_compare.h
//
// Private to binding/values/: byte-range comparisons for the short texts that member names and
// most string values are. They give the results of memcmp (bytes compared as unsigned char)
// without a library call for short ranges, eight bytes at a time; long ones go to memcmp,
// which is faster there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mox::detail {

// Ranges longer than this go to memcmp.
inline constexpr std::size_t kShortBytes = 64;

// Whether the `size` bytes at `a` and `b` are equal.
inline bool equalBytes(const char* a, const char* b, std::size_t size) noexcept {
    if (size > kShortBytes) {
        return std::memcmp(a, b, size) == 0;
    }
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) {
            return false;
        }
    }
    for (; i < size; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// <0, 0 or >0 as the `size` bytes at `a` sort before, equal or after those at `b`, comparing
// bytes as unsigned char (as memcmp and strcmp do).
inline int compareBytes(const char* a, const char* b, std::size_t size) noexcept {
    if (size > kShortBytes) {
        return std::memcmp(a, b, size);
    }
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) {
            break;  // the first differing byte is among these eight
        }
    }
    for (; i < size; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

}  // namespace mox::detail
