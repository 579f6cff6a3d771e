#include "platform/process.h"

#include <vector>

#include "platform/win32/windows_api.h"

// After <windows.h>. PSAPI_VERSION 2 maps GetProcessMemoryInfo onto the kernel32 export
// K32GetProcessMemoryInfo, so no psapi.dll import is needed.
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <psapi.h>
#include <tlhelp32.h>

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

std::optional<std::size_t> threadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    // The snapshot lists the threads of every process; only ours count.
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    std::size_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) {
            ++count;
        }
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    if (count == 0) {
        return std::nullopt;  // the caller is a thread of this process: the listing failed
    }
    return count;
}

std::optional<std::size_t> openHandleCount() {
    DWORD count = 0;
    // A live process always holds some handles; 0 is what an emulation without the count
    // (Wine) reports, so it means "cannot tell".
    if (!GetProcessHandleCount(GetCurrentProcess(), &count) || count == 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(count);
}

std::optional<std::size_t> residentMemoryBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(counters.WorkingSetSize);
}

}  // namespace mox::platform
