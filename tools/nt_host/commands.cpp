#include "tools/nt_host/commands.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "binding/api_help.h"
#include "binding/host_value.h"
#include "binding/values/value_result.h"
#include "plugin/plugin_base.h"
#include "routing/endpoint.h"
#include "routing/host_request.h"
#include "routing/host_response.h"
#include "routing/request_dispatch.h"
#include "tools/nt_host/config_file.h"
#include "tools/nt_host/console.h"
#include "tools/nt_host/interrupt.h"
#include "tools/nt_host/json_writer.h"
#include "tools/nt_host/plugin_session.h"
#include "tools/nt_host/progress_display.h"
#include "tools/nt_host/run_report.h"

namespace mox::nthost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kExperimentsPath = "/network-testing/v1/experiments";
constexpr const char* kGameLatencyPath = "/network-testing/v1/game-latency";
constexpr const char* kGameLatencyResultsPath = "/network-testing/v1/game-latency/results";
constexpr std::uint32_t kGet = 2;
constexpr std::uint32_t kDelete = 1;

constexpr const char* kDemoSource = "built-in demo";
constexpr const char* kExperimentNames[] = {"game_latency", "ipv4_options", "ipv6_support"};
constexpr const char* kProbabilityFields[] = {"GameLatencyProbability", "IPv4OptionsProbability",
                                              "IPv6SupportProbability"};
constexpr const char* kTelemetryNames[] = {"probes__game_latency", "probes__ipv4_options",
                                           "probes__ipv6_support"};

// How long an experiment that the configuration enables may show a status from before its
// draw: its worker sets "InProgress" as its first step, so anything longer means it did not
// start (skipped, or its socket could not be made).
constexpr std::chrono::milliseconds kStartGrace{750};
constexpr std::chrono::milliseconds kPollInterval{50};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void printError(const std::string& text) {
    std::fprintf(stderr, "nt-host: %s\n", text.c_str());
    std::fflush(stderr);
}

void printOut(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

const char* logLevelName(std::int32_t level) {
    static const char* const names[] = {"okay", "warn", "error", "always"};
    return level >= 0 && level < 4 ? names[level] : "?";
}

// The probability a configuration value gives field `name` (0 when absent or unreadable; the
// configuration was checked before, so a present member converts).
double probabilityOf(const Value& config, const char* name) {
    const Value& member = config.find(name);
    switch (member.kind()) {
        case ValueKind::Float:
            return member.asFloat();
        case ValueKind::Signed:
            return static_cast<double>(member.asSigned());
        case ValueKind::Unsigned:
            return static_cast<double>(member.asUnsigned());
        case ValueKind::String:
            return std::strtod(member.asCString(), nullptr);
        default:
            return 0.0;
    }
}

// The configuration to serve: the file's, or the demo's with the reflector started.
// `source` is "built-in demo" or the file; `details` says where the demo's reflector listens.
// The file's warnings are printed to standard error here and also returned in `warnings`.
[[nodiscard]] bool prepareConfiguration(const Options& options, PluginSession& session,
                                        Value& config, std::string& source, std::string& details,
                                        std::vector<std::string>& warnings, ExitCode& failure) {
    if (options.configPath.empty()) {
        std::string error;
        if (!session.startDemoReflector(config, details, error)) {
            printError(error);
            failure = ExitCode::ConfigurationError;
            return false;
        }
        source = kDemoSource;
        return true;
    }
    ConfigLoad load = loadConfigFile(options.configPath);
    if (!load.ok()) {
        printError(load.error());
        failure = ExitCode::ConfigurationError;
        return false;
    }
    config = std::move(load.config());
    source = options.configPath;
    details = options.configPath;
    warnings = load.warnings();
    for (const std::string& warning : warnings)
        printError("warning: " + warning);
    return true;
}

// Loads --plugin, or by default the library beside the executable as argv[0] names it; when
// that path does not work (argv[0] without a folder, or a form the loader does not take, as
// under Wine) the bare file name is tried, which Windows looks up in the executable's folder.
[[nodiscard]] bool loadPluginLibrary(const Options& options, const std::string& argv0,
                                     PluginSession& session, std::string& pluginPath) {
    std::string error;
    if (!options.pluginPath.empty()) {
        pluginPath = options.pluginPath;
        if (session.load(pluginPath, error))
            return true;
        printError("cannot load the plugin: " + error);
        return false;
    }
    pluginPath = defaultPluginPath(argv0);
    if (session.load(pluginPath, error))
        return true;
    std::string fallbackError;
    if (session.load(defaultPluginFileName(), fallbackError)) {
        pluginPath = defaultPluginFileName();
        return true;
    }
    printError("cannot load the plugin: " + error);
    return false;
}

[[nodiscard]] bool loadAndInitialize(const Options& options, const std::string& argv0,
                                     PluginSession& session, std::string& pluginPath) {
    if (!loadPluginLibrary(options, argv0, session, pluginPath))
        return false;
    if (!session.initialize()) {
        printError("the plugin's Initialize failed: " + pluginPath);
        return false;
    }
    return true;
}

ProgressStyle styleFor(std::FILE* stream) {
    if (enableCursorSequences(stream))
        return ProgressStyle::Live;
    if (isTerminal(stream))
        return ProgressStyle::SingleLine;
    return ProgressStyle::Plain;
}

std::vector<ExperimentProgress> readStatuses(PluginSession& session) {
    std::vector<ExperimentProgress> statuses;
    const Answer answer = session.request(kGet, kExperimentsPath);
    const Value& experiments = answer.body.find("experiments");
    for (const char* name : kExperimentNames) {
        const Value& status = experiments.find(name).find("status");
        std::string text = "?";
        if (status.kind() == ValueKind::String)
            text = std::string(status.asString());
        else if (status.kind() == ValueKind::Enum || status.kind() == ValueKind::Signed) {
            static const char* const names[] = {"Disabled", "Skipped", "InProgress", "Completed"};
            const std::int64_t number =
                status.kind() == ValueKind::Enum ? status.asEnum().number : status.asSigned();
            if (number >= 0 && number < 4)
                text = names[number];
        }
        statuses.push_back({name, text});
    }
    return statuses;
}

// --- run ------------------------------------------------------------------------------------

ExitCode runExperiments(const Options& options, const std::string& argv0) {
    installInterruptHandlers();
    PluginSession session;
    RunReport report;
    ExitCode failure = ExitCode::Success;
    std::string details;
    if (!prepareConfiguration(options, session, report.config, report.configSource, details,
                              report.warnings, failure)) {
        return failure;
    }
    session.serveConfiguration(report.config);

    // Text goes to standard output; with --json only the document does, and the progress goes
    // to standard error where a person watches it (or nowhere, unless --verbose).
    std::FILE* progressStream = options.json ? stderr : stdout;
    const bool showProgress = !options.json || isTerminal(stderr) || options.verbose;
    ProgressDisplay display(
        [&](std::string_view text) {
            if (!showProgress)
                return;
            std::fwrite(text.data(), 1, text.size(), progressStream);
            std::fflush(progressStream);
        },
        styleFor(progressStream));

    const Clock::time_point start = Clock::now();
    if (!loadAndInitialize(options, argv0, session, report.pluginPath))
        return ExitCode::PluginLoadFailure;
    const Clock::time_point initialised = Clock::now();
    report.pluginShortName = session.shortName();
    report.pluginApiVersion = session.pluginApiVersion();
    report.hostApiVersion = session.hostApiVersion();
    display.message("nt-host: loaded " + report.pluginPath + " (" + report.pluginShortName +
                    ", plugin API " + report.pluginApiVersion + ", host " + report.hostApiVersion +
                    ")");
    display.message("nt-host: configuration: " + details);

    std::vector<bool> enabled;
    for (const char* field : kProbabilityFields)
        enabled.push_back(probabilityOf(report.config, field) > 0.0);

    std::vector<ExperimentProgress> statuses;
    report.outcome = ExitCode::Success;
    for (;;) {
        for (TelemetryEvent& event : session.takeTelemetry(secondsSince(start))) {
            display.message(telemetryLine(event));
            report.telemetry.push_back(std::move(event));
        }
        if (options.verbose) {
            for (const host::LogLine& line : session.takeLogLines())
                display.message(std::string("log ") + logLevelName(line.level) + ": " +
                                printableText(line.text));
        }
        statuses = readStatuses(session);
        display.update(statuses, secondsSince(start));

        bool settled = true;
        for (const ExperimentProgress& experiment : statuses) {
            if (experiment.status == "InProgress" || experiment.status == "?")
                settled = false;
        }
        // A worker shows the status from before its draw until its first step.
        if (Clock::now() - initialised < kStartGrace)
            settled = false;
        if (settled)
            break;
        if (interruptRequested()) {
            report.outcome = ExitCode::Interrupted;
            break;
        }
        if (secondsSince(start) > options.timeoutSeconds) {
            report.outcome = ExitCode::Timeout;
            break;
        }
        std::this_thread::sleep_for(kPollInterval);
    }

    // Outcomes of the experiments; the game-latency results are read only when its run stored
    // some, since a GET without stored results would start a measurement of its own.
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        ExperimentOutcome outcome{statuses[i].name, statuses[i].status, enabled[i], false};
        for (const TelemetryEvent& event : report.telemetry)
            outcome.reported = outcome.reported || event.name == kTelemetryNames[i];
        if (report.outcome == ExitCode::Success && outcome.enabled &&
            (outcome.status != "Completed" || !outcome.reported)) {
            report.outcome = ExitCode::ExperimentIncomplete;
        }
        report.experiments.push_back(outcome);
    }
    if (!report.experiments.empty() && report.experiments[0].reported) {
        const Answer answer = session.request(kGet, kGameLatencyPath);
        if (answer.isError) {
            report.gameLatencyError =
                answer.errorText + " (status " + std::to_string(answer.status) + ")";
        } else {
            std::string problem;
            report.gameLatency = readGameLatencyResults(answer.body, problem);
            if (!report.gameLatency)
                report.gameLatencyError = problem;
        }
    } else if (!report.experiments.empty() && report.experiments[0].enabled) {
        report.gameLatencyError = "the game-latency run reported no results";
    }

    if (report.outcome == ExitCode::Interrupted)
        display.message("nt-host: interrupted; shutting the plugin down");
    else if (report.outcome == ExitCode::Timeout)
        display.message("nt-host: timeout; shutting the plugin down");
    session.shutdown();
    // Telemetry that was posted while the plugin stopped still belongs to the run.
    for (TelemetryEvent& event : session.takeTelemetry(secondsSince(start))) {
        display.message(telemetryLine(event));
        report.telemetry.push_back(std::move(event));
    }
    report.reflectorCounters = session.stopReflector();
    report.elapsedSeconds = secondsSince(start);
    display.finish();

    printOut(options.json ? renderRunJson(report) : renderRunText(report));
    return report.outcome;
}

// --- measure --------------------------------------------------------------------------------

ExitCode measureRounds(const Options& options, const std::string& argv0) {
    installInterruptHandlers();
    PluginSession session;
    Value config;
    std::string source;
    std::string details;
    std::vector<std::string> warnings;
    ExitCode failure = ExitCode::Success;
    if (!prepareConfiguration(options, session, config, source, details, warnings, failure))
        return failure;
    // Only the on-demand runs measure; a background run would store results between a round's
    // DELETE and its GET.
    disableBackgroundExperiments(config);
    session.serveConfiguration(config);
    // The plugin yields while it waits for a run: give the processor back meanwhile.
    session.setYieldHandler([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });

    std::string pluginPath;
    if (!loadAndInitialize(options, argv0, session, pluginPath))
        return ExitCode::PluginLoadFailure;
    if (!options.json) {
        printOut("nt-host: loaded " + pluginPath + "\nnt-host: configuration: " + details + "\n");
    }

    const Clock::time_point start = Clock::now();
    MeasureSummary summary;
    ExitCode outcome = ExitCode::Success;
    for (unsigned index = 1; index <= options.count; ++index) {
        if (interruptRequested()) {
            outcome = ExitCode::Interrupted;
            break;
        }
        const Clock::time_point roundStart = Clock::now();
        MeasureRound round;
        round.index = index;
        round.atSeconds = secondsSince(start);
        const Answer cleared = session.request(kDelete, kGameLatencyResultsPath);
        const Answer answer = cleared.isError ? cleared : session.request(kGet, kGameLatencyPath);
        round.status = answer.status;
        if (!answer.routed) {
            round.error = "no function of the plugin answers the request";
        } else if (answer.isError) {
            round.error = answer.errorText.empty() ? "error" : answer.errorText;
        } else {
            std::string problem;
            round.results = readGameLatencyResults(answer.body, problem);
            if (!round.results)
                round.error = problem;
        }
        if (options.verbose) {
            for (const host::LogLine& line : session.takeLogLines())
                printError(std::string("log ") + logLevelName(line.level) + ": " +
                           printableText(line.text));
        }
        session.forgetTakenRecords();
        ++summary.rounds;
        if (round.results)
            mergeGameLatencyResults(summary.all, *round.results);
        else
            ++summary.failedRounds;
        printOut(options.json ? renderRoundJson(round) + "\n" : renderRoundText(round));

        if (index == options.count)
            break;
        const auto next = roundStart + std::chrono::duration<double>(options.intervalSeconds);
        while (Clock::now() < next && !interruptRequested())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (interruptRequested())
        outcome = ExitCode::Interrupted;
    session.shutdown();
    session.stopReflector();
    printOut(options.json ? renderMeasureSummaryJson(summary) + "\n"
                          : renderMeasureSummaryText(summary));
    if (outcome == ExitCode::Success && summary.failedRounds > 0)
        outcome = ExitCode::RequestFailed;
    return outcome;
}

// --- request --------------------------------------------------------------------------------

ExitCode sendRequest(const Options& options, const std::string& argv0) {
    installInterruptHandlers();
    PluginSession session;
    Value config;
    std::string source;
    std::string details;
    std::vector<std::string> warnings;
    ExitCode failure = ExitCode::Success;
    if (!prepareConfiguration(options, session, config, source, details, warnings, failure))
        return failure;
    // The demo answers requests without background runs, so every answer is the request's own.
    if (options.configPath.empty())
        disableBackgroundExperiments(config);
    session.serveConfiguration(config);
    session.setYieldHandler([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });

    std::string pluginPath;
    if (!loadAndInitialize(options, argv0, session, pluginPath))
        return ExitCode::PluginLoadFailure;
    const std::uint32_t method = methodCode(options.method);
    const Answer answer = session.request(method, options.path);
    if (options.verbose) {
        for (const host::LogLine& line : session.takeLogLines())
            printError(std::string("log ") + logLevelName(line.level) + ": " +
                       printableText(line.text));
    }
    session.shutdown();
    session.stopReflector();

    if (!answer.routed) {
        printError("no function of the plugin answers " + options.method + " " + options.path +
                   " (status 404)");
        return ExitCode::RequestFailed;
    }
    if (answer.isError) {
        printError("error: " + answer.errorText + " (status " + std::to_string(answer.status) +
                   ")");
        return ExitCode::RequestFailed;
    }
    JsonWriter json(true);
    json.value(answer.body);
    printOut(json.take() + "\n");
    return ExitCode::Success;
}

// --- describe -------------------------------------------------------------------------------

ExitCode describeApi(const Options& options, const std::string& argv0) {
    PluginSession session;
    std::string pluginPath;
    if (!loadPluginLibrary(options, argv0, session, pluginPath))
        return ExitCode::PluginLoadFailure;
    // The table is complete at load; the plugin is initialised and stopped only so that its
    // life cycle is the one the host keeps (no configuration is served: nothing runs).
    if (!session.initialize()) {
        printError("the plugin's Initialize failed: " + pluginPath);
        return ExitCode::PluginLoadFailure;
    }
    const PluginApi api = session.api();
    session.shutdown();
    if (options.json) {
        JsonWriter json(true);
        writeApiJson(json, api);
        printOut(json.take() + "\n");
    } else {
        printOut(renderApiText(api));
    }
    return ExitCode::Success;
}

// --- help -----------------------------------------------------------------------------------

// Answers a request for "Help" through the router with the plugin's registry, as a host
// dispatch with a registry does; the function is registered for that, tagged "$builtin".
bool routerHelp(PluginBase& plugin, Value& help, std::string& error) {
    FunctionRouter& router = plugin.router();
    TypeRegistry& registry = router.registry();
    router.bindFunction("Help", [] { return 0; }).tag("$builtin");
    const FunctionDescriptor* descriptor = registry.findFunction("Help");
    const FunctionBinding* binding = descriptor ? router.bindingFor(*descriptor) : nullptr;
    Route route;
    if (binding == nullptr || !buildRoute(*binding, route)) {
        error = "the router cannot route \"Help\"";
        return false;
    }
    HostRequest request;
    std::memset(static_cast<void*>(&request), 0, sizeof request);
    request.method = kGet;
    request.path = "Help";
    HostResponse response;
    std::memset(static_cast<void*>(&response), 0, sizeof response);
    const Route routes[] = {route};
    dispatchRequest(&registry, &response, &request, routes);
    bool ok = response.isError == 0;
    if (!ok) {
        error = response.errorText != nullptr ? response.errorText : "Help failed";
    } else {
        HostResult status{};
        ok = fromHost(status, help, response.body, "<result>");
        if (!ok)
            error = status.error != nullptr ? status.error : "the help cannot be read";
        releaseHostResult(status);
    }
    if (response.release != nullptr)
        response.release(&response);
    return ok;
}

std::string epytextText(const Value& help) {
    std::string out;
    for (const char* section : {"functions", "types", "events"}) {
        out += "== ";
        out += section;
        out += " ==\n\n";
        for (const ConstValueMember& member : help.find(section).members()) {
            out += std::string(member.name) + "\n";
            std::string text(member.value.asString());
            std::string line;
            for (char c : text) {
                if (c == '\r')
                    continue;
                if (c == '\n') {
                    out += line.empty() ? "\n" : "    " + line + "\n";
                    line.clear();
                } else {
                    line += c;
                }
            }
            if (!line.empty())
                out += "    " + line + "\n";
            out += "\n";
        }
    }
    return out;
}

ExitCode printHelp(const Options& options) {
    PluginSession session;
    std::string error;
    if (!session.load("", error)) {
        printError("cannot load the plugin: " + error);
        return ExitCode::PluginLoadFailure;
    }
    if (!session.initialize()) {
        printError("the plugin's Initialize failed");
        return ExitCode::PluginLoadFailure;
    }
    // The in-process plugin's handle is its object (the load record's word at 16).
    auto* plugin = static_cast<PluginBase*>(session.handle());
    Value help;
    bool ok = true;
    if (options.json) {
        ok = routerHelp(*plugin, help, error);
    } else {
        apiHelp(help, plugin->router().registry(), BindingHelpFormat::Epytext);
    }
    session.shutdown();
    if (!ok) {
        printError("help: " + error);
        return ExitCode::RequestFailed;
    }
    if (options.json) {
        JsonWriter json(true);
        json.value(help);
        printOut(json.take() + "\n");
    } else {
        printOut(epytextText(help));
    }
    return ExitCode::Success;
}

}  // namespace

ExitCode runCommand(const Options& options, const std::string& argv0) {
    switch (options.command) {
        case Command::Run:
            return runExperiments(options, argv0);
        case Command::Measure:
            return measureRounds(options, argv0);
        case Command::Request:
            return sendRequest(options, argv0);
        case Command::Describe:
            return describeApi(options, argv0);
        case Command::Help:
            return printHelp(options);
        case Command::None:
            break;
    }
    return ExitCode::ConfigurationError;
}

}  // namespace mox::nthost
