// File: network_testing/ipv4_options_experiment.h
//
// `IPv4OptionsExperiment`, the experiment "ipv4_options": do UDP datagrams that carry an IPv4
// header option reach a probe server? It sends three series of `IPv4OptionsProbeCount`
// datagrams to one server of `IPv4OptionsProbeServers`: without options, with the Router Alert
// option (number 20) holding 0, and holding 42; then posts "probes__ipv4_options" with how many
// of each left the machine whole and whether the option could be set.
//
// Datagram (14 bytes, little-endian): 0x01, 0x01, the experiment id (8 bytes), the phase's
// option number (0 or 20), the index within the phase, the option value (2 bytes: 0, 0, 42).
//
// Failures are logged at ERROR in the groups NET and DBG, without the plugin's name in front:
// "Error running IPv4 Options experiment. socket returned: %s" and
// "Error running IPv4 Options experiment. setsockopt for option %d returned: %s".
#pragma once

#include <array>
#include <cstdint>

#include "network_testing/probe_series_experiment.h"

namespace mox {

inline constexpr std::size_t kIpv4OptionsProbeSize = 14;
inline constexpr std::uint8_t kRouterAlertOptionNumber = 20;
inline constexpr std::uint16_t kRouterAlertTestValue = 42;

std::array<std::uint8_t, kIpv4OptionsProbeSize> encodeIpv4OptionsProbe(
    std::uint64_t experimentId, std::uint8_t optionNumber, std::uint8_t index,
    std::uint16_t optionValue) noexcept;

class IPv4OptionsExperiment final : public ProbeSeriesExperiment {
  public:
    explicit IPv4OptionsExperiment(std::chrono::milliseconds interval = kProbeSendInterval);
    // Ends the worker before this part is gone: it runs this class's `runSeries`.
    ~IPv4OptionsExperiment() override { stopWorker(); }

  private:
    struct PhaseCounters {
        std::uint8_t sent = 0;
        std::uint8_t error = 0;
    };

    double probabilityOf(const NetworkTestingDynamicConfig& config) const override;
    const std::string& serversOf(const NetworkTestingDynamicConfig& config) const override;
    void logSocketError(const std::string& text) const override;
    void logStartError(const char* what) const override;
    void runSeries(const TelemetryPoster& post) override;

    // One phase; true when it ran to its end, false when the stop flag ended it.
    bool sendOptionProbes(std::uint8_t optionNumber, std::uint16_t optionValue,
                          std::uint64_t experimentId, PhaseCounters& counters);
};

}  // namespace mox
