#include "network_testing/probe_series_experiment.h"

#include <exception>
#include <utility>
#include <vector>

#include "network_testing/experiment_draw.h"

namespace mox {

std::string limitErrorText(std::string_view text) {
    return std::string(text.substr(0, std::min(text.size(), kErrorTextLimit - 1)));
}

ProbeSeriesExperiment::ProbeSeriesExperiment(platform::AddressFamily family,
                                             std::chrono::milliseconds interval)
    : family_(family), interval_(interval), generator_(nonDeterministicSeed()) {}

ProbeSeriesExperiment::~ProbeSeriesExperiment() {
    stopWorker();  // done already by the concrete class; kept for safety
    socket_.close();
}

void ProbeSeriesExperiment::stopWorker() noexcept {
    requestStop();
    if (worker_.joinable()) {
        try {
            worker_.join();
        } catch (...) {
            // join fails only for a thread that is not joinable or is this one; neither here.
        }
    }
}

void ProbeSeriesExperiment::requestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

NetworkExperimentStatus ProbeSeriesExperiment::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool ProbeSeriesExperiment::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

std::uint64_t ProbeSeriesExperiment::drawExperimentId() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uniform_int_distribution<std::uint64_t> distribution;
    return distribution(generator_);
}

platform::SocketAddress ProbeSeriesExperiment::destination(std::uint16_t port) const {
    platform::SocketAddress to = platform::parseNumericAddress(target_, family_)
                                     .value_or(platform::SocketAddress::unspecified(family_));
    to.port = port;
    return to;
}

bool ProbeSeriesExperiment::pauseAfterSend() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + interval_;
    if (stop_) {
        return false;
    }
    wake_.wait_until(lock, deadline, [this] { return stop_; });
    return !stop_;
}

void ProbeSeriesExperiment::applyConfig(const NetworkTestingDynamicConfig& config,
                                        TelemetryPoster post) {
    // Check, draw, prepare and start are one step under the mutex; the error lines are
    // written after it is released, so a slow log target never holds up a status read.
    std::unique_lock<std::mutex> lock(mutex_);
    if (workerStarted_ || stop_) {
        return;
    }
    const double probability = probabilityOf(config);
    if (!(drawCanonical(generator_) < probability)) {
        status_ = statusForLostDraw(probability);
        return;
    }
    config_ = config;
    const std::vector<std::string> servers = splitServerList(serversOf(config_));
    if (servers.empty()) {
        status_ = NetworkExperimentStatus::Disabled;
        return;
    }
    target_ = std::string(trimAsciiWhitespace(servers[uniformIndex(generator_, servers.size())]));

    auto opened = platform::UdpSocket::open(family_);
    if (!opened.ok()) {
        const std::string text = limitErrorText(opened.error().text);
        lock.unlock();
        logSocketError(text);
        return;
    }
    socket_ = opened.releaseValue();
    try {
        worker_ = std::thread([this, post = std::move(post)] { workerMain(post); });
    } catch (const std::exception& error) {
        socket_.close();
        const std::string what = error.what();
        lock.unlock();
        logStartError(what.c_str());
        return;
    }
    workerStarted_ = true;
}

void ProbeSeriesExperiment::workerMain(const TelemetryPoster& post) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = NetworkExperimentStatus::InProgress;
    }
    try {
        runSeries(post);
    } catch (...) {
        // Nothing may end the host process from a worker: an allocation failure while building
        // the telemetry ends the run without it.
    }
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = NetworkExperimentStatus::Completed;
}

}  // namespace mox
