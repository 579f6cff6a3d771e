// File: network_testing/game_latency_results.h
//
// The outcome of one game-latency probe run: one entry per probe that was sent, and the UTC
// time at which the run finished. These records are what `GET /network-testing/v1/game-latency`
// answers and what the experiment stores between runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mox {

struct GameLatencyExperimentResult {
    // The server exactly as written in the configured list (one comma-separated piece, not
    // trimmed).
    std::string server;
    // The payload size of the probe.
    std::uint16_t size = 0;
    // Round-trip time in milliseconds of the first matching reply; no value when none came.
    std::optional<double> latency;
};

struct GameLatencyExperimentResults {
    std::vector<GameLatencyExperimentResult> results;
    // "%Y-%m-%dT%H:%M:%SZ" in UTC, whole seconds; empty when the clock cannot be converted.
    std::string timestamp;
};

}  // namespace mox
