// File: routing/ascii.h
//
// Private to routing/: character tests and case folding on single bytes of untrusted text.
// They look only at ASCII (letters, digits, the space) and take every byte as unsigned, so
// bytes of 0x80 and above pass through unchanged; the C library's <cctype> functions are
// undefined for such bytes when `char` is signed and the Windows runtime asserts on them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mox::detail {

constexpr unsigned char asciiLower(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

constexpr unsigned char asciiUpper(unsigned char c) noexcept {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

constexpr bool isAsciiDigit(unsigned char c) noexcept {
    return c >= '0' && c <= '9';
}

// The value of a hexadecimal digit (either case), or -1.
constexpr int hexDigitValue(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// `text` with its ASCII letters lower-cased.
inline std::string asciiLowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(asciiLower(static_cast<unsigned char>(c)));
    }
    return out;
}

// Whether `text` begins with `prefix`, ASCII letters compared without case.
constexpr bool startsWithAsciiNoCase(std::string_view text, std::string_view prefix) noexcept {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (asciiLower(static_cast<unsigned char>(text[i])) !=
            asciiLower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

// `text` after its leading spaces (only the space character counts).
constexpr std::string_view skipLeadingSpaces(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    return text.substr(i);
}

// A text from the host: null reads as empty.
constexpr std::string_view hostText(const char* text) noexcept {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

}  // namespace mox::detail
