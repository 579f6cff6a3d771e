#include "tools/nt_host/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <exception>
#include <sstream>

namespace mox::nthost {
namespace {

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "    0  success: every enabled experiment completed with a result, every round was\n"
    "       measured, the request was answered with a 2xx status, or the API was printed\n"
    "    1  the request (or a measure round) was answered with an error status\n"
    "    2  configuration error: bad command line or configuration file; nothing started\n"
    "    3  plugin load failure: library missing, no load_network_testing export, host\n"
    "       refused, or Initialize failed\n"
    "    4  an enabled experiment did not complete (skipped by its draw, could not start,\n"
    "       or completed without reporting)\n"
    "    5  --timeout passed first; the plugin was shut down\n"
    "  130  interrupted by Ctrl-C or SIGTERM; the plugin was shut down\n";

constexpr const char* kDescription =
    "nt-host loads the network-testing plugin library the way the desktop client does (as a\n"
    "host of plugin API 18.x), serves it a configuration, answers its telemetry posts and\n"
    "requests, and shows what it measures.";

constexpr const char* kConfigHelp =
    "Configuration file, JSON or YAML (default: the built-in demo against an in-process "
    "reflector).";

constexpr const char* kConfigDetails =
    "The configuration is served to the plugin at\n"
    "/zek-platform-config/v1/namespaces/NetworkTesting. Without --config, a probe reflector\n"
    "starts in-process on 127.0.0.1 and ::1 (ephemeral ports, a small reply delay) and a\n"
    "built-in configuration enables every experiment against it with probability 1.0.\n\n";

constexpr const char* kPluginHelp =
    "Plugin library to load (default: the plugin library beside the nt-host executable).";

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void addPluginOption(CLI::App& command, Options& options) {
    command.add_option("--plugin", options.pluginPath, kPluginHelp)->type_name("PATH");
}

void addConfigOption(CLI::App& command, Options& options) {
    command.add_option("--config", options.configPath, kConfigHelp)->type_name("FILE");
}

void addTimeoutOption(CLI::App& command, Options& options, const char* help) {
    command.add_option("--timeout", options.timeoutSeconds, help)
        ->type_name("S")
        ->check(CLI::Range(0.1, 86400.0))
        ->capture_default_str();
}

void addVerboseOption(CLI::App& command, Options& options) {
    command.add_flag("-v,--verbose", options.verbose, "Also print the plugin's log lines.");
}

}  // namespace

const char* exitCodeHelp() {
    return kExitCodes;
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    Options& options = parsed.options;

    CLI::App app(kDescription, "nt-host");
    app.footer(kExitCodes);
    app.require_subcommand(1);
    // CLI11 takes "/name" for an option on Windows by default, which would swallow request
    // paths such as /network-testing/v1/experiments; options are "--name" on every system.
    // Set before the subcommands are added, which inherit it.
    app.allow_windows_style_options(false);

    CLI::App* run = app.add_subcommand("run", "Run the plugin's experiments and show the results.");
    addPluginOption(*run, options);
    addConfigOption(*run, options);
    addTimeoutOption(*run, options,
                     "Seconds to wait for the experiments before shutting the plugin down.");
    run->add_flag("--json", options.json,
                  "Print one JSON document with the whole run instead of text.");
    addVerboseOption(*run, options);
    run->footer(
        std::string("Loads the plugin, serves the configuration, answers its telemetry posts and\n"
                    "prints each event, shows the experiments' progress (live status lines on a\n"
                    "terminal, plain lines otherwise), then prints the results: per game-latency\n"
                    "server the probes sent and received, loss, min/median/p95/max latency,\n"
                    "jitter (mean absolute difference of consecutive round trips) and a\n"
                    "histogram; the IPv4-options and IPv6-support outcomes. The plugin is shut\n"
                    "down when the experiments complete, at --timeout and on Ctrl-C.\n\n") +
        kConfigDetails + kExitCodes);

    CLI::App* measure =
        app.add_subcommand("measure", "Measure game latency repeatedly, one line per round.");
    addPluginOption(*measure, options);
    addConfigOption(*measure, options);
    measure->add_option("-n,--count", options.count, "Number of rounds.")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    measure
        ->add_option("-i,--interval", options.intervalSeconds,
                     "Seconds from the start of one round to the start of the next.")
        ->type_name("S")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();
    measure->add_flag("--json", options.json,
                      "Print one JSON document per line: one per round, then the summary.");
    addVerboseOption(*measure, options);
    measure->footer(
        std::string("Each round discards the stored results (DELETE\n"
                    "/network-testing/v1/game-latency/results) and runs a fresh measurement\n"
                    "(GET /network-testing/v1/game-latency); the summary of all rounds follows\n"
                    "the last one. The configuration is served with every probability set to\n"
                    "0, so the background experiments stay disabled.\n\n") +
        kConfigDetails + kExitCodes);

    CLI::App* request =
        app.add_subcommand("request", "Send one request to the plugin and print the answer.");
    request->add_option("METHOD", options.method, "DELETE, GET, HEAD, OPTIONS, PATCH, POST or PUT.")
        ->required()
        ->transform([](std::string text) { return upper(std::move(text)); })
        ->check(CLI::IsMember({"DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT"}));
    request
        ->add_option("PATH", options.path,
                     "Request path, for example /network-testing/v1/experiments.")
        ->required();
    addPluginOption(*request, options);
    addConfigOption(*request, options);
    addVerboseOption(*request, options);
    request->footer(
        std::string("The plugin is loaded and initialised, the request is routed to the\n"
                    "function-table entry whose method and URL template match, and the\n"
                    "response body is printed as JSON (or the error text and the status).\n"
                    "Example: nt-host request GET /network-testing/v1/experiments\n\n") +
        kConfigDetails + kExitCodes);

    CLI::App* describe =
        app.add_subcommand("describe", "Print the plugin's API as the host receives it.");
    addPluginOption(*describe, options);
    describe->add_flag("--json", options.json, "Print the description as one JSON document.");
    describe->footer(
        std::string("Reads the function table of the load record: functions with their URL\n"
                    "templates, methods, arguments and results; types with their fields or\n"
                    "values; events with their payload types.\n\n") +
        kExitCodes);

    CLI::App* help = app.add_subcommand("help", "Print the plugin registry's API help.");
    help->add_flag("--json", options.json,
                   "Print the full help records (the router's built-in \"Help\") as JSON.");
    help->footer(
        std::string("Prints the epytext help of every function, type and event registered in\n"
                    "the plugin's binding registry; --json prints the full help records as the\n"
                    "router's built-in \"Help\" function answers them. The registry is not part\n"
                    "of the boundary, so this command runs the plugin built into nt-host rather\n"
                    "than a library. For nt-host's own options use --help.\n\n") +
        kExitCodes);

    // CLI11 reports --help and usage errors by throwing; they end here.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        std::ostringstream out;
        std::ostringstream err;
        const int code = app.exit(error, out, err);
        parsed.finished = true;
        if (code == 0) {
            parsed.output = out.str();
            parsed.exitCode = ExitCode::Success;
        } else {
            parsed.output = err.str();
            parsed.exitCode = ExitCode::ConfigurationError;
        }
        return parsed;
    } catch (const std::exception& error) {
        parsed.finished = true;
        parsed.output = std::string("nt-host: ") + error.what() + "\n";
        parsed.exitCode = ExitCode::ConfigurationError;
        return parsed;
    }

    if (run->parsed())
        options.command = Command::Run;
    else if (measure->parsed())
        options.command = Command::Measure;
    else if (request->parsed())
        options.command = Command::Request;
    else if (describe->parsed())
        options.command = Command::Describe;
    else if (help->parsed())
        options.command = Command::Help;
    return parsed;
}

}  // namespace mox::nthost
