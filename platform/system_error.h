// File: platform/system_error.h
//
// Human-readable texts for operating-system error codes. The text comes from the platform's
// own message table (FormatMessageA with the system flag and the user's default language on
// Windows, strerror_r elsewhere). When the table has no text, the buffer receives
// "Failed to get error text", cut to the buffer's size. The buffer is always NUL-terminated
// when `size` > 0; nothing is written when `size` is 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mox::platform {

// The text written when the platform has no text for a code.
inline constexpr const char kNoErrorText[] = "Failed to get error text";

// Writes the text of `code` into `buffer` and returns the number of bytes written (no NUL).
std::size_t systemErrorText(std::uint32_t code, char* buffer, std::size_t size);

// The calling thread's last error code (GetLastError / errno).
std::uint32_t lastSystemError();

// systemErrorText(lastSystemError(), ...).
std::size_t lastSystemErrorText(char* buffer, std::size_t size);

}  // namespace mox::platform
