// File: logging/log_manager.h
//
// The log core: one `LogManager` per loaded library that filters each message by level and
// group, stamps it with the local time and hands it to every attached target that accepts it
// (logging/log_target.h). All members are static; the manager object behind them is created
// on first use (any call below that touches it, a write included) and reference counted: the
// plugin base holds a reference for its lifetime, and the last release detaches every target
// (last attached first) and destroys the built-in targets and the manager. A later use
// creates a fresh manager with the defaults again.
//
// Defaults at creation: not muted; level threshold 1 ("WARN"); suppressed groups "XTR";
// built-in targets
//   standard error    level 1, included "DBG", excluded "GEN", "#E(#T): #L| #M", attached
//   standard output   level 1, included "GEN", excluded "DBG", "#M",             detached
//   debugger output   level 1, included "DBG", excluded none,  "#E(#T): #L| #M", attached
//
// write(): a message is dropped, before any formatting, when the manager is muted, when its
// level is below the threshold, or when its groups share a bit with the suppressed set.
// Otherwise it is formatted with formatMessageInto (text/format_message.h: numbered "%1"
// placeholders and printf conversions) into a 4096-byte buffer, truncating longer text,
// stamped with the local time and, under the manager's lock, handed in list order to every
// attached target that accepts it. Targets therefore receive records one at a time.
//
// Example:
//   mox::LogReference logging;                                   // addRef ... release
//   mox::LogManager::write(mox::kLogError, mox::kGroupDbg, "%s: %d failures", name, count);
//
// Threads: every member may be called from any thread. Releasing the last reference while
// other threads still log is the caller's mistake; it is not a crash (their messages either
// reach the old targets or create a new manager), but messages may be lost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logging/log_format.h"
#include "logging/log_groups.h"
#include "logging/log_record.h"
#include "logging/log_target.h"
#include "text/format_message.h"

namespace mox {

class LogManager {
  public:
    LogManager() = delete;

    // Always true: the log core is part of the library.
    static bool isAvailable() { return true; }

    // The first reference creates the manager (when no write created it already).
    static void addRef();
    // The last reference destroys it as described above. A release without a reference is
    // ignored.
    static void release();
    // The number of references held (for diagnostics and tests).
    static std::int32_t references();

    static void setLevel(LogLevel level);
    static LogLevel getLevel();
    static void setSuppressedGroups(LogGroups groups);
    static LogGroups getSuppressedGroups();
    static void mute();
    static void unmute();
    static bool isMuted();

    // Attaches through the target's own attach, so a target is never listed twice.
    static void attachTarget(LogTargetInterface* target);
    // Removes every occurrence of the target, keeping the order of the rest.
    static void detachTarget(LogTargetInterface* target);
    // The first attached target whose name equals `name`, or null.
    static LogTargetInterface* findTarget(const char* name);
    // The number of entries in the list (for diagnostics and tests).
    static std::size_t attachedTargetCount();

    // The built-in targets, valid until the manager is destroyed.
    static LogTargetInterface* stdoutTarget();
    static LogTargetInterface* stderrTarget();
    static LogTargetInterface* debuggerTarget();

    // Whether a message of `level` in `groups` passes the mute flag, the threshold and the
    // suppressed groups. Cheap: no lock, no formatting.
    static bool passes(LogLevel level, LogGroups groups);

    // Logs `format` with `args` (see the file comment).
    template <class... Args>
    static void write(LogLevel level, LogGroups groups, const char* format, const Args&... args) {
        if (!passes(level, groups)) {
            return;
        }
        char message[kLogLineSize];
        formatMessageInto(message, sizeof message, format, args...);
        deliver(level, groups, message);
    }

    // Logs `message` as it is (no formatting), with the same filtering as write().
    static void writeText(LogLevel level, LogGroups groups, const char* message);

  private:
    // Stamps and hands an already formatted message to the accepting targets.
    static void deliver(LogLevel level, LogGroups groups, const char* message);
};

// Holds one reference on the log core for its lifetime.
class LogReference {
  public:
    LogReference() { LogManager::addRef(); }
    ~LogReference() { LogManager::release(); }
    LogReference(const LogReference&) = delete;
    LogReference& operator=(const LogReference&) = delete;
};

}  // namespace mox
