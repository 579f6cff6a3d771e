// A compact text form of a value for the reader tables, so each row states a whole tree:
//   ~ empty, true/false, i5 signed, u5 unsigned, f1.5 float (%.17g), 'ab' string,
//   b:6162 blob (hex), [x,y] collection, {a:x,b:y} structure (members in their order).
// Bytes below 0x20, 0x7f and above, quotes and backslashes print as \xNN in texts and names.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox::test {

inline void appendEscaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '\'' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
}

inline void appendValueText(std::string& out, const Value& value) {
    char number[40];
    switch (value.kind()) {
        case ValueKind::Empty:
            out += '~';
            return;
        case ValueKind::Bool:
            out += value.asBool() ? "true" : "false";
            return;
        case ValueKind::Signed:
            std::snprintf(number, sizeof number, "i%lld", static_cast<long long>(value.asSigned()));
            out += number;
            return;
        case ValueKind::Unsigned:
            std::snprintf(number, sizeof number, "u%llu",
                          static_cast<unsigned long long>(value.asUnsigned()));
            out += number;
            return;
        case ValueKind::Float:
            std::snprintf(number, sizeof number, "f%.17g", value.asFloat());
            out += number;
            return;
        case ValueKind::String:
            out += '\'';
            appendEscaped(out, value.asString());
            out += '\'';
            return;
        case ValueKind::Blob:
            out += "b:";
            for (const std::uint8_t byte : value.asBlob()) {
                std::snprintf(number, sizeof number, "%02x", byte);
                out += number;
            }
            return;
        case ValueKind::Collection: {
            out += '[';
            bool first = true;
            for (const Value& element : value.elements()) {
                if (!first) {
                    out += ',';
                }
                first = false;
                appendValueText(out, element);
            }
            out += ']';
            return;
        }
        case ValueKind::Structure: {
            out += '{';
            bool first = true;
            for (const ConstValueMember member : value.members()) {
                if (!first) {
                    out += ',';
                }
                first = false;
                appendEscaped(out, member.name);
                out += ':';
                appendValueText(out, member.value);
            }
            out += '}';
            return;
        }
        default:
            out += '?';
            return;
    }
}

inline std::string valueText(const Value& value) {
    std::string out;
    appendValueText(out, value);
    return out;
}

// The value's text on success, "error: <message>" on failure.
inline std::string resultText(const ValueResult& result) {
    if (!result.ok()) {
        return "error: " + std::string(result.error());
    }
    return valueText(result.value());
}

}  // namespace mox::test
