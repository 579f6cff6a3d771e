// File: tools/nt_host/interrupt.h
//
// Ctrl-C and SIGTERM handling for nt-host. The first signal only sets a flag, which the command
// loops poll so that they shut the plugin down cleanly and exit with the interrupted code; the
// handler then restores the default action, so a second Ctrl-C ends a shutdown that hangs.
// Uses only the C library's signal(), which both POSIX systems and Windows provide.
#pragma once

namespace mox::nthost {

// Installs the handlers; call once, from the main thread, before loading the plugin.
void installInterruptHandlers() noexcept;

// True once SIGINT or SIGTERM has arrived. Any thread.
bool interruptRequested() noexcept;

// Makes interruptRequested() true, as a signal would (tests and internal stops).
void requestInterrupt() noexcept;

}  // namespace mox::nthost
