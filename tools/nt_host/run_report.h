// File: tools/nt_host/run_report.h
//
// What `nt-host run` and `nt-host measure` found, and how it is printed: as text for a person
// or as JSON for a program. The JSON field names are part of the tool's interface and keep
// their meaning; `formatVersion` changes if one ever has to change.
//
// `run --json` prints one document:
//   formatVersion   1
//   command         "run"
//   outcome         "success" | "experiment-incomplete" | "timeout" | "interrupted" | ...
//   exitCode        the process exit code
//   elapsedSeconds  from loading the plugin to its shutdown
//   plugin          {path, shortName, apiVersion, hostApiVersion}
//   configuration   {source ("built-in demo" or the file), values (as served)}
//   warnings        [text]
//   experiments     {<name>: {status, enabled, reported}} for game_latency, ipv4_options,
//                   ipv6_support; enabled = probability > 0, reported = its telemetry arrived
//   telemetry       [{name, atSeconds, fields: {<field>: <text>}}] in arrival order
//   gameLatency     null, or {timestamp, error, servers: [server record]}; error is null unless
//                   reading the results failed
//   ipv4Options     null, or {target, experimentId, phases: {plain|opt20zero|opt20nonzero:
//                   {sent, error}}, routerAlertSent}
//   ipv6Support     null, or {target, experimentId, sent, ipv6Sent}
//   reflector       null, or {<counter>: number} as counted by the in-process reflector
// A server record: {server, probeSize, sent, received, lossPercent, minMs, medianMs, p95Ms,
// maxMs, meanMs, jitterMs, roundTripsMs: [number|null], histogram: [{fromMs, toMs, count}]};
// the latency figures are null when nothing was received. experimentId is a decimal string
// (64-bit identifiers do not survive JSON numbers). Telemetry counters stay the plugin's texts
// in `telemetry`; ipv4Options and ipv6Support hold them as numbers (null if not a number).
//
// `measure --json` prints one line per round, {formatVersion, command: "measure", round,
// atSeconds, status, error, gameLatency}, then one summary line {formatVersion, command:
// "measure", summary: {rounds, failedRounds, servers: [server record]}} over all rounds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/values/value.h"
#include "tools/nt_host/exit_codes.h"
#include "tools/nt_host/latency_stats.h"

namespace mox::nthost {

struct TelemetryEvent {
    std::string name;
    double atSeconds = 0.0;
    std::vector<std::pair<std::string, std::string>> fields;

    // The text of field `key`, or null.
    const std::string* field(std::string_view key) const;
};

struct ExperimentOutcome {
    std::string name;
    std::string status;
    bool enabled = false;   // its probability in the served configuration is above 0
    bool reported = false;  // its telemetry event arrived
};

struct ServerLatency {
    std::string server;
    std::uint32_t probeSize = 0;
    std::vector<std::optional<double>> roundTrips;  // in the order the results list them
    LatencySummary summary;
    std::vector<HistogramBin> histogram;
};

struct GameLatencyResults {
    std::string timestamp;
    std::vector<ServerLatency> servers;  // in order of first appearance in the results
};

// Reads a `GameLatencyExperimentResults` value ({results: [{server, size, latency?}],
// timestamp}) and groups it by server, with each server's summary and histogram. Returns
// nullopt and sets `problem` when the value does not have that shape.
std::optional<GameLatencyResults> readGameLatencyResults(const Value& body, std::string& problem);

// Merges `more` into `into` server by server (round trips appended), recomputing summaries.
void mergeGameLatencyResults(GameLatencyResults& into, const GameLatencyResults& more);

struct RunReport {
    std::string pluginPath;
    std::string pluginShortName;
    std::string pluginApiVersion;
    std::string hostApiVersion;
    std::string configSource;
    Value config;
    std::vector<std::string> warnings;
    ExitCode outcome = ExitCode::Success;
    double elapsedSeconds = 0.0;
    std::vector<ExperimentOutcome> experiments;
    std::vector<TelemetryEvent> telemetry;
    std::optional<GameLatencyResults> gameLatency;
    std::string gameLatencyError;
    std::vector<std::pair<std::string, std::uint64_t>> reflectorCounters;

    // The first telemetry event called `name`, or null.
    const TelemetryEvent* event(std::string_view name) const;
};

// A telemetry event as one line: "telemetry probes__x: a=1, b=2" (fields sorted by name),
// made printable as `printableText` does.
std::string telemetryLine(const TelemetryEvent& event);

// `text` with every control character (below 0x20, and 0x7F) replaced by "?", so that text
// from the plugin or its configuration cannot move the cursor or recolour the terminal.
std::string printableText(std::string_view text);

std::string renderRunText(const RunReport& report);
std::string renderRunJson(const RunReport& report);

struct MeasureRound {
    unsigned index = 0;  // from 1
    double atSeconds = 0.0;
    std::uint32_t status = 0;  // the GET's status code
    std::string error;         // empty on success
    std::optional<GameLatencyResults> results;
};

// One line per round (no trailing newline for JSON, a newline for text).
std::string renderRoundText(const MeasureRound& round);
std::string renderRoundJson(const MeasureRound& round);

struct MeasureSummary {
    unsigned rounds = 0;
    unsigned failedRounds = 0;
    GameLatencyResults all;  // every round's round trips, in round order
};

std::string renderMeasureSummaryText(const MeasureSummary& summary);
std::string renderMeasureSummaryJson(const MeasureSummary& summary);

}  // namespace mox::nthost
