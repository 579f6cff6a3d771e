// File: network_testing/network_testing_types.h
//
// Registers the plugin's own records with a binding registry, each under the plugin's API name
// followed directly by the record's name ("NetworkTesting" + "NetworkExperimentStatus" gives
// "NetworkTestingNetworkExperimentStatus"), in the order in which they depend on each other:
// `NetworkExperimentStatus`, `NetworkTestingDynamicConfig`, `NetworkExperimentResource`,
// `NetworkExperimentsResource`, `GameLatencyExperimentResult`, `GameLatencyExperimentResults`.
// Every type carries `tags` (the plugin's help path); no field or enumerator has a
// description. Registration is idempotent: a second call changes nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mox {

class TypeRegistry;

// Returns true when every type is registered under its name afterwards (newly or already);
// false when a registration was refused (an identity collision), which is a build accident.
[[nodiscard]] bool registerNetworkTestingTypes(TypeRegistry& registry, std::string_view apiName,
                                               const std::vector<std::string>& tags);

}  // namespace mox
