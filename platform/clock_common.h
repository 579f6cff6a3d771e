// File: platform/clock_common.h (private to platform/)
//
// The OS-independent half of breaking a time down: copying a C calendar record into the
// platform's own records. Both backends fill `std::tm` with their own calls and share this.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/clock.h"

namespace mox::platform {

// Copies year (from 1900-based), month (from 0-based), day, hour, minute and second.
// Works for LocalTime and UtcTime alike. Returns false, leaving `out` untouched, when the year
// does not fit the record's 32 bits: `std::tm` counts years from 1900 in an int, so its last
// 1900 years lie beyond them.
template <class Broken>
[[nodiscard]] bool copyCalendarFields(const std::tm& parts, Broken& out) {
    if (parts.tm_year > INT32_MAX - 1900) {
        return false;
    }
    out.year = parts.tm_year + 1900;
    out.month = parts.tm_mon + 1;
    out.day = parts.tm_mday;
    out.hour = parts.tm_hour;
    out.minute = parts.tm_min;
    out.second = parts.tm_sec;
    return true;
}

}  // namespace mox::platform
