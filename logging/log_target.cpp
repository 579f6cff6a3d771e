#include "logging/log_target.h"

#include <mutex>

#include "logging/log_manager_internal.h"

namespace mox {
namespace {

LogTarget& targetOf(LogTargetInterface* self) {
    return *self->target;
}

const LogTargetFunctions kTargetFunctions = {
    [](LogTargetInterface*) -> std::int32_t { return 1; },
    [](LogTargetInterface* self, LogLevel level) { targetOf(self).setLevel(level); },
    [](LogTargetInterface* self) { return targetOf(self).level(); },
    [](LogTargetInterface* self, std::uint32_t includedLow, std::uint32_t includedHigh,
       std::uint32_t excludedLow, std::uint32_t excludedHigh) {
        targetOf(self).setGroups(makeLogGroups(includedLow, includedHigh),
                                 makeLogGroups(excludedLow, excludedHigh));
    },
    [](LogTargetInterface* self) { return targetOf(self).includedGroups(); },
    [](LogTargetInterface* self) { return targetOf(self).excludedGroups(); },
    [](LogTargetInterface* self) { return targetOf(self).name(); },
    [](LogTargetInterface* self) { return targetOf(self).format(); },
    [](LogTargetInterface* self) { targetOf(self).attach(); },
    [](LogTargetInterface* self) { targetOf(self).detach(); },
    [](LogTargetInterface* self) -> std::int32_t { return targetOf(self).isAttached() ? 1 : 0; },
    [](LogTargetInterface* self, const LogRecord* record) {
        return targetOf(self).writeRecord(*record);
    },
};

}  // namespace

bool logTargetAccepts(LogTargetInterface* target, LogLevel level, LogGroups groups) {
    const LogTargetFunctions& f = *target->functions;
    if (level < f.getLevel(target)) {
        return false;
    }
    if (groups == 0) {
        return true;
    }
    if ((groups & f.getExcludedGroups(target)) != 0) {
        return false;
    }
    const LogGroups included = f.getIncludedGroups(target);
    return included == 0 || (groups & included) != 0;
}

LogTarget::LogTarget() : interface_{&kTargetFunctions, this} {}

LogTarget::~LogTarget() {
    detach();
}

void LogTarget::detach() {
    std::lock_guard<platform::CriticalSection> managerGuard(detail::managerLock());
    std::lock_guard<platform::CriticalSection> guard(lock_);
    detail::removeTarget(&interface_);
    attached_ = false;
}

const char* LogTarget::name() const {
    return "LogTarget";
}

const char* LogTarget::format() const {
    std::lock_guard<platform::CriticalSection> guard(lock_);
    return format_.c_str();
}

void LogTarget::flush() {}

void LogTarget::setLevel(LogLevel level) {
    std::lock_guard<platform::CriticalSection> guard(lock_);
    level_ = level;
}

LogLevel LogTarget::level() const {
    std::lock_guard<platform::CriticalSection> guard(lock_);
    return level_;
}

void LogTarget::setGroups(LogGroups included, LogGroups excluded) {
    std::lock_guard<platform::CriticalSection> guard(lock_);
    excluded_ = excluded;
    included_ = included & ~excluded;
}

LogGroups LogTarget::includedGroups() const {
    std::lock_guard<platform::CriticalSection> guard(lock_);
    return included_;
}

LogGroups LogTarget::excludedGroups() const {
    std::lock_guard<platform::CriticalSection> guard(lock_);
    return excluded_;
}

void LogTarget::attach() {
    std::lock_guard<platform::CriticalSection> managerGuard(detail::managerLock());
    std::lock_guard<platform::CriticalSection> guard(lock_);
    if (attached_) {
        return;
    }
    attached_ = true;
    detail::appendTarget(&interface_);
}

bool LogTarget::isAttached() const {
    std::lock_guard<platform::CriticalSection> managerGuard(detail::managerLock());
    return attached_;
}

void LogTarget::configure(const LogTargetConfig& config) {
    std::lock_guard<platform::CriticalSection> managerGuard(detail::managerLock());
    std::lock_guard<platform::CriticalSection> guard(lock_);
    detach();
    format_ = config.format;
    attach();
    setLevel(static_cast<LogLevel>(config.level));
    setGroups(config.included, config.excluded);
}

}  // namespace mox
