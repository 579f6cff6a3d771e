// The game-latency experiment's endpoints, bound through the plugin's router.
#include "network_testing/game_latency_experiment.h"
#include "plugin/call_result_reply.h"
#include "plugin/plugin_base.h"
#include "routing/endpoint.h"

namespace mox {

void GameLatencyExperiment::registerEndpoints(PluginBase& plugin) {
    setYield([&plugin] { plugin.yield(); });
    PluginBase* owner = &plugin;
    plugin.router()
        .bind(
            RequestMethod::Get, "/network-testing/v1/game-latency",
            [this, owner]() -> CallResult<std::shared_ptr<const GameLatencyExperimentResults>> {
                if (owner->isStopping()) {
                    return CallResult<std::shared_ptr<const GameLatencyExperimentResults>>::failure(
                        CallError::withCode(500, "Exiting"));
                }
                return sharedResults();
            })
        .tags(plugin.helpPath());
    plugin.router()
        .bind(RequestMethod::Delete, "/network-testing/v1/game-latency/results",
              [this, owner]() -> CallResult<void> {
                  if (owner->isStopping()) {
                      return CallResult<void>::failure(CallError::withCode(500, "Exiting"));
                  }
                  clearResults();
                  return {};
              })
        .tags(plugin.helpPath());
}

}  // namespace mox
