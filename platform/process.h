// File: platform/process.h
//
// Facts about the running process that the log core prints.
#pragma once

#include <string>

namespace mox::platform {

// The file name of the running executable without its folder (the text after the last path
// separator), or an empty string when the platform cannot tell.
std::string executableFileName();

}  // namespace mox::platform
