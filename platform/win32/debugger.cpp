#include "platform/debugger.h"

#include "platform/win32/windows_api.h"

namespace mox::platform {

void debuggerOutput(const char* text) {
    if (text != nullptr) {
        OutputDebugStringA(text);
    }
}

}  // namespace mox::platform
