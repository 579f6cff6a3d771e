#include "network_testing/network_experiment.h"

#include <utility>

#include "plugin/telemetry_sink.h"

namespace mox {

void NetworkExperiment::registerEndpoints(PluginBase&) {}

void NetworkExperiment::onStarted(PluginBase&) {}

void NetworkExperiment::onConfigChanged(const NetworkTestingDynamicConfig& config,
                                        TelemetrySink& sink) {
    applyConfig(config, [&sink](const std::string& name, const TelemetryFields& fields) {
        // The outcome is not looked at: a failed post is not retried or logged.
        (void)sink.postTelemetryEvent(name, fields);
    });
}

}  // namespace mox
