// File: platform/clock.h
//
// Clocks: a monotonic high-resolution counter for measuring intervals (probe round trips,
// the "#H" log token) and the local wall-clock time with milliseconds (log stamps).
// Both are safe to call from any thread.
#pragma once

#include <cstdint>

namespace mox::platform {

// Nanoseconds from an arbitrary fixed origin; never goes backwards. Only differences mean
// anything. Backed by the performance counter on Windows and CLOCK_MONOTONIC elsewhere.
std::uint64_t monotonicNanoseconds();

// The local time broken down as the log records carry it.
struct LocalTime {
    std::int32_t year = 0;
    std::int32_t month = 0;  // 1..12
    std::int32_t day = 0;    // 1..31
    std::int32_t hour = 0;
    std::int32_t minute = 0;
    std::int32_t second = 0;
    std::int32_t millisecond = 0;
};

LocalTime localTimeNow();

// Breaks `secondsSince1970` down in UTC. Returns false, leaving `out` untouched, when the
// time cannot be represented by the platform's calendar functions or its year does not fit
// 32 bits.
struct UtcTime {
    std::int32_t year = 0;
    std::int32_t month = 0;
    std::int32_t day = 0;
    std::int32_t hour = 0;
    std::int32_t minute = 0;
    std::int32_t second = 0;
};
bool utcTimeFromSeconds(std::int64_t secondsSince1970, UtcTime& out);

}  // namespace mox::platform
