#include "network_testing/ipv4_options_experiment.h"

#include <span>
#include <string>

#include "logging/log_manager.h"

namespace mox {

namespace {

constexpr LogGroups kExperimentLogGroups = kGroupNet | kGroupDbg;

void storeLittleEndian64(std::uint8_t* out, std::uint64_t value) noexcept {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace

std::array<std::uint8_t, kIpv4OptionsProbeSize> encodeIpv4OptionsProbe(
    std::uint64_t experimentId, std::uint8_t optionNumber, std::uint8_t index,
    std::uint16_t optionValue) noexcept {
    std::array<std::uint8_t, kIpv4OptionsProbeSize> datagram{};
    datagram[0] = 0x01;
    datagram[1] = 0x01;
    storeLittleEndian64(&datagram[2], experimentId);
    datagram[10] = optionNumber;
    datagram[11] = index;
    datagram[12] = static_cast<std::uint8_t>(optionValue);
    datagram[13] = static_cast<std::uint8_t>(optionValue >> 8);
    return datagram;
}

IPv4OptionsExperiment::IPv4OptionsExperiment(std::chrono::milliseconds interval)
    : ProbeSeriesExperiment(platform::AddressFamily::IPv4, interval) {}

double IPv4OptionsExperiment::probabilityOf(const NetworkTestingDynamicConfig& config) const {
    return config.IPv4OptionsProbability;
}

const std::string& IPv4OptionsExperiment::serversOf(
    const NetworkTestingDynamicConfig& config) const {
    return config.IPv4OptionsProbeServers;
}

void IPv4OptionsExperiment::logSocketError(const std::string& text) const {
    LogManager::write(kLogError, kExperimentLogGroups,
                      "Error running IPv4 Options experiment. socket returned: %s", text);
}

void IPv4OptionsExperiment::logStartError(const char* what) const {
    LogManager::write(kLogError, kExperimentLogGroups,
                      "Error running IPv4 Options experiment. Could not start its thread: %s",
                      what);
}

bool IPv4OptionsExperiment::sendOptionProbes(std::uint8_t optionNumber, std::uint16_t optionValue,
                                             std::uint64_t experimentId, PhaseCounters& counters) {
    if (optionNumber == 0) {
        // Removes what an earlier phase set; a system that refuses it sends as it can.
        (void)socket_.setIpv4Options({});
    } else {
        const auto option = platform::routerAlertOption(optionValue);
        auto set = socket_.setIpv4Options(option);
        if (!set.ok()) {
            LogManager::write(kLogError, kExperimentLogGroups,
                              "Error running IPv4 Options experiment. setsockopt for option %d "
                              "returned: %s",
                              static_cast<int>(optionNumber), limitErrorText(set.error().text));
            counters.error = 1;
            return true;
        }
    }
    const platform::SocketAddress to = destination(config_.IPv4OptionsProbePort);
    for (unsigned i = 0; i < config_.IPv4OptionsProbeCount; ++i) {
        const auto datagram = encodeIpv4OptionsProbe(experimentId, optionNumber,
                                                     static_cast<std::uint8_t>(i), optionValue);
        auto sent = socket_.sendTo(datagram, to);
        if (sent.ok() && sent.value() == datagram.size()) {
            ++counters.sent;
        }
        if (!pauseAfterSend()) {
            return false;
        }
    }
    return true;
}

void IPv4OptionsExperiment::runSeries(const TelemetryPoster& post) {
    const std::uint64_t experimentId = drawExperimentId();
    PhaseCounters plain;
    PhaseCounters zero;
    PhaseCounters nonZero;
    const bool complete =
        sendOptionProbes(0, 0, experimentId, plain) &&
        sendOptionProbes(kRouterAlertOptionNumber, 0, experimentId, zero) &&
        sendOptionProbes(kRouterAlertOptionNumber, kRouterAlertTestValue, experimentId, nonZero);
    if (!complete || stopping()) {
        return;
    }
    TelemetryFields fields;
    fields["target.ip"] = target_;
    fields["experiment.id"] = std::to_string(experimentId);
    fields["probes.plain.sent"] = std::to_string(plain.sent);
    fields["probes.plain.error"] = std::to_string(plain.error);
    fields["probes.opt20zero.sent"] = std::to_string(zero.sent);
    fields["probes.opt20zero.error"] = std::to_string(zero.error);
    fields["probes.opt20nonzero.sent"] = std::to_string(nonZero.sent);
    fields["probes.opt20nonzero.error"] = std::to_string(nonZero.error);
    post("probes__ipv4_options", fields);
}

}  // namespace mox
