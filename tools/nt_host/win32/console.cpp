#include "tools/nt_host/console.h"

#include <io.h>

namespace mox::nthost {

bool isTerminal(std::FILE* stream) noexcept {
    return stream != nullptr && ::_isatty(::_fileno(stream)) != 0;
}

bool enableCursorSequences(std::FILE*) noexcept {
    // A console interprets cursor sequences only when the program switches that on through the
    // console API, which is the platform layer's to call; without it the display falls back to
    // one status line redrawn with carriage returns, which every console shows correctly.
    return false;
}

}  // namespace mox::nthost
