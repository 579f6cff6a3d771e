// File: logging/log_report.h
//
// Fatal and assertion reports. The report text is "Assertion failed!", a blank line, then the
// parts whose values are present (non-null, non-empty text; non-zero line):
//   "File: <file>\n"
//   "Line: <line>\n\n"
//   "Function: <function>\n\n"
//   "Expression: <expression>"
//   "\n\nDescription: <description>"
// The report is logged through the log core at level 2 ("ERROR") in group "DBG" with the
// format "%s" (so it passes through the usual filters and targets). An assertion report then
// returns; a fatal report ends the process.
//
// Example:
//   mox::reportFatal(nullptr, 0, nullptr, "ALE-EECF0606", message.c_str());  // never returns
#pragma once

#include <cstdint>
#include <string>

namespace mox {

// The report text for the given parts; any text may be null.
std::string formatReportText(const char* file, std::int32_t line, const char* function,
                             const char* expression, const char* description);

// Logs the report and returns.
void reportAssertion(const char* file, std::int32_t line, const char* function,
                     const char* expression, const char* description);

// Logs the report, then calls the fatal handler (std::abort unless replaced). Never returns:
// should a replaced handler return, std::abort is called after it.
[[noreturn]] void reportFatal(const char* file, std::int32_t line, const char* function,
                              const char* expression, const char* description);

// The step that ends the process after a fatal report. Replacing it is for tests that must
// observe a fatal report without dying (a handler that throws or longjmps out of it).
// Null restores std::abort. Returns the previous handler. Any thread.
using FatalHandler = void (*)();
FatalHandler setFatalHandler(FatalHandler handler);

}  // namespace mox
