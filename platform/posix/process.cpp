#include "platform/process.h"

#include <unistd.h>

#include <climits>

namespace mox::platform {

std::string executableFileName() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    const std::string full(path, static_cast<std::size_t>(length));
    const std::size_t slash = full.find_last_of('/');
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

}  // namespace mox::platform
