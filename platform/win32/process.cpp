#include "platform/process.h"

#include <vector>

#include "platform/win32/windows_api.h"

namespace mox::platform {

std::string executableFileName() {
    // GetModuleFileNameA fills the buffer completely when the path was cut; grow and retry up
    // to the longest path Windows allows.
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            const std::string full(path.data(), length);
            const std::size_t backslash = full.find_last_of('\\');
            return backslash == std::string::npos ? full : full.substr(backslash + 1);
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace mox::platform
