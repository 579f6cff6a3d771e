#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

#include "platform/system_error_common.h"

namespace mox::platform {

namespace {
// strerror_r comes in two shapes (XSI returns int, GNU returns the text); take either.
[[maybe_unused]] const char* pickText(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pickText(const char* result, const char*) {
    return result;
}
}  // namespace

std::size_t systemErrorText(std::uint32_t code, char* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    char scratch[256];
    scratch[0] = '\0';
    const char* text =
        pickText(strerror_r(static_cast<int>(code), scratch, sizeof scratch), scratch);
    return copyErrorText(text, buffer, size);
}

std::uint32_t lastSystemError() {
    return static_cast<std::uint32_t>(errno);
}

std::size_t lastSystemErrorText(char* buffer, std::size_t size) {
    return systemErrorText(lastSystemError(), buffer, size);
}

}  // namespace mox::platform
