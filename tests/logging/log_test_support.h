// Test helpers for the log core: a target that keeps what it receives, and a fixture that
// holds a fresh manager with the built-in targets detached, so tests see only their own
// targets and the real streams stay quiet.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "logging/log_manager.h"
#include "logging/log_target.h"

namespace mox::testing {

class CapturingTarget final : public LogTarget {
  public:
    struct Entry {
        LogLevel level;
        LogGroups groups;
        std::string message;
    };

    explicit CapturingTarget(const char* name = "CapturingTarget",
                             std::vector<std::string>* detachLog = nullptr)
        : name_(name), detachLog_(detachLog) {}
    ~CapturingTarget() override { LogTarget::detach(); }

    const char* name() const override { return name_; }
    void detach() override {
        if (detachLog_ != nullptr && isAttached()) {
            detachLog_->push_back(name_);
        }
        LogTarget::detach();
    }
    bool writeRecord(const LogRecord& record) override {
        std::lock_guard<std::mutex> guard(mutex_);
        entries_.push_back({record.level, record.groups, record.message});
        return true;
    }

    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return entries_;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const Entry& entry : entries()) {
            out.push_back(entry.message);
        }
        return out;
    }

  private:
    const char* name_;
    std::vector<std::string>* detachLog_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Holds a reference for the test; the release in TearDown destroys the manager, so every
// test starts from the defaults.
class LogCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(LogManager::references(), 0) << "an earlier test leaked a reference";
        LogManager::addRef();
        for (LogTargetInterface* builtIn : {LogManager::stderrTarget(), LogManager::stdoutTarget(),
                                            LogManager::debuggerTarget()}) {
            builtIn->functions->detach(builtIn);
        }
    }
    void TearDown() override { LogManager::release(); }

    // Attaches `target` accepting every level and group.
    static void attachOpen(LogTarget& target) {
        LogTargetConfig config;
        config.level = 0;
        target.configure(config);
    }
};

}  // namespace mox::testing
