#include "network_testing/game_latency_experiment.h"

#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include "logging/log_manager.h"
#include "network_testing/experiment_draw.h"
#include "network_testing/game_latency_probe.h"

namespace mox {

namespace {

// How long the on-demand wait sleeps between two calls of `yield` at most.
constexpr std::chrono::milliseconds kOnDemandPoll{5};

void logStartError(const char* what) {
    LogManager::write(kLogError, kGroupNet | kGroupDbg,
                      "network-testing: Error running game latency experiment. Could not start "
                      "its thread: %s",
                      what);
}

}  // namespace

GameLatencyExperiment::GameLatencyExperiment() : generator_(nonDeterministicSeed()) {}

GameLatencyExperiment::~GameLatencyExperiment() {
    requestStop();
    if (worker_.joinable()) {
        worker_.join();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    requestsDone_.wait(lock, [this] { return pendingRequests_ == 0; });
}

void GameLatencyExperiment::requestStop() {
    // Runs poll the flag at least every 50 ms; nothing else waits on it.
    stop_.store(true, std::memory_order_release);
}

void GameLatencyExperiment::setYield(std::function<void()> yield) {
    yield_ = std::move(yield);
}

NetworkExperimentStatus GameLatencyExperiment::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void GameLatencyExperiment::applyConfig(const NetworkTestingDynamicConfig& config,
                                        TelemetryPoster post) {
    std::unique_lock<std::mutex> lock(mutex_);
    config_ = config;
    if (workerStarted_ || stop_.load(std::memory_order_acquire)) {
        return;
    }
    const double probability = config.GameLatencyProbability;
    if (!(drawCanonical(generator_) < probability)) {
        status_ = statusForLostDraw(probability);
        return;
    }
    try {
        worker_ = std::thread([this, post = std::move(post)] { workerMain(post); });
    } catch (const std::exception& error) {
        const std::string what = error.what();
        lock.unlock();  // the status stays, so the next update draws again
        logStartError(what.c_str());
        return;
    }
    workerStarted_ = true;
}

void GameLatencyExperiment::workerMain(const TelemetryPoster& post) {
    NetworkTestingDynamicConfig local;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        local = config_;
        status_ = NetworkExperimentStatus::InProgress;
    }
    try {
        auto outcome = runProbes(local, stop_);
        if (outcome.ok() && !stop_.load(std::memory_order_acquire)) {
            post(kGameLatencyTelemetryEvent, gameLatencyTelemetryFields(outcome.value()));
            std::lock_guard<std::mutex> lock(mutex_);
            if (!stop_.load(std::memory_order_acquire)) {
                stored_ =
                    std::make_shared<const GameLatencyExperimentResults>(outcome.releaseValue());
            }
        }
    } catch (...) {
        // An allocation failure ends the run without results; nothing leaves the thread.
    }
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = NetworkExperimentStatus::Completed;
}

CallResult<GameLatencyExperimentResults> GameLatencyExperiment::results() {
    auto shared = sharedResults();
    if (!shared.ok()) {
        return CallResult<GameLatencyExperimentResults>::failure(shared.releaseError());
    }
    return *shared.value();
}

CallResult<std::shared_ptr<const GameLatencyExperimentResults>>
GameLatencyExperiment::sharedResults() {
    using Shared = std::shared_ptr<const GameLatencyExperimentResults>;
    NetworkTestingDynamicConfig config;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_.load(std::memory_order_acquire)) {
            return CallResult<Shared>::failure(makeServerError("Exiting"));
        }
        if (stored_ != nullptr) {
            return Shared(stored_);
        }
        config = config_;
        ++pendingRequests_;
    }
    // Leaves the experiment on every path below, after the run's thread is joined.
    struct Leave {
        GameLatencyExperiment* self;
        ~Leave() {
            std::lock_guard<std::mutex> lock(self->mutex_);
            --self->pendingRequests_;
            self->requestsDone_.notify_all();
        }
    } leave{this};

    struct Slot {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<CallResult<GameLatencyExperimentResults>> outcome;
    } slot;

    std::thread run;
    try {
        run = std::thread([this, &config, &slot] {
            std::optional<CallResult<GameLatencyExperimentResults>> outcome;
            try {
                outcome.emplace(runProbes(config, stop_));
            } catch (...) {
                outcome.emplace(CallResult<GameLatencyExperimentResults>::failure(
                    CallError::withCode(0, "Internal server error")));
            }
            std::lock_guard<std::mutex> lock(slot.mutex);
            slot.outcome = std::move(outcome);
            slot.done.notify_all();
        });
    } catch (const std::exception& error) {
        logStartError(error.what());
        return CallResult<Shared>::failure(makeServerError("Error starting the game latency run"));
    }

    std::optional<CallResult<GameLatencyExperimentResults>> outcome;
    while (true) {
        if (yield_) {
            try {
                yield_();
            } catch (...) {
                // The host's wait failing must not leave the run's thread unjoined.
            }
        }
        std::unique_lock<std::mutex> lock(slot.mutex);
        slot.done.wait_for(lock, kOnDemandPoll, [&slot] { return slot.outcome.has_value(); });
        if (slot.outcome.has_value()) {
            outcome = std::move(slot.outcome);
            break;
        }
    }
    run.join();

    if (!outcome->ok()) {
        return CallResult<Shared>::failure(makeServerError(outcome->error().message));
    }
    auto fresh = std::make_shared<const GameLatencyExperimentResults>(outcome->releaseValue());
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stop_.load(std::memory_order_acquire)) {
        stored_ = fresh;
    }
    return Shared(std::move(fresh));
}

void GameLatencyExperiment::clearResults() {
    std::lock_guard<std::mutex> lock(mutex_);
    stored_.reset();
}

}  // namespace mox
