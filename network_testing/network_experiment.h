// File: network_testing/network_experiment.h
//
// `NetworkExperiment`: the shape the three experiments share. Each is owned by the plugin,
// receives every accepted configuration, decides once by a weighted draw whether it runs
// (network_testing/experiment_draw.h), runs at most once per object on a worker thread of its
// own, reports its progress as a `NetworkExperimentStatus`, and stops its worker when it is
// destroyed.
//
// Stopping is two steps, so the plugin can stop everything before it waits for host calls to
// drain and only then deletes: `requestStop` sets the stop flag and wakes every wait (the
// worker, and for the game-latency experiment every pending on-demand run) without blocking;
// the destructor does the same, then joins the worker and waits for pending on-demand runs,
// and only then closes what the worker uses.
//
// Threads: every operation may be called from any framework thread. `onConfigChanged` runs its
// check, draw, preparation and start as one step under the experiment's mutex, so two
// deliveries at once (the initial one and an update) can never start two workers.
#pragma once

#include <functional>
#include <string>

#include "network_testing/dynamic_config.h"
#include "network_testing/experiment_status.h"
#include "plugin/telemetry_sink.h"

namespace mox {

class PluginBase;

// Posts one event and waits for the host's answer, which is not looked at.
using TelemetryPoster = std::function<void(const std::string& name, const TelemetryFields& fields)>;

class NetworkExperiment {
  public:
    NetworkExperiment() = default;
    NetworkExperiment(const NetworkExperiment&) = delete;
    NetworkExperiment& operator=(const NetworkExperiment&) = delete;
    virtual ~NetworkExperiment() = default;

    // Binds the experiment's own endpoints; only the game-latency experiment has any.
    virtual void registerEndpoints(PluginBase& plugin);
    // Called after the configuration subscription is set up; does nothing.
    virtual void onStarted(PluginBase& plugin);

    // A new configuration arrived; telemetry of a started worker goes to `sink`, which must
    // outlive the experiment.
    void onConfigChanged(const NetworkTestingDynamicConfig& config, TelemetrySink& sink);
    // The same with the telemetry as a callable (what `onConfigChanged` forwards to).
    virtual void applyConfig(const NetworkTestingDynamicConfig& config, TelemetryPoster post) = 0;

    // The current status, read under the experiment's mutex.
    virtual NetworkExperimentStatus status() const = 0;

    // Sets the stop flag and wakes every wait; does not block. Idempotent.
    virtual void requestStop() = 0;
};

}  // namespace mox
