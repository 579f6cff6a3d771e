// File: logging/log_core_functions.h
//
// The log core's operations as one table of plain functions, for code that reaches the log
// core through a pointer rather than through LogManager's static members. Each entry does
// what the LogManager member or free function of the same name does; group sets travel as
// low and high halves. `write` takes a finished message text: printf-style formatting stays
// with the caller (LogManager::write), because typed arguments cannot pass through a plain
// function pointer.
//
// Example:
//   const mox::LogCoreFunctions& log = mox::logCoreFunctions();
//   log.write(mox::kLogWarn, 1, 0, "disk almost full");
#pragma once

#include <cstddef>
#include <cstdint>

#include "logging/log_record.h"

namespace mox {

struct LogTargetInterface;

struct LogCoreFunctions {
    std::int32_t (*isAvailable)();
    void (*addRef)();
    void (*release)();
    void (*setLevel)(LogLevel level);
    LogLevel (*getLevel)();
    void (*setSuppressedGroups)(std::uint32_t low, std::uint32_t high);
    LogGroups (*getSuppressedGroups)();
    void (*mute)();
    void (*unmute)();
    void (*attachTarget)(LogTargetInterface* target);
    void (*detachTarget)(LogTargetInterface* target);
    LogTargetInterface* (*findTarget)(const char* name);
    LogTargetInterface* (*stdoutTarget)();
    LogTargetInterface* (*stderrTarget)();
    LogTargetInterface* (*debuggerTarget)();
    LogGroups (*groupByName)(const char* name);
    // Writes into `buffer` (NUL-terminated, cut to fit); returns the characters written.
    std::size_t (*formatGroups)(std::uint32_t low, std::uint32_t high, char* buffer,
                                std::size_t size);
    std::size_t (*formatLine)(const LogRecord* record, const char* format, char* buffer,
                              std::size_t size);
    const char* (*levelName)(LogLevel level);
    const char* (*executableName)();
    void (*now)(platform::LocalTime* out);
    std::size_t (*formatTimestamp)(const platform::LocalTime* time, char* buffer, std::size_t size);
    std::size_t (*formatFileTimestamp)(const platform::LocalTime* time, char* buffer,
                                       std::size_t size);
    void (*write)(LogLevel level, std::uint32_t groupsLow, std::uint32_t groupsHigh,
                  const char* message);
};

// The table; static, valid for the life of the process.
const LogCoreFunctions& logCoreFunctions();

}  // namespace mox
