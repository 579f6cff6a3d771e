#include "platform/debugger.h"

namespace mox::platform {

// POSIX has no debugger output channel; the debugger-output log target is silent here.
void debuggerOutput(const char*) {}

}  // namespace mox::platform
