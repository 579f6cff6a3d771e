#include "platform/clock.h"

#include <time.h>

#include "platform/clock_common.h"
#include "platform/win32/windows_api.h"

namespace mox::platform {

namespace {
// The counter's frequency is fixed at boot, so it is read once.
std::uint64_t counterFrequency() {
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return value.QuadPart > 0 ? static_cast<std::uint64_t>(value.QuadPart) : 1u;
    }();
    return frequency;
}
}  // namespace

std::uint64_t monotonicNanoseconds() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const std::uint64_t ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const std::uint64_t frequency = counterFrequency();
    // Whole seconds and the remainder apart, so ticks * 1e9 cannot overflow.
    return ticks / frequency * 1000000000ull + ticks % frequency * 1000000000ull / frequency;
}

LocalTime localTimeNow() {
    SYSTEMTIME parts{};
    GetLocalTime(&parts);
    LocalTime out;
    out.year = parts.wYear;
    out.month = parts.wMonth;
    out.day = parts.wDay;
    out.hour = parts.wHour;
    out.minute = parts.wMinute;
    out.second = parts.wSecond;
    out.millisecond = parts.wMilliseconds;
    return out;
}

bool utcTimeFromSeconds(std::int64_t secondsSince1970, UtcTime& out) {
    const __time64_t seconds = secondsSince1970;
    tm parts{};
    if (_gmtime64_s(&parts, &seconds) != 0) {
        return false;  // negative or past the year 3000
    }
    return copyCalendarFields(parts, out);
}

}  // namespace mox::platform
