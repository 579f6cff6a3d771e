#include "tools/nt_host/exit_codes.h"

namespace mox::nthost {

const char* exitCodeName(ExitCode code) noexcept {
    switch (code) {
        case ExitCode::Success:
            return "success";
        case ExitCode::RequestFailed:
            return "request-failed";
        case ExitCode::ConfigurationError:
            return "configuration-error";
        case ExitCode::PluginLoadFailure:
            return "plugin-load-failure";
        case ExitCode::ExperimentIncomplete:
            return "experiment-incomplete";
        case ExitCode::Timeout:
            return "timeout";
        case ExitCode::Interrupted:
            return "interrupted";
    }
    return "unknown";
}

}  // namespace mox::nthost
