#include "network_testing/ipv6_support_experiment.h"

#include <string>

#include "logging/log_manager.h"

namespace mox {

namespace {

constexpr LogGroups kExperimentLogGroups = kGroupNet | kGroupDbg;

}  // namespace

std::array<std::uint8_t, kIpv6SupportProbeSize> encodeIpv6SupportProbe(
    std::uint64_t experimentId, std::uint8_t index) noexcept {
    std::array<std::uint8_t, kIpv6SupportProbeSize> datagram{};
    datagram[0] = 0x01;
    datagram[1] = 0x02;
    for (int i = 0; i < 8; ++i) {
        datagram[2 + i] = static_cast<std::uint8_t>(experimentId >> (8 * i));
    }
    datagram[10] = index;
    return datagram;
}

IPv6SupportExperiment::IPv6SupportExperiment(std::chrono::milliseconds interval)
    : ProbeSeriesExperiment(platform::AddressFamily::IPv6, interval) {}

double IPv6SupportExperiment::probabilityOf(const NetworkTestingDynamicConfig& config) const {
    return config.IPv6SupportProbability;
}

const std::string& IPv6SupportExperiment::serversOf(
    const NetworkTestingDynamicConfig& config) const {
    return config.IPv6SupportProbeServers;
}

void IPv6SupportExperiment::logSocketError(const std::string& text) const {
    LogManager::write(kLogError, kExperimentLogGroups,
                      "network-testing: Error running IPv6 Support experiment. socket returned: %s",
                      text);
}

void IPv6SupportExperiment::logStartError(const char* what) const {
    LogManager::write(
        kLogError, kExperimentLogGroups,
        "network-testing: Error running IPv6 Support experiment. Could not start its thread: %s",
        what);
}

bool IPv6SupportExperiment::sendSupportProbes(std::uint64_t experimentId, std::uint8_t& sent) {
    const platform::SocketAddress to = destination(config_.IPv6SupportProbePort);
    for (unsigned i = 0; i < config_.IPv6SupportProbeCount; ++i) {
        const auto datagram = encodeIpv6SupportProbe(experimentId, static_cast<std::uint8_t>(i));
        auto result = socket_.sendTo(datagram, to);
        if (result.ok() && result.value() == datagram.size()) {
            ++sent;
        }
        if (!pauseAfterSend()) {
            return false;
        }
    }
    return true;
}

void IPv6SupportExperiment::runSeries(const TelemetryPoster& post) {
    const std::uint64_t experimentId = drawExperimentId();
    std::uint8_t sent = 0;
    if (!sendSupportProbes(experimentId, sent) || stopping()) {
        return;
    }
    TelemetryFields fields;
    fields["target.ip"] = target_;
    fields["experiment.id"] = std::to_string(experimentId);
    fields["probes.sent"] = std::to_string(sent);
    post("probes__ipv6_support", fields);
}

}  // namespace mox
