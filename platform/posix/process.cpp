#include "platform/process.h"

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

namespace mox::platform {

namespace {

// The entries of a /proc folder other than "." and ".."; none when it cannot be read (no
// procfs). The descriptor that lists the folder is counted when `withoutOwn` is false.
std::optional<std::size_t> countEntries(const char* folder, bool withoutOwn) {
    DIR* dir = ::opendir(folder);
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        ++count;
    }
    ::closedir(dir);
    if (withoutOwn && count > 0) {
        --count;
    }
    return count;
}

}  // namespace

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

std::optional<std::size_t> threadCount() {
    return countEntries("/proc/self/task", false);
}

std::optional<std::size_t> openHandleCount() {
    return countEntries("/proc/self/fd", true);
}

std::optional<std::size_t> residentMemoryBytes() {
    // statm: total and resident size in pages.
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) {
        return std::nullopt;
    }
    unsigned long total = 0;
    unsigned long resident = 0;
    const int read = std::fscanf(file, "%lu %lu", &total, &resident);
    std::fclose(file);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (read != 2 || page <= 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(page);
}

}  // namespace mox::platform
