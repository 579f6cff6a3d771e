#include "network_testing/network_testing_plugin.h"

#include "logging/log_manager.h"
#include "network_testing/game_latency_experiment.h"
#include "network_testing/ipv4_options_experiment.h"
#include "network_testing/ipv6_support_experiment.h"
#include "network_testing/network_testing_types.h"
#include "routing/endpoint.h"

namespace mox {

NetworkTestingPlugin::NetworkTestingPlugin() {
    experiments_.max_load_factor(1.0f);
    experiments_.rehash(8);
    auto gameLatency = std::make_unique<GameLatencyExperiment>();
    auto ipv4Options = std::make_unique<IPv4OptionsExperiment>();
    auto ipv6Support = std::make_unique<IPv6SupportExperiment>();
    experiments_.emplace("game_latency", std::move(gameLatency));
    experiments_.emplace("ipv4_options", std::move(ipv4Options));
    experiments_.emplace("ipv6_support", std::move(ipv6Support));
}

NetworkTestingPlugin::~NetworkTestingPlugin() = default;

NetworkExperiment* NetworkTestingPlugin::experiment(const std::string& name) const {
    auto found = experiments_.find(name);
    return found == experiments_.end() ? nullptr : found->second.get();
}

void NetworkTestingPlugin::onRegisterEndpoints() {
    if (!registerNetworkTestingTypes(registry(), apiName(), helpPath())) {
        LogManager::write(kLogError, kGroupDbg, "%s: Could not register the plugin's types",
                          pluginName().shortName);
    }
    router()
        .bind(RequestMethod::Get, "/network-testing/v1/experiments",
              [this]() -> HandlerReply<NetworkExperimentsResource> {
                  if (isStopping()) {
                      return HandlerReply<NetworkExperimentsResource>::failure(500, "Exiting");
                  }
                  return HandlerReply<NetworkExperimentsResource>::shared(experimentsResource());
              })
        .tags(helpPath());
    for (auto& [name, experiment] : experiments_) {
        experiment->registerEndpoints(*this);
    }
}

bool NetworkTestingPlugin::onInitialised() {
    subscribeResourceAs<NetworkTestingDynamicConfig>(
        kNetworkTestingConfigPath,
        [this](const std::string&, PluginResourceEventType type,
               const NetworkTestingDynamicConfig& config) { onConfiguration(type, config); });
    for (auto& [name, experiment] : experiments_) {
        experiment->onStarted(*this);
    }
    return true;
}

void NetworkTestingPlugin::onConfiguration(PluginResourceEventType type,
                                           const NetworkTestingDynamicConfig& config) {
    if (type == PluginResourceEventType::Delete || isStopping()) {
        return;
    }
    TelemetrySink* sink = telemetrySink();
    if (sink == nullptr) {
        return;
    }
    for (auto& [name, experiment] : experiments_) {
        experiment->onConfigChanged(config, *sink);
    }
}

std::shared_ptr<const NetworkExperimentsResource> NetworkTestingPlugin::experimentsResource()
    const {
    std::lock_guard<std::mutex> lock(resourceMutex_);
    bool current = resource_ != nullptr && resource_->experiments.size() == experiments_.size();
    for (auto it = experiments_.begin(); current && it != experiments_.end(); ++it) {
        const auto held = resource_->experiments.find(it->first);
        current =
            held != resource_->experiments.end() && held->second.status == it->second->status();
    }
    if (!current) {
        auto fresh = std::make_shared<NetworkExperimentsResource>();
        for (const auto& [name, experiment] : experiments_) {
            fresh->experiments[name].status = experiment->status();
        }
        resource_ = std::move(fresh);
    }
    return resource_;
}

void NetworkTestingPlugin::onShutdown() {
    // New host calls are already refused; stop every experiment's waits first, so the calls
    // still in flight (an on-demand run, a configuration delivery) end, then wait for them.
    for (auto& [name, experiment] : experiments_) {
        experiment->requestStop();
    }
    waitForCallsToDrain();
    for (auto& [name, experiment] : experiments_) {
        experiment.reset();  // joins its worker
    }
    experiments_.clear();
    experiments_.rehash(8);
    PluginBase::onShutdown();
}

}  // namespace mox
