// File: platform/debugger.h
//
// Output to an attached debugger's log window (OutputDebugStringA on Windows). Where the
// platform has no such facility the call does nothing. Any thread; `text` is NUL-terminated.
#pragma once

namespace mox::platform {

void debuggerOutput(const char* text);

}  // namespace mox::platform
