#include "logging/log_format.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "logging/log_groups.h"
#include "logging/log_report.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace mox {
namespace {

// Appends into a fixed buffer, keeping `reserve` characters free at the end (for the "\n"
// that formatLine may append) besides the NUL.
class LineWriter {
  public:
    LineWriter(char* buffer, std::size_t limit) : buffer_(buffer), limit_(limit) {}

    void put(char c) {
        if (length_ < limit_) {
            buffer_[length_++] = c;
        }
    }
    void put(const char* text) {
        for (; text != nullptr && *text != '\0' && length_ < limit_; ++text) {
            buffer_[length_++] = *text;
        }
    }
    template <class... Args>
    void print(const char* format, Args... args) {
        char scratch[64];
        const int written = std::snprintf(scratch, sizeof scratch, format, args...);
        if (written > 0) {
            put(scratch);
        }
    }
    std::size_t length() const { return length_; }

  private:
    char* buffer_;
    std::size_t limit_;
    std::size_t length_ = 0;
};

constexpr const char* kTimestampFormat = "%04d-%02d-%02dT%02d:%02d:%02d.%03d";

// The origin of "#H": set by the first rendering of the token, 0 until then.
std::atomic<std::uint64_t> gElapsedOrigin{0};

std::uint64_t elapsedNanoseconds() {
    const std::uint64_t now = platform::monotonicNanoseconds();
    std::uint64_t origin = 0;
    // A zero origin means unset; a clock reading of exactly 0 would merely restart the count.
    if (gElapsedOrigin.compare_exchange_strong(origin, now)) {
        return 0;
    }
    return now >= origin ? now - origin : 0;
}

}  // namespace

std::size_t formatLine(const LogRecord& record, const char* format, char* buffer,
                       std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (size == 1) {
        buffer[0] = '\0';
        return 0;
    }
    LineWriter out(buffer, size - 2);  // room for the final "\n" and the NUL
    for (const char* p = format; p != nullptr && *p != '\0'; ++p) {
        if (*p != '#') {
            out.put(*p);
            continue;
        }
        ++p;
        if (*p == '\0') {
            break;
        }
        const platform::LocalTime& t = record.time;
        switch (*p) {
            case 'D':
                out.print(kTimestampFormat, t.year, t.month, t.day, t.hour, t.minute, t.second,
                          t.millisecond);
                break;
            case 'E':
                out.put(executableName().c_str());
                break;
            case 'G': {
                char groups[kLogGroupSlots * 4 + 1];
                formatGroupsInto(record.groups, groups, sizeof groups);
                out.put(groups);
                break;
            }
            case 'H': {
                const std::uint64_t elapsed = elapsedNanoseconds() / 1000000;  // milliseconds
                out.print("%06d.%03d", static_cast<int>(elapsed / 1000),
                          static_cast<int>(elapsed % 1000));
                break;
            }
            case 'L':
                out.put(levelName(record.level));
                break;
            case 'M':
                out.put(record.message);
                break;
            case 'T':
                out.print("%p", reinterpret_cast<void*>(
                                    static_cast<std::uintptr_t>(platform::currentThreadId())));
                break;
            default:
                out.put(*p);
                break;
        }
    }
    std::size_t length = out.length();
    if (length == 0 || buffer[length - 1] != '\n') {
        buffer[length++] = '\n';
    }
    buffer[length] = '\0';
    return length;
}

const std::string& executableName() {
    // Never destroyed, so lines rendered during static destruction still have a name; kept in
    // the module's own storage, so unloading the library takes it along (a name too long for
    // the string's inline buffer still leaves that buffer behind).
    alignas(std::string) static unsigned char storage[sizeof(std::string)];
    static const std::string* name = [] {
        std::string file = platform::executableFileName();
        return new (storage) std::string(file.empty() ? "<unknown>" : file);
    }();
    return *name;
}

std::string formatTimestamp(const platform::LocalTime& t) {
    char text[96];
    const int written = std::snprintf(text, sizeof text, kTimestampFormat, t.year, t.month, t.day,
                                      t.hour, t.minute, t.second, t.millisecond);
    return written > 0 ? std::string(text) : std::string();
}

std::string formatFileTimestamp(const platform::LocalTime& t) {
    char text[96];
    const int written = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d-%02d-%02d", t.year,
                                      t.month, t.day, t.hour, t.minute, t.second);
    return written > 0 ? std::string(text) : std::string();
}

std::string formatUtcTime(std::int64_t secondsSince1970) {
    platform::UtcTime utc;
    if (!platform::utcTimeFromSeconds(secondsSince1970, utc)) {
        reportAssertion(nullptr, 0, nullptr, "ALE-8A14EBBK", nullptr);
        return std::string();
    }
    // The platform's strftime would be cut at 32 characters; so is this text.
    char text[96];
    const int written = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.year,
                                      utc.month, utc.day, utc.hour, utc.minute, utc.second);
    if (written <= 0 || written >= 32) {
        return std::string();
    }
    return std::string(text);
}

}  // namespace mox
