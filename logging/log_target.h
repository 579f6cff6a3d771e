// File: logging/log_target.h
//
// `LogTarget`: the base of everything the log manager delivers records to. A target carries
// its own level, included and excluded group sets and line format, guarded by its own lock.
// The manager never calls a target's C++ members directly: it keeps the address of the
// target's `LogTargetInterface`, a table of twelve plain functions each taking that address
// first, so that its list holds plain data.
//
// A target accepts a record when the record's level is at least the target's level and, for
// a non-empty group set, the set shares no bit with the excluded groups and either the
// included groups are empty or the set shares a bit with them.
//
// Locking: the manager's lock is always taken before a target's own lock, never after.
// Operations that touch the manager's list (attach, detach, configure) take both in that
// order; the manager delivers records holding its lock, so a target's writeRecord runs with
// the manager's lock held and may itself log (both locks are recursive).
//
// Lifetime: a target is created detached; attach() or configure() puts it in the manager's
// list; detach(), its destructor or the manager's last release takes it out. Concrete targets
// detach in their own destructor, before their part of the object goes away.
#pragma once

#include <cstdint>
#include <string>

#include "logging/log_record.h"
#include "platform/critical_section.h"

namespace mox {

class LogTarget;
struct LogTargetInterface;

// The manager's view of a target, in slot order.
struct LogTargetFunctions {
    std::int32_t (*isValid)(LogTargetInterface* self);
    void (*setLevel)(LogTargetInterface* self, LogLevel level);
    LogLevel (*getLevel)(LogTargetInterface* self);
    // Stores the excluded set, and the included set with every excluded bit removed.
    void (*setGroups)(LogTargetInterface* self, std::uint32_t includedLow,
                      std::uint32_t includedHigh, std::uint32_t excludedLow,
                      std::uint32_t excludedHigh);
    LogGroups (*getIncludedGroups)(LogTargetInterface* self);
    LogGroups (*getExcludedGroups)(LogTargetInterface* self);
    const char* (*getName)(LogTargetInterface* self);
    const char* (*getFormat)(LogTargetInterface* self);
    // When not yet attached: marks the target attached and appends it to the manager's list.
    void (*attach)(LogTargetInterface* self);
    void (*detach)(LogTargetInterface* self);
    std::int32_t (*isAttached)(LogTargetInterface* self);
    bool (*write)(LogTargetInterface* self, const LogRecord* record);
};

struct LogTargetInterface {
    const LogTargetFunctions* functions;
    LogTarget* target;
};

// Whether the target behind `target` accepts a record of `level` in `groups` (rule above).
bool logTargetAccepts(LogTargetInterface* target, LogLevel level, LogGroups groups);

// Everything configure() sets in one step.
struct LogTargetConfig {
    std::uint32_t level = 1;
    LogGroups included = 0;
    LogGroups excluded = 0;
    std::string format = "#D| #L| #G| #M";
};

class LogTarget {
  public:
    LogTarget(const LogTarget&) = delete;
    LogTarget& operator=(const LogTarget&) = delete;
    // Detaches first when attached.
    virtual ~LogTarget();

    // Removes every occurrence of the target from the manager's list; clears the mark.
    virtual void detach();
    // The class's name; "LogTarget" here. Static text.
    virtual const char* name() const;
    // The line format. The text stays valid until the next configure().
    virtual const char* format() const;
    // Writes one record the manager let through; true when handled. Called under the
    // manager's lock.
    virtual bool writeRecord(const LogRecord& record) = 0;
    // Pushes buffered output out; nothing here.
    virtual void flush();

    // The address the manager's list holds for this target.
    LogTargetInterface* managerInterface() { return &interface_; }

    void setLevel(LogLevel level);
    LogLevel level() const;
    void setGroups(LogGroups included, LogGroups excluded);
    LogGroups includedGroups() const;
    LogGroups excludedGroups() const;

    // When not yet attached: marks the target attached and appends it to the manager's list
    // (creating the manager if there is none).
    void attach();
    bool isAttached() const;

    // Detaches, stores the configuration (format included), attaches again at the end of the
    // manager's list, then applies the level and the group sets. Never attaches twice.
    void configure(const LogTargetConfig& config);

  protected:
    LogTarget();
    // The target's own lock, for derived classes guarding their output.
    platform::CriticalSection& targetLock() const { return lock_; }

  private:
    LogTargetInterface interface_;
    mutable platform::CriticalSection lock_;
    bool attached_ = false;  // guarded by the manager's lock
    LogLevel level_ = kLogWarn;
    LogGroups included_ = 0;
    LogGroups excluded_ = 0;
    std::string format_ = "#D| #L| #G| #M";
};

}  // namespace mox
