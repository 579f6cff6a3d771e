#include "network_testing/network_experiment.h"

namespace mox {

void NetworkExperiment::registerEndpoints(PluginBase&) {}

void NetworkExperiment::onStarted(PluginBase&) {}

}  // namespace mox
