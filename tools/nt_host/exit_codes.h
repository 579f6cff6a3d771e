// File: tools/nt_host/exit_codes.h
//
// The exit codes of `nt-host`, one per way a run can end. They are part of the tool's interface
// (scripts and CI test them), so a code never changes meaning; new outcomes get new numbers.
#pragma once

namespace mox::nthost {

enum class ExitCode : int {
    // Every requested experiment completed (run), every round was measured (measure), the
    // request was answered with a success status (request), or the API was printed.
    Success = 0,
    // `request` or a `measure` round was answered with an error status.
    RequestFailed = 1,
    // The command line or the configuration file is unusable; nothing was started.
    ConfigurationError = 2,
    // The plugin library could not be loaded, lacks its export, refused the host or failed to
    // initialise.
    PluginLoadFailure = 3,
    // The run ended but an experiment that the configuration enables did not complete with a
    // result (it was skipped by its draw, could not start, or completed without reporting).
    ExperimentIncomplete = 4,
    // `--timeout` passed before the experiments completed; the plugin was shut down.
    Timeout = 5,
    // Ctrl-C (or SIGTERM) ended the run; the plugin was shut down cleanly.
    Interrupted = 130,
};

inline int toInt(ExitCode code) noexcept {
    return static_cast<int>(code);
}

// A short lower-case name of the outcome ("success", "timeout", ...), as `--json` prints it.
const char* exitCodeName(ExitCode code) noexcept;

}  // namespace mox::nthost
