#include "tools/nt_host/console.h"

#include <unistd.h>

namespace mox::nthost {

bool isTerminal(std::FILE* stream) noexcept {
    return stream != nullptr && ::isatty(::fileno(stream)) == 1;
}

bool enableCursorSequences(std::FILE* stream) noexcept {
    // Terminals on POSIX systems interpret them already.
    return isTerminal(stream);
}

}  // namespace mox::nthost
