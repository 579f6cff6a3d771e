// File: platform/system_error_common.h (private to platform/)
//
// The part of the system error text that does not depend on the OS: copying a text (or the
// fallback) into a caller's buffer. Shared by both backends.
#pragma once

#include <cstddef>

namespace mox::platform {

// Copies `text` into `buffer` (cut to size - 1 bytes, NUL-terminated). A null or empty text
// writes kNoErrorText instead. Returns the bytes written without the NUL. REQUIRES: size > 0.
std::size_t copyErrorText(const char* text, char* buffer, std::size_t size);

}  // namespace mox::platform
