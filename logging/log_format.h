// File: logging/log_format.h
//
// Rendering of log lines and of the timestamp texts the log core offers.
//
// Line format grammar: the format is copied character by character; "#" followed by a
// character is a token:
//   #D  the record's local time, "%04d-%02d-%02dT%02d:%02d:%02d.%03d"
//   #E  the executable name (see executableName())
//   #G  formatGroups() of the record's group set, e.g. "DBG;NET"
//   #H  seconds since the first rendering of any "#H" in this process, "%06d.%03d"
//   #L  the level name, six characters wide ("  WARN")
//   #M  the message text
//   #T  the calling thread's identifier, printed with "%p"
//   #x  for any other character x: x alone, so "##M" renders "#M"
// A lone "#" at the end of the format renders nothing. Rendering never fails: text that does
// not fit is cut so that a final "\n" still fits, and "\n" is appended when the rendered text
// does not already end with one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "logging/log_record.h"

namespace mox {

// The buffer size of rendered lines and of formatted messages.
inline constexpr std::size_t kLogLineSize = 4096;

// Renders `record` with `format` into `buffer` (NUL-terminated) and returns the characters
// written. With `size` >= 2 the result always ends with "\n"; `size` 1 gives "" and `size` 0
// writes nothing. A null format renders as the empty format.
std::size_t formatLine(const LogRecord& record, const char* format, char* buffer, std::size_t size);

// The executable's file name without its folder, or "<unknown>" when the platform cannot
// tell. Read once per process.
const std::string& executableName();

// "%04d-%02d-%02dT%02d:%02d:%02d.%03d" over all seven values.
std::string formatTimestamp(const platform::LocalTime& time);

// "%04d-%02d-%02dT%02d-%02d-%02d" over the first six values, usable in file names.
std::string formatFileTimestamp(const platform::LocalTime& time);

// `secondsSince1970` in UTC as "%Y-%m-%dT%H:%M:%SZ". When the time cannot be broken down, an
// assertion report with the expression "ALE-8A14EBBK" is logged and the text is empty.
std::string formatUtcTime(std::int64_t secondsSince1970);

}  // namespace mox
