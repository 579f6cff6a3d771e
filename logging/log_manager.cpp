#include "logging/log_manager.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "logging/console_log_targets.h"
#include "logging/log_manager_internal.h"
#include "platform/clock.h"

namespace mox {
namespace {

using Guard = std::lock_guard<platform::CriticalSection>;

constexpr const char* kConsoleFormat = "#E(#T): #L| #M";

// The manager proper: the target list and the built-in targets.
struct Manager {
    std::vector<LogTargetInterface*> targets;
    StdErrLogTarget stderrTarget;
    StdOutLogTarget stdoutTarget;
    DebuggerConsoleLogTarget debuggerTarget;
};

// What outlives any one manager. The filter settings are atomics so write() can drop a
// message without taking the lock; they are reset whenever a manager is created. Never
// destroyed, so logging during static destruction finds a valid lock.
struct LogCore {
    platform::CriticalSection lock;
    std::atomic<Manager*> manager{nullptr};
    std::atomic<std::int32_t> references{0};
    std::atomic<bool> muted{false};
    std::atomic<LogLevel> level{kLogWarn};
    std::atomic<LogGroups> suppressed{kGroupXtr};
};

LogCore& core() {
    // Never destroyed (lines may be written during static destruction), and kept in the
    // module's own storage rather than on the heap, so unloading the library takes it along.
    alignas(LogCore) static unsigned char storage[sizeof(LogCore)];
    static LogCore* instance = new (storage) LogCore;
    return *instance;
}

void setUpBuiltIn(LogTarget& target, LogGroups included, LogGroups excluded, const char* format,
                  bool attached) {
    LogTargetConfig config;
    config.level = static_cast<std::uint32_t>(kLogWarn);
    config.included = included;
    config.excluded = excluded;
    config.format = format;
    target.configure(config);  // configuring attaches
    if (!attached) {
        target.detach();
    }
}

Manager& ensureManager() {
    LogCore& c = core();
    if (Manager* existing = c.manager.load(std::memory_order_acquire)) {
        return *existing;
    }
    Guard guard(c.lock);
    if (Manager* existing = c.manager.load(std::memory_order_relaxed)) {
        return *existing;
    }
    c.muted.store(false);
    c.level.store(kLogWarn);
    c.suppressed.store(kGroupXtr);
    executableName();  // read once, outside any later hot path
    auto* created = new Manager;
    // Published before the built-ins attach, which append to this manager's list; other
    // threads see it but wait on the lock before touching the list.
    c.manager.store(created, std::memory_order_release);
    setUpBuiltIn(created->stderrTarget, kGroupDbg, kGroupGen, kConsoleFormat, true);
    setUpBuiltIn(created->stdoutTarget, kGroupGen, kGroupDbg, "#M", false);
    setUpBuiltIn(created->debuggerTarget, kGroupDbg, 0, kConsoleFormat, true);
    return *created;
}

// REQUIRES: the lock held and a manager present.
void destroyManager(LogCore& c) {
    Manager* manager = c.manager.load(std::memory_order_relaxed);
    // Last attached first. A copy, because each detach edits the list.
    const std::vector<LogTargetInterface*> attached = manager->targets;
    for (auto it = attached.rbegin(); it != attached.rend(); ++it) {
        (*it)->functions->detach(*it);
    }
    manager->targets.clear();
    c.manager.store(nullptr, std::memory_order_release);
    delete manager;
}

}  // namespace

namespace detail {

platform::CriticalSection& managerLock() {
    return core().lock;
}

void appendTarget(LogTargetInterface* target) {
    ensureManager().targets.push_back(target);
}

void removeTarget(LogTargetInterface* target) {
    Manager* manager = core().manager.load(std::memory_order_relaxed);
    if (manager == nullptr) {
        return;
    }
    std::erase(manager->targets, target);
}

}  // namespace detail

void LogManager::addRef() {
    LogCore& c = core();
    Guard guard(c.lock);
    ensureManager();
    c.references.fetch_add(1);
}

void LogManager::release() {
    LogCore& c = core();
    Guard guard(c.lock);
    if (c.references.load() <= 0) {
        return;  // unbalanced: never let the count go negative
    }
    if (c.references.fetch_sub(1) == 1 && c.manager.load(std::memory_order_relaxed) != nullptr) {
        destroyManager(c);
    }
}

std::int32_t LogManager::references() {
    return core().references.load();
}

void LogManager::setLevel(LogLevel level) {
    ensureManager();
    core().level.store(level);
}

LogLevel LogManager::getLevel() {
    ensureManager();
    return core().level.load();
}

void LogManager::setSuppressedGroups(LogGroups groups) {
    ensureManager();
    core().suppressed.store(groups);
}

LogGroups LogManager::getSuppressedGroups() {
    ensureManager();
    return core().suppressed.load();
}

void LogManager::mute() {
    ensureManager();
    core().muted.store(true);
}

void LogManager::unmute() {
    ensureManager();
    core().muted.store(false);
}

bool LogManager::isMuted() {
    ensureManager();
    return core().muted.load();
}

void LogManager::attachTarget(LogTargetInterface* target) {
    if (target == nullptr) {
        return;
    }
    Guard guard(core().lock);
    ensureManager();
    target->functions->attach(target);
}

void LogManager::detachTarget(LogTargetInterface* target) {
    if (target == nullptr) {
        return;
    }
    Guard guard(core().lock);
    ensureManager();
    target->functions->detach(target);  // also clears the target's attached mark
}

LogTargetInterface* LogManager::findTarget(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    Guard guard(core().lock);
    for (LogTargetInterface* target : ensureManager().targets) {
        if (std::strcmp(target->functions->getName(target), name) == 0) {
            return target;
        }
    }
    return nullptr;
}

std::size_t LogManager::attachedTargetCount() {
    Guard guard(core().lock);
    return ensureManager().targets.size();
}

LogTargetInterface* LogManager::stdoutTarget() {
    return ensureManager().stdoutTarget.managerInterface();
}

LogTargetInterface* LogManager::stderrTarget() {
    return ensureManager().stderrTarget.managerInterface();
}

LogTargetInterface* LogManager::debuggerTarget() {
    return ensureManager().debuggerTarget.managerInterface();
}

bool LogManager::passes(LogLevel level, LogGroups groups) {
    ensureManager();
    const LogCore& c = core();
    return !c.muted.load(std::memory_order_relaxed) &&
           level >= c.level.load(std::memory_order_relaxed) &&
           (groups & c.suppressed.load(std::memory_order_relaxed)) == 0;
}

void LogManager::writeText(LogLevel level, LogGroups groups, const char* message) {
    if (!passes(level, groups)) {
        return;
    }
    deliver(level, groups, message != nullptr ? message : "");
}

void LogManager::deliver(LogLevel level, LogGroups groups, const char* message) {
    LogRecord record;
    record.time = platform::localTimeNow();
    record.level = level;
    record.groups = groups;
    record.message = message;

    LogCore& c = core();
    Guard guard(c.lock);
    Manager* manager = c.manager.load(std::memory_order_relaxed);
    if (manager == nullptr) {
        return;  // released meanwhile
    }
    // By index: a target may detach itself (or log) while writing; the lock is recursive.
    for (std::size_t i = 0; i < manager->targets.size(); ++i) {
        LogTargetInterface* target = manager->targets[i];
        if (logTargetAccepts(target, level, groups)) {
            target->functions->write(target, &record);
        }
        if (c.manager.load(std::memory_order_relaxed) != manager) {
            return;  // a target released the last reference while writing
        }
    }
}

}  // namespace mox
