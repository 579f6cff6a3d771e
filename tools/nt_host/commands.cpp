#include "tools/nt_host/commands.h"

namespace mox::nthost {

ExitCode runCommand(const Options&, const std::string&) {
    return ExitCode::Success;
}

}  // namespace mox::nthost
