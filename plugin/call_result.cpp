#include "plugin/call_result.h"

#include <cstring>
#include <vector>

#include "text/format_message.h"

namespace mox {

namespace {

bool hasTypedSuffix(std::string_view name) {
    static constexpr std::string_view kSuffixes[] = {"_bool", "_int",  "_long", "_float",
                                                     "_str",  "_time", "_ip"};
    for (std::string_view suffix : kSuffixes) {
        if (name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix) {
            return true;
        }
    }
    return false;
}

const char* kindSuffix(const Value& value) {
    switch (value.kind()) {
        case ValueKind::Bool:
            return "_bool";
        case ValueKind::Float:
            return "_float";
        case ValueKind::String:
            return "_str";
        case ValueKind::Signed:
        case ValueKind::Unsigned:
            return "_int";
        default:
            return "";
    }
}

bool isFalsy(const Value& value) {
    switch (value.kind()) {
        case ValueKind::Bool:
            return !value.asBool();
        case ValueKind::Signed:
            return value.asSigned() == 0;
        case ValueKind::Unsigned:
            return value.asUnsigned() == 0;
        case ValueKind::Float:
            return value.asFloat() == 0.0;
        case ValueKind::String:
            return value.asString().empty();
        default:
            return false;
    }
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// The length of the printf conversion at `text` (which starts after a "%"), or 0 when no
// conversion letter ends it.
std::size_t conversionLength(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::strchr("-+ #0", text[i]) != nullptr && text[i] != '\0') {
        ++i;
    }
    if (i < text.size() && text[i] == '*') {
        ++i;
    } else {
        while (i < text.size() && isAsciiDigit(text[i])) {
            ++i;
        }
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (i < text.size() && text[i] == '*') {
            ++i;
        } else {
            while (i < text.size() && isAsciiDigit(text[i])) {
                ++i;
            }
        }
    }
    while (i < text.size() && std::strchr("hlLjtz", text[i]) != nullptr && text[i] != '\0') {
        ++i;
    }
    if (i < text.size() && isAsciiLetter(text[i])) {
        return i + 1;
    }
    return 0;
}

std::string escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%') {
            out += '%';
        }
    }
    return out;
}

}  // namespace

void convertMessageTemplate(std::string_view text, std::span<const Value> values,
                            std::string& positional,
                            std::unordered_map<std::string, Value>& fields) {
    positional.clear();
    // Where the last numbered placeholder "%k" ends. The formatter reads digits and a "$"
    // right after one as part of it ("%1" then "5" would be "%15"), so a piece that starts
    // with either is preceded by "$s", which makes "%k$s": the same value printed the same
    // way (every type replaces the letter "s" by its own default).
    std::size_t numberedEnd = std::string::npos;
    auto write = [&](std::string_view piece) {
        if (!piece.empty() && positional.size() == numberedEnd &&
            (isAsciiDigit(piece[0]) || piece[0] == '$')) {
            positional += "$s";
        }
        positional.append(piece);
    };
    std::size_t k = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '{' && i + 1 < text.size() && text[i + 1] == '{') {
            write("{");
            i += 2;
            continue;
        }
        if (c == '}' && i + 1 < text.size() && text[i + 1] == '}') {
            write("}");
            i += 2;
            continue;
        }
        if (c == '%') {
            if (i + 1 < text.size() && text[i + 1] == '%') {
                write("%%");
                i += 2;
                continue;
            }
            const std::size_t length = conversionLength(text.substr(i + 1));
            if (length != 0) {
                // Appended, not 'literal + temporary', which GCC 12's -Wrestrict misreads at -O2.
                std::string numbered = "%";
                numbered += std::to_string(k);
                numbered += '$';
                write(numbered);
                positional.append(text.substr(i + 1, length));
                ++k;
                i += 1 + length;
                continue;
            }
            // A "%" that starts no conversion is text: the formatter would otherwise read
            // what follows as a conversion and print a value there or stop.
            write("%%");
            ++i;
            continue;
        }
        if (c != '{') {
            write(std::string_view(&text[i], 1));
            ++i;
            continue;
        }

        // A placeholder.
        std::string name;
        std::string alternative;
        std::string formatPart;
        std::string* part = &name;
        bool typed = false;
        bool recordOnly = false;
        bool hasAlternative = false;
        bool closed = false;
        ++i;
        if (i < text.size() && text[i] == '#') {
            typed = true;
            ++i;
        }
        while (i < text.size()) {
            const char p = text[i++];
            if (p == '}') {
                closed = true;
                break;
            }
            if (p == '\\') {
                if (i < text.size()) {
                    *part += text[i++];
                }
            } else if (p == '{') {
                // ignored
            } else if (p == '!') {
                recordOnly = true;
            } else if (p == '?') {
                hasAlternative = true;
                part = &alternative;
            } else if (p == ':') {
                part = &formatPart;
            } else {
                *part += p;
            }
        }
        if (!closed) {
            return;
        }
        const std::size_t number = k++;
        if (number > values.size()) {
            continue;
        }
        const Value& value = values[number - 1];
        if (typed && !hasTypedSuffix(name)) {
            name += kindSuffix(value);
        }
        if (hasAlternative && isFalsy(value)) {
            write(escaped(alternative));
            continue;
        }
        if (!name.empty()) {
            fields[name] = value;
        }
        if (recordOnly) {
            while (!positional.empty() && isSpace(positional.back())) {
                positional.pop_back();
            }
            continue;
        }
        std::string numbered = "%";
        numbered += std::to_string(number);
        write(numbered);
        numberedEnd = positional.size();
    }
}

std::string formatWithValues(const std::string& positional, std::span<const Value> values) {
    // One stored argument per value, in a form the formatter takes.
    struct Argument {
        const char* text = "";
        std::int64_t signedValue = 0;
        std::uint64_t unsignedValue = 0;
        double floatValue = 0.0;
    };
    std::vector<Argument> arguments(values.size());
    std::vector<const ArgumentFormatter*> formatters(values.size());
    std::vector<const void*> pointers(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Value& value = values[i];
        Argument& argument = arguments[i];
        switch (value.kind()) {
            case ValueKind::Bool:
                argument.signedValue = value.asBool() ? 1 : 0;
                formatters[i] = argumentFormatterFor<std::int64_t>();
                pointers[i] = &argument.signedValue;
                break;
            case ValueKind::Signed:
                argument.signedValue = value.asSigned();
                formatters[i] = argumentFormatterFor<std::int64_t>();
                pointers[i] = &argument.signedValue;
                break;
            case ValueKind::Enum:
                argument.signedValue = value.asEnum().number;
                formatters[i] = argumentFormatterFor<std::int64_t>();
                pointers[i] = &argument.signedValue;
                break;
            case ValueKind::Unsigned:
                argument.unsignedValue = value.asUnsigned();
                formatters[i] = argumentFormatterFor<std::uint64_t>();
                pointers[i] = &argument.unsignedValue;
                break;
            case ValueKind::Float:
                argument.floatValue = value.asFloat();
                formatters[i] = argumentFormatterFor<double>();
                pointers[i] = &argument.floatValue;
                break;
            case ValueKind::String:
                argument.text = value.asCString();
                formatters[i] = argumentFormatterFor<const char*>();
                pointers[i] = &argument.text;
                break;
            default:
                formatters[i] = argumentFormatterFor<const char*>();
                pointers[i] = &argument.text;
                break;
        }
    }
    char buffer[kFormatBufferSize];
    const std::size_t length = formatMessageTo(buffer, sizeof buffer, positional.c_str(),
                                               formatters.data(), pointers.data(), values.size());
    return std::string(buffer, length);
}

CallError CallError::fromTemplate(std::uint32_t code, std::string_view messageTemplate,
                                  std::span<const Value> values) {
    CallError error;
    std::string positional;
    convertMessageTemplate(messageTemplate, values, positional, error.fields);
    error.message = formatWithValues(positional, values);
    error.setCode(code);
    return error;
}

CallError makeServerError(std::string_view message) {
    return CallError::withCode(
        500, message.empty() ? std::string("Internal server error") : std::string(message));
}

}  // namespace mox
