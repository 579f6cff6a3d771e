// File: tools/nt_host/command_line.h
//
// The command line of `nt-host`: its subcommands, options and help texts, parsed with CLI11.
// Parsing never throws to the caller: `--help` and usage errors come back as texts and an exit
// code, so `main` prints and returns.
//
//   nt-host run      [--plugin PATH] [--config FILE] [--timeout S] [--json] [--verbose]
//   nt-host measure  [--plugin PATH] [--config FILE] [--count N] [--interval S] [--json]
//                    [--verbose]
//   nt-host request  METHOD PATH [--plugin PATH] [--config FILE] [--verbose]
//   nt-host describe [--plugin PATH] [--json]
//   nt-host help     [--json]
//
// measure and request have no --timeout: each measurement is bounded by the plugin's own
// GameLatencyTimeoutSecs, and Ctrl-C ends measure after the round under way.
#pragma once

#include <string>
#include <vector>

#include "tools/nt_host/exit_codes.h"

namespace mox::nthost {

enum class Command { None, Run, Measure, Request, Describe, Help };

struct Options {
    Command command = Command::None;
    // Library to load; empty means the plugin library beside the nt-host executable.
    std::string pluginPath;
    // Configuration file; empty means the built-in demo against the in-process reflector.
    std::string configPath;
    double timeoutSeconds = 30.0;  // run only
    bool json = false;
    bool verbose = false;
    // measure
    unsigned count = 5;
    double intervalSeconds = 1.0;
    // request
    std::string method;
    std::string path;
};

struct ParsedCommandLine {
    Options options;
    // When set, main prints `output` (to standard output for help, standard error for usage
    // errors) and exits with `exitCode` without running anything.
    bool finished = false;
    ExitCode exitCode = ExitCode::Success;
    std::string output;
};

// Parses `arguments` (without the program name).
ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The exit-code table as the help texts show it.
const char* exitCodeHelp();

}  // namespace mox::nthost
