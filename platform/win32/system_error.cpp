#include "platform/system_error.h"

#include "platform/system_error_common.h"
#include "platform/win32/windows_api.h"

namespace mox::platform {

std::size_t systemErrorText(std::uint32_t code, char* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The text goes through a scratch buffer so a short caller buffer receives the text cut
    // to its size, as on the other platforms, rather than FormatMessageA's outright failure.
    // Insert sequences ("%1") are left as they are: the texts are formatted without arguments,
    // and expanding them would read arguments that do not exist.
    char scratch[1024];
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), scratch, sizeof scratch, nullptr);
    return copyErrorText(length == 0 ? nullptr : scratch, buffer, size);
}

std::uint32_t lastSystemError() {
    return GetLastError();
}

std::size_t lastSystemErrorText(char* buffer, std::size_t size) {
    return systemErrorText(lastSystemError(), buffer, size);
}

}  // namespace mox::platform
