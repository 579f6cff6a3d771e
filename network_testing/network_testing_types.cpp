#include "network_testing/network_testing_types.h"

#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "network_testing/dynamic_config.h"
#include "network_testing/experiment_status.h"
#include "network_testing/game_latency_results.h"

namespace mox {

namespace {

template <class Builder>
bool finishWithTags(Builder& builder, const std::vector<std::string>& tags) {
    for (const std::string& tag : tags) {
        builder.tag(tag);
    }
    return builder.finish() != TypeRegistrationStatus::IdCollision;
}

std::string nameFor(std::string_view apiName, std::string_view recordName) {
    std::string name(apiName);
    name += recordName;
    return name;
}

}  // namespace

bool registerNetworkTestingTypes(TypeRegistry& registry, std::string_view apiName,
                                 const std::vector<std::string>& tags) {
    bool ok = true;

    auto status =
        registry.beginEnum<NetworkExperimentStatus>(nameFor(apiName, "NetworkExperimentStatus"));
    status.value("Disabled", NetworkExperimentStatus::Disabled)
        .value("Skipped", NetworkExperimentStatus::Skipped)
        .value("InProgress", NetworkExperimentStatus::InProgress)
        .value("Completed", NetworkExperimentStatus::Completed);
    ok = finishWithTags(status, tags) && ok;

    using Config = NetworkTestingDynamicConfig;
    auto config = registry.beginStruct<Config>(nameFor(apiName, "NetworkTestingDynamicConfig"));
    config.field("GameLatencyProbeServers", &Config::GameLatencyProbeServers)
        .field("GameLatencyProbePort", &Config::GameLatencyProbePort)
        .field("GameLatencyProbability", &Config::GameLatencyProbability)
        .field("GameLatencyTimeoutSecs", &Config::GameLatencyTimeoutSecs)
        .field("GameLatencyProbeCount", &Config::GameLatencyProbeCount)
        .field("GameLatencyProbeSize", &Config::GameLatencyProbeSize)
        .field("IPv4OptionsProbeServers", &Config::IPv4OptionsProbeServers)
        .field("IPv4OptionsProbePort", &Config::IPv4OptionsProbePort)
        .field("IPv4OptionsProbability", &Config::IPv4OptionsProbability)
        .field("IPv4OptionsProbeCount", &Config::IPv4OptionsProbeCount)
        .field("IPv6SupportProbeServers", &Config::IPv6SupportProbeServers)
        .field("IPv6SupportProbePort", &Config::IPv6SupportProbePort)
        .field("IPv6SupportProbability", &Config::IPv6SupportProbability)
        .field("IPv6SupportProbeCount", &Config::IPv6SupportProbeCount);
    ok = finishWithTags(config, tags) && ok;

    auto resource = registry.beginStruct<NetworkExperimentResource>(
        nameFor(apiName, "NetworkExperimentResource"));
    resource.field("status", &NetworkExperimentResource::status);
    ok = finishWithTags(resource, tags) && ok;

    auto resources = registry.beginStruct<NetworkExperimentsResource>(
        nameFor(apiName, "NetworkExperimentsResource"));
    resources.field("experiments", &NetworkExperimentsResource::experiments);
    ok = finishWithTags(resources, tags) && ok;

    auto result = registry.beginStruct<GameLatencyExperimentResult>(
        nameFor(apiName, "GameLatencyExperimentResult"));
    result.field("server", &GameLatencyExperimentResult::server)
        .field("size", &GameLatencyExperimentResult::size)
        .field("latency", &GameLatencyExperimentResult::latency, FieldOptions{.optional = true});
    ok = finishWithTags(result, tags) && ok;

    auto results = registry.beginStruct<GameLatencyExperimentResults>(
        nameFor(apiName, "GameLatencyExperimentResults"));
    results.field("results", &GameLatencyExperimentResults::results)
        .field("timestamp", &GameLatencyExperimentResults::timestamp);
    ok = finishWithTags(results, tags) && ok;

    return ok;
}

}  // namespace mox
