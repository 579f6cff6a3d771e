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

// Eight bytes as a big-endian number, which compares as the bytes do (as unsigned char).
// Written out so that compilers make it one load and a byte swap.
inline std::uint64_t loadOrderKey8(const char* bytes) noexcept {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return (std::uint64_t{b[0]} << 56) | (std::uint64_t{b[1]} << 48) | (std::uint64_t{b[2]} << 40) |
           (std::uint64_t{b[3]} << 32) | (std::uint64_t{b[4]} << 24) | (std::uint64_t{b[5]} << 16) |
           (std::uint64_t{b[6]} << 8) | std::uint64_t{b[7]};
}

// `count` bytes (at most 8) as a big-endian number: two such numbers of the same count compare
// as their bytes do.
inline std::uint64_t loadOrderKey(const char* bytes, std::size_t count) noexcept {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < count; ++i) {
        key = (key << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return key;
}

// <0, 0 or >0 as the `size` bytes at `a` sort before, equal or after those at `b`, comparing
// bytes as unsigned char (as memcmp and strcmp do).
inline int compareBytes(const char* a, const char* b, std::size_t size) noexcept {
    if (size > kShortBytes) {
        return std::memcmp(a, b, size);
    }
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint64_t x = loadOrderKey8(a + i);
        const std::uint64_t y = loadOrderKey8(b + i);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    const std::uint64_t x = loadOrderKey(a + i, size - i);
    const std::uint64_t y = loadOrderKey(b + i, size - i);
    return x == y ? 0 : (x < y ? -1 : 1);
}

}  // namespace mox::detail
