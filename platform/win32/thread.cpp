#include "platform/thread.h"

#include "platform/win32/windows_api.h"

namespace mox::platform {

std::uint64_t currentThreadId() {
    return GetCurrentThreadId();
}

}  // namespace mox::platform
