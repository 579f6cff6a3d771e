#include "logging/log_core_functions.h"

#include <string>

#include "logging/log_manager.h"
#include "platform/clock.h"

namespace mox {
namespace {

std::size_t copyInto(const std::string& text, char* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t length = text.size() < size ? text.size() : size - 1;
    text.copy(buffer, length);
    buffer[length] = '\0';
    return length;
}

const LogCoreFunctions kLogCoreFunctions = {
    []() -> std::int32_t { return LogManager::isAvailable() ? 1 : 0; },
    &LogManager::addRef,
    &LogManager::release,
    &LogManager::setLevel,
    &LogManager::getLevel,
    [](std::uint32_t low, std::uint32_t high) {
        LogManager::setSuppressedGroups(makeLogGroups(low, high));
    },
    &LogManager::getSuppressedGroups,
    &LogManager::mute,
    &LogManager::unmute,
    &LogManager::attachTarget,
    &LogManager::detachTarget,
    &LogManager::findTarget,
    &LogManager::stdoutTarget,
    &LogManager::stderrTarget,
    &LogManager::debuggerTarget,
    &groupByName,
    [](std::uint32_t low, std::uint32_t high, char* buffer, std::size_t size) {
        return formatGroupsInto(makeLogGroups(low, high), buffer, size);
    },
    [](const LogRecord* record, const char* format, char* buffer, std::size_t size) {
        return formatLine(*record, format, buffer, size);
    },
    &levelName,
    []() { return executableName().c_str(); },
    [](platform::LocalTime* out) { *out = platform::localTimeNow(); },
    [](const platform::LocalTime* time, char* buffer, std::size_t size) {
        return copyInto(formatTimestamp(*time), buffer, size);
    },
    [](const platform::LocalTime* time, char* buffer, std::size_t size) {
        return copyInto(formatFileTimestamp(*time), buffer, size);
    },
    [](LogLevel level, std::uint32_t low, std::uint32_t high, const char* message) {
        LogManager::writeText(level, makeLogGroups(low, high), message);
    },
};

}  // namespace

const LogCoreFunctions& logCoreFunctions() {
    return kLogCoreFunctions;
}

}  // namespace mox
