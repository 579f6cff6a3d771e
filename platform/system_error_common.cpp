#include "platform/system_error_common.h"

#include <cstring>

#include "platform/system_error.h"

namespace mox::platform {

std::size_t copyErrorText(const char* text, char* buffer, std::size_t size) {
    if (text == nullptr || text[0] == '\0') {
        text = kNoErrorText;
    }
    std::size_t length = std::strlen(text);
    if (length > size - 1) {
        length = size - 1;
    }
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return length;
}

}  // namespace mox::platform
