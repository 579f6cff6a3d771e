// File: tools/nt_host/commands.h
//
// The subcommands of nt-host, each a function from parsed options to an exit code. They print
// to standard output (results) and standard error (diagnostics) and never throw.
#pragma once

#include <string>

#include "tools/nt_host/command_line.h"

namespace mox::nthost {

// Runs `options.command`. `argv0` locates the default plugin library.
ExitCode runCommand(const Options& options, const std::string& argv0);

}  // namespace mox::nthost
