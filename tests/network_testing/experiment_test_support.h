// Helpers shared by the experiment tests: a telemetry recorder standing in for the host's
// sink, and a bounded wait for a condition.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "network_testing/network_experiment.h"

namespace mox::testing {

class TelemetryRecorder {
  public:
    struct Event {
        std::string name;
        TelemetryFields fields;
    };

    TelemetryPoster poster() {
        return [this](const std::string& name, const TelemetryFields& fields) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({name, fields});
        };
    }
    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

// Polls `condition` every millisecond until it holds or `timeout` passes; returns its last
// value.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace mox::testing
