#include "tools/nt_host/json_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "binding/values/nesting_limit.h"
#include "binding/values/value.h"

namespace mox::nthost {
namespace {

// The length of the valid UTF-8 sequence starting at `text[i]`, or 0 if it is not one.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t code = 0;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not valid UTF-8.
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                ++i;
                continue;
            case '\\':
                out += "\\\\";
                ++i;
                continue;
            case '\n':
                out += "\\n";
                ++i;
                continue;
            case '\r':
                out += "\\r";
                ++i;
                continue;
            case '\t':
                out += "\\t";
                ++i;
                continue;
            default:
                break;
        }
        if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            ++i;
            continue;
        }
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    out += '"';
}

void JsonWriter::newline() {
    if (!pretty_)
        return;
    out_ += '\n';
    out_.append(hasItem_.size() * 2, ' ');
}

void JsonWriter::beforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (hasItem_.empty())
        return;
    if (hasItem_.back())
        out_ += ',';
    hasItem_.back() = true;
    newline();
}

JsonWriter& JsonWriter::beginObject() {
    beforeValue();
    out_ += '{';
    hasItem_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::closeContainer(char closer) {
    const bool any = !hasItem_.empty() && hasItem_.back();
    if (!hasItem_.empty())
        hasItem_.pop_back();
    if (any)
        newline();
    out_ += closer;
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    return closeContainer('}');
}

JsonWriter& JsonWriter::beginArray() {
    beforeValue();
    out_ += '[';
    hasItem_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    return closeContainer(']');
}

JsonWriter& JsonWriter::key(std::string_view name) {
    beforeValue();
    appendJsonString(out_, name);
    out_ += pretty_ ? ": " : ":";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
    beforeValue();
    appendJsonString(out_, text);
    return *this;
}

JsonWriter& JsonWriter::number(double value) {
    beforeValue();
    if (!std::isfinite(value)) {
        out_ += "null";
        return *this;
    }
    char buffer[40];
    // Up to 17 significant digits reproduce the double exactly; %.17g would print noise such
    // as 5.1200000000000001, so the shortest form that reads back the same is searched.
    for (int precision = 6; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value)
            break;
    }
    out_ += buffer;
    return *this;
}

JsonWriter& JsonWriter::number(std::int64_t value) {
    beforeValue();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::number(std::uint64_t value) {
    beforeValue();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    beforeValue();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    beforeValue();
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::value(const Value& value) {
    writeValue(value, 0);
    return *this;
}

void JsonWriter::writeValue(const Value& value, std::size_t depth) {
    if (depth > kMaxNestingDepth) {
        null();
        return;
    }
    switch (value.kind()) {
        case ValueKind::Empty:
            null();
            return;
        case ValueKind::Bool:
            boolean(value.asBool());
            return;
        case ValueKind::Signed:
            number(value.asSigned());
            return;
        case ValueKind::Unsigned:
            number(value.asUnsigned());
            return;
        case ValueKind::Float:
            number(value.asFloat());
            return;
        case ValueKind::String:
            string(value.asString());
            return;
        case ValueKind::Enum:
            number(static_cast<std::int64_t>(value.asEnum().number));
            return;
        case ValueKind::Blob:
            beginArray();
            for (std::uint8_t byte : value.asBlob())
                number(static_cast<std::int64_t>(byte));
            endArray();
            return;
        case ValueKind::Collection:
            beginArray();
            for (const Value& element : value.elements())
                writeValue(element, depth + 1);
            endArray();
            return;
        case ValueKind::Structure:
            beginObject();
            for (const ConstValueMember& member : value.members()) {
                key(member.name);
                writeValue(member.value, depth + 1);
            }
            endObject();
            return;
    }
    null();
}

}  // namespace mox::nthost
