// File: network_testing/ipv6_support_experiment.h
//
// `IPv6SupportExperiment`, the experiment "ipv6_support": can the machine send UDP datagrams
// over IPv6? It sends `IPv6SupportProbeCount` datagrams to one server of
// `IPv6SupportProbeServers` and posts "probes__ipv6_support" with how many left whole.
//
// Datagram (11 bytes, little-endian): 0x01, 0x02, the experiment id (8 bytes), the index.
// The address is parsed as a numeric IPv6 address: only its 16 bytes are used (a port or scope
// in the text is ignored); an unparsable target becomes "::", to which nothing is sent.
//
// A socket that cannot be opened (no IPv6 stack) is logged at ERROR in the groups NET and DBG:
// "network-testing: Error running IPv6 Support experiment. socket returned: %s".
#pragma once

#include <array>
#include <cstdint>

#include "network_testing/probe_series_experiment.h"

namespace mox {

inline constexpr std::size_t kIpv6SupportProbeSize = 11;

std::array<std::uint8_t, kIpv6SupportProbeSize> encodeIpv6SupportProbe(std::uint64_t experimentId,
                                                                       std::uint8_t index) noexcept;

class IPv6SupportExperiment final : public ProbeSeriesExperiment {
  public:
    explicit IPv6SupportExperiment(std::chrono::milliseconds interval = kProbeSendInterval);
    // Ends the worker before this part is gone: it runs this class's `runSeries`.
    ~IPv6SupportExperiment() override { stopWorker(); }

  private:
    double probabilityOf(const NetworkTestingDynamicConfig& config) const override;
    const std::string& serversOf(const NetworkTestingDynamicConfig& config) const override;
    void logSocketError(const std::string& text) const override;
    void logStartError(const char* what) const override;
    void runSeries(const TelemetryPoster& post) override;

    // True when every probe was sent (or tried), false when the stop flag ended the series.
    bool sendSupportProbes(std::uint64_t experimentId, std::uint8_t& sent);
};

}  // namespace mox
