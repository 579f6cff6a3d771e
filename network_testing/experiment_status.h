// File: network_testing/experiment_status.h
//
// The state an experiment reports, and the records of `GET /network-testing/v1/experiments`.
//
// `NetworkExperimentStatus` moves only forward within one experiment object:
//   "Disabled" / "Skipped"  the experiment has not started its worker; every configuration
//                           update draws again ("Disabled" exactly when the probability is 0.0
//                           or the server list came out empty, "Skipped" when the draw lost);
//   "InProgress"            the worker is running (set by the worker itself when it begins);
//   "Completed"             the worker has ended, successfully or not. Final.
// On-demand game-latency runs never change it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace mox {

enum class NetworkExperimentStatus : std::int32_t {
    Disabled = 0,
    Skipped = 1,
    InProgress = 2,
    Completed = 3,
};

struct NetworkExperimentResource {
    NetworkExperimentStatus status = NetworkExperimentStatus::Disabled;
};

// Always holds the keys "game_latency", "ipv4_options" and "ipv6_support".
struct NetworkExperimentsResource {
    std::unordered_map<std::string, NetworkExperimentResource> experiments;
};

}  // namespace mox
