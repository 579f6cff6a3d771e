// File: network_testing/network_testing_plugin.h
//
// `NetworkTestingPlugin`: the plugin object that `load_network_testing` creates. It owns the
// three experiments ("game_latency", "ipv4_options", "ipv6_support"), registers the plugin's
// records and endpoints when the loader asks, follows the dynamic configuration at
// "/zek-platform-config/v1/namespaces/NetworkTesting" once initialised, fans every accepted
// update out to the experiments, and stops and deletes them at shutdown. What the experiments
// measure is theirs (network_testing/*_experiment.h); this is the wiring.
//
// Configuration: each delivery is a fresh record from the defaults plus the members the update
// carries (never merged); an update that does not convert is dropped whole; a "Delete" event
// is ignored, so the experiments keep what they had. `onInitialised` returns true even when
// the first read of the configuration fails.
//
// Shutdown, in order: the frame refuses new host calls; the configuration callback and the
// three handlers see the stopping flag; every experiment is asked to stop (wakes its worker
// and ends pending on-demand runs with "Exiting"); the host calls still in flight are drained;
// only then are the experiments deleted (each joins its worker), and the base unsubscribes.
// Nothing a host thread is still running can touch a deleted experiment.
//
// Threads: construction, registration, initialisation and shutdown on the host's calling
// thread; configuration deliveries on any host thread (and on the initialising thread for the
// first value); request handlers on host threads. The experiment map is written only by the
// constructor and `onShutdown` and read without a lock in between.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "network_testing/dynamic_config.h"
#include "network_testing/experiment_status.h"
#include "network_testing/network_experiment.h"
#include "plugin/plugin_base.h"
#include "plugin/plugin_types.h"

namespace mox {

class NetworkTestingPlugin final : public PluginBase {
  public:
    NetworkTestingPlugin();
    ~NetworkTestingPlugin() override;

    void onShutdown() override;
    void onRegisterEndpoints() override;
    bool onInitialised() override;

    // `GET /network-testing/v1/experiments`: every experiment's status by name. Statuses
    // change a few times in a plugin's life, so the answer is a shared snapshot, rebuilt only
    // when a status differs from it; a snapshot once handed out never changes.
    std::shared_ptr<const NetworkExperimentsResource> experimentsResource() const;

    // The configuration callback of the subscription.
    void onConfiguration(PluginResourceEventType type, const NetworkTestingDynamicConfig& config);

    // The experiment of that name, or null (after shutdown, or an unknown name).
    NetworkExperiment* experiment(const std::string& name) const;

  private:
    // Owned; emptied by `onShutdown`. Deleting through the map's destructor only happens when
    // the plugin is destroyed without a shutdown (a load that failed half-way).
    std::unordered_map<std::string, std::unique_ptr<NetworkExperiment>> experiments_;
    // The last snapshot of `experimentsResource`, guarded by `resourceMutex_` (taken before
    // any experiment's own mutex, never the other way round).
    mutable std::mutex resourceMutex_;
    mutable std::shared_ptr<const NetworkExperimentsResource> resource_;
};

}  // namespace mox
