#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include "platform/clock_common.h"

namespace mox::platform {

std::uint64_t monotonicNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

LocalTime localTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const time_t seconds = ts.tv_sec;
    tm parts{};
    localtime_r(&seconds, &parts);
    LocalTime out;
    if (!copyCalendarFields(parts, out)) {
        return out;  // not reached for the current time
    }
    out.millisecond = static_cast<std::int32_t>(ts.tv_nsec / 1000000);
    return out;
}

bool utcTimeFromSeconds(std::int64_t secondsSince1970, UtcTime& out) {
    const time_t seconds = static_cast<time_t>(secondsSince1970);
    if (static_cast<std::int64_t>(seconds) != secondsSince1970) {
        return false;  // does not fit a 32-bit time_t
    }
    tm parts{};
    if (gmtime_r(&seconds, &parts) == nullptr) {
        return false;
    }
    return copyCalendarFields(parts, out);
}

}  // namespace mox::platform
