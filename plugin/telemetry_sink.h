// File: plugin/telemetry_sink.h
//
// `TelemetrySink`: how the experiments report a measurement, as a named event with flat text
// fields, without seeing the host. `HostTelemetrySink` is the plugin base's implementation:
// one POST to "/telemetry/v1/events/" followed by the event name, unchanged, whose single
// unnamed argument is a structure holding every field as a string member (an empty structure
// when there are no fields).
//
// Example:
//   std::future<mox::CallResult<void>> done =
//       sink.postTelemetryEvent("probes__game_latency", {{"probes.sent", "4"}});
//   // done is ready at once; a failure is only visible there
//
// Threads: any thread; the call blocks for the duration of the host request. The sink keeps
// no state of its own, so concurrent posts need no lock.
#pragma once

#include <future>
#include <map>
#include <string>

#include "plugin/call_result.h"

namespace mox {

class PluginCore;

// Field name to text, posted in the map's order.
using TelemetryFields = std::map<std::string, std::string>;

class TelemetrySink {
  public:
    virtual ~TelemetrySink() = default;
    // Sends the event; the returned future is already satisfied with the request's outcome.
    virtual std::future<CallResult<void>> postTelemetryEvent(const std::string& name,
                                                             const TelemetryFields& fields) = 0;
};

class HostTelemetrySink final : public TelemetrySink {
  public:
    // `core` is borrowed; it owns the sink.
    explicit HostTelemetrySink(PluginCore& core) : core_(&core) {}
    std::future<CallResult<void>> postTelemetryEvent(const std::string& name,
                                                     const TelemetryFields& fields) override;

  private:
    PluginCore* core_;
};

}  // namespace mox
