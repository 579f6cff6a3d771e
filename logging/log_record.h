// File: logging/log_record.h
//
// The vocabulary of the log core: levels, group sets and the `LogRecord` the manager hands to
// each target that accepts it, stamped with the platform's broken-down local time.
//
// Levels are signed 32-bit numbers compared by "at least": a message passes a threshold when
// its level is greater than or equal to it. Groups form a 64-bit set (bit i is group i); the
// boundary and the table of functions pass a set as two 32-bit halves, low and high.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace mox {

using LogLevel = std::int32_t;

inline constexpr LogLevel kLogOkay = 0;
inline constexpr LogLevel kLogWarn = 1;
inline constexpr LogLevel kLogError = 2;
inline constexpr LogLevel kLogAlways = 3;

using LogGroups = std::uint64_t;

// The predefined groups (slots 0-7 of the group-name table).
inline constexpr LogGroups kGroupDbg = 1ull << 0;  // the framework's own messages
inline constexpr LogGroups kGroupGen = 1ull << 1;
inline constexpr LogGroups kGroupXtr = 1ull << 2;  // suppressed by default
inline constexpr LogGroups kGroupPrf = 1ull << 3;
inline constexpr LogGroups kGroupMem = 1ull << 4;
inline constexpr LogGroups kGroupDsk = 1ull << 5;
inline constexpr LogGroups kGroupNet = 1ull << 6;
inline constexpr LogGroups kGroupTst = 1ull << 7;

constexpr LogGroups makeLogGroups(std::uint32_t low, std::uint32_t high) {
    return (static_cast<LogGroups>(high) << 32) | low;
}
constexpr std::uint32_t lowHalf(LogGroups groups) {
    return static_cast<std::uint32_t>(groups);
}
constexpr std::uint32_t highHalf(LogGroups groups) {
    return static_cast<std::uint32_t>(groups >> 32);
}

// What a target receives. `message` is borrowed: it points into the writer's buffer and is
// valid only for the duration of the delivery; a target that keeps it must copy it.
struct LogRecord {
    platform::LocalTime time;  // local time with milliseconds, stamped when written
    LogLevel level = kLogOkay;
    LogGroups groups = 0;
    const char* message = "";
};

}  // namespace mox
