#include "platform/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace mox::platform {

std::uint64_t currentThreadId() {
    // Cached per thread: the system call costs more than the log line it stamps.
    thread_local const std::uint64_t id = static_cast<std::uint64_t>(::syscall(SYS_gettid));
    return id;
}

}  // namespace mox::platform
