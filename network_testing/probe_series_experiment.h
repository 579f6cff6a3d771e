// File: network_testing/probe_series_experiment.h
//
// `ProbeSeriesExperiment`: the common part of the IPv4 options and IPv6 support experiments.
// Both send numbered datagrams tagged with a random experiment identifier to one server picked
// at random from their list, 200 ms apart, and post how many left the machine; neither reads
// replies (the server side records what arrives).
//
// `applyConfig`, as one step under the mutex: once a worker was started, ignore the update;
// draw; on a lost draw set "Disabled"/"Skipped"; on a won draw copy the record, split the
// server list (no piece: "Disabled"), pick and trim the target, open the socket (failure: an
// error line, status unchanged, the next update draws again) and start the worker (failure:
// the socket is closed, an error line, status unchanged, the next update draws again).
//
// The pause after each send waits on a condition variable until a deadline of the steady
// clock (a step of the wall clock cannot stretch it) and ends at once when the stop flag is
// set. Destruction (`stopWorker`, from the concrete class's destructor) sets the stop flag,
// wakes, joins and only then closes the socket: a closed
// descriptor can be reused at once by another thread of the host, and the worker may still be
// sending on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "network_testing/network_experiment.h"
#include "platform/socket.h"

namespace mox {

// The pause after each datagram of a series.
inline constexpr std::chrono::milliseconds kProbeSendInterval{200};
// System error texts in the experiments' log lines are cut to this many bytes.
inline constexpr std::size_t kErrorTextLimit = 256;

// `text` cut to at most `kErrorTextLimit` - 1 bytes (what a 256-byte buffer holds).
std::string limitErrorText(std::string_view text);

class ProbeSeriesExperiment : public NetworkExperiment {
  public:
    ~ProbeSeriesExperiment() override;

    void applyConfig(const NetworkTestingDynamicConfig& config, TelemetryPoster post) final;
    NetworkExperimentStatus status() const final;
    void requestStop() final;

  protected:
    // `interval` is the pause after each datagram (tests shorten it).
    ProbeSeriesExperiment(platform::AddressFamily family, std::chrono::milliseconds interval);

    // What the two experiments differ in.
    virtual double probabilityOf(const NetworkTestingDynamicConfig& config) const = 0;
    virtual const std::string& serversOf(const NetworkTestingDynamicConfig& config) const = 0;
    // Logs the failure to open the socket (the texts differ).
    virtual void logSocketError(const std::string& text) const = 0;
    // Logs the failure to start the worker thread.
    virtual void logStartError(const char* what) const = 0;
    // The series itself, on the worker thread, between "InProgress" and "Completed".
    virtual void runSeries(const TelemetryPoster& post) = 0;

    // Sets the stop flag, wakes the worker and joins it; idempotent. Each final class calls it
    // first thing in its destructor: the worker calls the virtual operations above, so it must
    // have ended before the derived part of the object is torn down (from the base destructor
    // it would call them on a half-destroyed object, a pure virtual call at worst).
    void stopWorker() noexcept;

    // For `runSeries`: waits for the pause after a send; false when the stop flag ended it
    // (or was already set).
    bool pauseAfterSend();
    // Whether the stop flag is set (under the mutex).
    bool stopping() const;
    // A uniformly distributed 64-bit identifier from the experiment's generator.
    std::uint64_t drawExperimentId();
    // The destination: the target parsed as a numeric address of the family (an unparsable
    // target gives the unspecified address), with `port`.
    platform::SocketAddress destination(std::uint16_t port) const;

    // Written before the worker starts, only read by it afterwards.
    NetworkTestingDynamicConfig config_;
    std::string target_;
    platform::UdpSocket socket_;

  private:
    void workerMain(const TelemetryPoster& post);

    const platform::AddressFamily family_;
    const std::chrono::milliseconds interval_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    NetworkExperimentStatus status_ = NetworkExperimentStatus::Disabled;
    bool stop_ = false;
    bool workerStarted_ = false;
    std::mt19937 generator_;
    std::thread worker_;
};

}  // namespace mox
