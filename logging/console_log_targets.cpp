#include "logging/console_log_targets.h"

#include <cstdio>
#include <mutex>

#include "logging/log_format.h"
#include "platform/debugger.h"

namespace mox {

const char* BaseConsoleLogTarget::name() const {
    return "BaseConsoleLogTarget";
}

bool BaseConsoleLogTarget::writeRecord(const LogRecord& record) {
    char line[kLogLineSize];
    std::lock_guard<platform::CriticalSection> guard(targetLock());
    formatLine(record, format(), line, sizeof line);
    writeText(line);
    return true;
}

StdErrLogTarget::~StdErrLogTarget() {
    detach();
}

const char* StdErrLogTarget::name() const {
    return "StdErrLogTarget";
}

void StdErrLogTarget::flush() {
    std::lock_guard<platform::CriticalSection> guard(targetLock());
    std::fflush(stderr);
}

void StdErrLogTarget::writeText(const char* text) {
    std::fputs(text, stderr);
}

StdOutLogTarget::~StdOutLogTarget() {
    detach();
}

const char* StdOutLogTarget::name() const {
    return "StdOutLogTarget";
}

void StdOutLogTarget::flush() {
    std::lock_guard<platform::CriticalSection> guard(targetLock());
    std::fflush(stdout);
}

void StdOutLogTarget::setFlushMode(std::uint32_t mode) {
    std::lock_guard<platform::CriticalSection> guard(targetLock());
    flushMode_ = mode;
}

std::uint32_t StdOutLogTarget::flushMode() const {
    std::lock_guard<platform::CriticalSection> guard(targetLock());
    return flushMode_;
}

void StdOutLogTarget::writeText(const char* text) {
    std::fputs(text, stdout);
    if (flushMode_ == 1) {
        std::fflush(stdout);
    }
}

DebuggerConsoleLogTarget::~DebuggerConsoleLogTarget() {
    detach();
}

const char* DebuggerConsoleLogTarget::name() const {
    return "DebuggerConsoleLogTarget";
}

void DebuggerConsoleLogTarget::writeText(const char* text) {
    platform::debuggerOutput(text);
}

}  // namespace mox
