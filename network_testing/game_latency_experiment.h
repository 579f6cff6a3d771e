// File: network_testing/game_latency_experiment.h
//
// `GameLatencyExperiment`, the experiment "game_latency": round trips to up to four game probe
// servers (`runProbes`, network_testing/game_latency_probe.h), run once in the background when
// the draw says so, and on demand by `GET /network-testing/v1/game-latency` when nothing is
// stored. It keeps the results of the last successful run for the host.
//
// Background worker: copies the configuration and sets "InProgress" under the mutex, runs the
// probes, and on success posts "probes__game_latency" and then stores the results; it ends
// with "Completed". Once the stop flag is set, neither the post nor the store happens: the
// post would make `Shutdown` wait for a host round trip.
//
// On-demand runs (`results`): with nothing stored, the configuration is copied under the
// mutex, a thread of the request's own runs the probes, and the calling (host) thread calls
// the plugin's `yield` between checks, each round also waiting a few milliseconds on a
// condition variable that the run notifies when it ends (a host whose yield returns at once
// does not make it spin). The run's thread is joined on every path. A failed run, or a thread
// that cannot be started, answers status 500 with the message ("Internal server error" when it
// is empty). Stopping ends a pending run with "Exiting"; its result is not stored.
//
// Lifetime: the destructor sets the stop flag, joins the worker and waits until every pending
// on-demand request has left the experiment, so none touches freed memory.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "network_testing/game_latency_results.h"
#include "network_testing/network_experiment.h"
#include "plugin/call_result.h"

namespace mox {

class GameLatencyExperiment final : public NetworkExperiment {
  public:
    GameLatencyExperiment();
    ~GameLatencyExperiment() override;

    // Binds `GET /network-testing/v1/game-latency` and `DELETE .../game-latency/results`
    // through the plugin's router and takes the plugin's `yield` for on-demand waits.
    void registerEndpoints(PluginBase& plugin) override;
    void applyConfig(const NetworkTestingDynamicConfig& config, TelemetryPoster post) override;
    NetworkExperimentStatus status() const override;
    void requestStop() override;

    // `GET /network-testing/v1/game-latency`: the stored results, or a fresh on-demand run.
    // Blocks the calling thread for the run; `yield` is called meanwhile.
    CallResult<GameLatencyExperimentResults> results();
    // The same, sharing the stored results instead of copying them: stored results are never
    // changed, only replaced, so the snapshot stays what it was when the request read it.
    CallResult<std::shared_ptr<const GameLatencyExperimentResults>> sharedResults();
    // `DELETE /network-testing/v1/game-latency/results`: forgets the stored results.
    void clearResults();

    // What the on-demand wait calls between checks (the plugin's `yield`); none by default.
    // REQUIRES: set before requests arrive.
    void setYield(std::function<void()> yield);

  private:
    void workerMain(const TelemetryPoster& post);

    mutable std::mutex mutex_;
    NetworkTestingDynamicConfig config_;
    // The stored results (null: none), replaced as a whole, never changed in place.
    std::shared_ptr<const GameLatencyExperimentResults> stored_;
    NetworkExperimentStatus status_ = NetworkExperimentStatus::Disabled;
    bool workerStarted_ = false;
    std::mt19937 generator_;
    std::thread worker_;
    std::atomic<bool> stop_{false};
    // On-demand requests inside `results`; the destructor waits for 0.
    std::size_t pendingRequests_ = 0;
    std::condition_variable requestsDone_;
    std::function<void()> yield_;
};

}  // namespace mox
