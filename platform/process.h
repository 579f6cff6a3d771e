// File: platform/process.h
//
// Facts about the running process: the executable's name, which the log core prints, and
// counts of what the process holds (threads, open handles, resident memory), which hosts and
// tests read to show that a plugin leaves nothing behind once it is unloaded.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace mox::platform {

// The file name of the running executable without its folder (the text after the last path
// separator), or an empty string when the platform cannot tell.
std::string executableFileName();

// The threads the process has now, the caller included (/proc/self/task; a Toolhelp thread
// snapshot on Windows). None when the platform cannot tell.
std::optional<std::size_t> threadCount();

// The open handles of the process now: file descriptors on POSIX (/proc/self/fd, sockets
// included, not counting the one used to list them), kernel handles on Windows (sockets
// included). None when the platform cannot tell.
std::optional<std::size_t> openHandleCount();

// The process's resident memory in bytes now (resident set; working set on Windows). None
// when the platform cannot tell.
std::optional<std::size_t> residentMemoryBytes();

}  // namespace mox::platform
