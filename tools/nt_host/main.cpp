// nt-host: the command-line host of the network-testing plugin (see command_line.h).
#include <cstdio>
#include <string>
#include <vector>

#include "tools/nt_host/command_line.h"
#include "tools/nt_host/commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    mox::nthost::ParsedCommandLine parsed = mox::nthost::parseCommandLine(arguments);
    if (parsed.finished) {
        std::FILE* stream = parsed.exitCode == mox::nthost::ExitCode::Success ? stdout : stderr;
        std::fputs(parsed.output.c_str(), stream);
        return mox::nthost::toInt(parsed.exitCode);
    }
    return mox::nthost::toInt(
        mox::nthost::runCommand(parsed.options, argc > 0 ? argv[0] : "nt-host"));
}
