// File: tools/nt_host/console.h
//
// What nt-host needs to know about its standard streams: whether one is an interactive
// terminal (the live status lines are drawn only there) and whether it interprets the ANSI
// cursor sequences that redraw several lines. One implementation per operating system (posix/,
// win32/), chosen by the build; both use only the C runtime.
#pragma once

#include <cstdio>

namespace mox::nthost {

// True when `stream` is attached to an interactive terminal (or console).
bool isTerminal(std::FILE* stream) noexcept;

// True when the terminal behind `stream` interprets ANSI cursor movement, so that one status
// line per experiment can be redrawn; false means only carriage-return redraws are safe.
bool enableCursorSequences(std::FILE* stream) noexcept;

}  // namespace mox::nthost
