#include "logging/log_report.h"

#include <atomic>
#include <cstdlib>

#include "logging/log_manager.h"

namespace mox {
namespace {

std::atomic<FatalHandler> gFatalHandler{nullptr};

bool present(const char* text) {
    return text != nullptr && text[0] != '\0';
}

}  // namespace

std::string formatReportText(const char* file, std::int32_t line, const char* function,
                             const char* expression, const char* description) {
    std::string text = "Assertion failed!\n\n";
    if (present(file)) {
        text += "File: ";
        text += file;
        text += "\n";
    }
    if (line != 0) {
        text += "Line: ";
        text += std::to_string(line);
        text += "\n\n";
    }
    if (present(function)) {
        text += "Function: ";
        text += function;
        text += "\n\n";
    }
    if (present(expression)) {
        text += "Expression: ";
        text += expression;
    }
    if (present(description)) {
        text += "\n\nDescription: ";
        text += description;
    }
    return text;
}

void reportAssertion(const char* file, std::int32_t line, const char* function,
                     const char* expression, const char* description) {
    const std::string text = formatReportText(file, line, function, expression, description);
    LogManager::write(kLogError, kGroupDbg, "%s", text.c_str());
}

void reportFatal(const char* file, std::int32_t line, const char* function, const char* expression,
                 const char* description) {
    reportAssertion(file, line, function, expression, description);
    if (FatalHandler handler = gFatalHandler.load()) {
        handler();
    }
    std::abort();
}

FatalHandler setFatalHandler(FatalHandler handler) {
    return gFatalHandler.exchange(handler);
}

}  // namespace mox
