// libFuzzer target: the message templates of request errors (plugin/call_result.h). The first
// byte picks how the rest is read:
//   even  an arbitrary template and values: sections separated by the byte 0xFF, the first
//         the template text, each further one a value (its first byte, modulo 8, the kind:
//         0 empty, 1 bool, 2 signed, 3 unsigned, 4 float from 8 bytes of IEEE bits, 5 string,
//         6 a collection, 7 an enum; the rest its payload, little-endian for numbers);
//   odd   a template assembled from tokens that have a plain meaning (text, "{name}", "{{",
//         "}}", "%%", a "%" that starts no conversion) and text or integer values, whose
//         message is known in advance: the template with every placeholder replaced by its
//         value's text, checked letter for letter.
// Both check that the positional form stays within a small multiple of the template, that no
// more fields are recorded than there are values and each holds one of them, that the message
// is at most 4095 bytes and that a non-zero code is recorded as "errorCode_int".
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/values/value.h"
#include "plugin/call_result.h"

namespace {

using namespace mox;

void check(bool property) {
    if (!property) {
        __builtin_trap();
    }
}

constexpr std::size_t kMaxValues = 12;

std::uint64_t littleEndian(std::string_view bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8 && i < bytes.size(); ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return value;
}

Value valueFrom(std::string_view section) {
    Value value;
    if (section.empty()) {
        return value;
    }
    const std::string_view payload = section.substr(1);
    const std::uint64_t bits = littleEndian(payload);
    switch (static_cast<unsigned char>(section[0]) % 8) {
        case 0:
            break;
        case 1:
            value.setBool((bits & 1) != 0);
            break;
        case 2:
            value.setSigned(static_cast<std::int64_t>(bits));
            break;
        case 3:
            value.setUnsigned(bits);
            break;
        case 4: {
            double d;
            std::memcpy(&d, &bits, sizeof d);
            value.setFloat(d);
            break;
        }
        case 5:
            value.setString(payload);
            break;
        case 6:
            value.makeCollection();
            value.append().setString(payload);
            break;
        default:
            value.setEnum(static_cast<std::int32_t>(bits), nullptr);
            break;
    }
    return value;
}

void checkError(std::uint32_t code, std::string_view messageTemplate,
                const std::vector<Value>& values) {
    std::string positional;
    std::unordered_map<std::string, Value> fields;
    convertMessageTemplate(messageTemplate, values, positional, fields);
    check(positional.size() <= 5 * messageTemplate.size());
    check(fields.size() <= values.size());
    for (const auto& [name, field] : fields) {
        check(!name.empty());
        bool known = false;
        for (const Value& value : values) {
            known = known || sameContent(field, value);
        }
        check(known);
    }

    const CallError error = CallError::fromTemplate(code, messageTemplate, values);
    check(error.code == code);
    check(error.message.size() <= 4095);
    if (code != 0) {
        const auto found = error.fields.find("errorCode_int");
        check(found != error.fields.end() && found->second.kind() == ValueKind::Unsigned &&
              found->second.asUnsigned() == code);
    }
}

// Reads the token form: each token byte, modulo 8, is one of
//   0..2  text: up to 7 following bytes, each mapped onto letters, digits, blanks and
//         punctuation that carry no meaning in a template ("$" included);
//   3     "{name}" with a name of up to 3 letters from the next byte, and a new value (text
//         holding "%1$" or a signed number) while there are fewer than kMaxValues;
//   4     "{{"     5 "}}"     6 "%%"
//   7     a "%" followed by a byte from ",;)!" (it starts no conversion).
void checkTokens(std::string_view input) {
    static constexpr char kText[] = "abcXYZ019$ .:-_=/,;)(!";
    std::string messageTemplate;
    std::string expected;
    std::vector<Value> values;
    std::unordered_map<std::string, std::string> expectedFields;
    std::size_t i = 0;
    while (i < input.size()) {
        const auto token = static_cast<unsigned char>(input[i++]);
        switch (token % 8) {
            case 0:
            case 1:
            case 2: {
                const std::size_t length = token / 8 % 8;
                for (std::size_t n = 0; n < length && i < input.size(); ++n, ++i) {
                    const char c = kText[static_cast<unsigned char>(input[i]) % (sizeof kText - 1)];
                    messageTemplate += c;
                    expected += c;
                }
                break;
            }
            case 3: {
                const auto shape = static_cast<unsigned char>(i < input.size() ? input[i++] : 0);
                std::string name;
                for (unsigned n = 0; n < shape % 4; ++n) {
                    name += static_cast<char>('a' + (shape / 4 + n) % 3);
                }
                messageTemplate += '{' + name + '}';
                if (values.size() < kMaxValues) {
                    Value value;
                    std::string text;
                    if ((shape & 0x80) != 0) {
                        const std::int64_t number = static_cast<std::int8_t>(shape) * 1000 + token;
                        value.setSigned(number);
                        text = std::to_string(number);
                    } else {
                        text.assign(static_cast<std::size_t>(shape % 5),
                                    static_cast<char>('k' + token % 7));
                        text += "%1$";
                        value.setString(text);
                    }
                    values.push_back(value);
                    expected += text;
                    if (!name.empty()) {
                        expectedFields[name] = text;
                    }
                }
                // Past kMaxValues a placeholder has no value: it writes and records nothing.
                break;
            }
            case 4:
                messageTemplate += "{{";
                expected += '{';
                break;
            case 5:
                messageTemplate += "}}";
                expected += '}';
                break;
            case 6:
                messageTemplate += "%%";
                expected += '%';
                break;
            default: {
                static constexpr char kAfter[] = ",;)!";
                const char after = kAfter[token / 8 % 4];
                messageTemplate += '%';
                messageTemplate += after;
                expected += '%';
                expected += after;
                break;
            }
        }
    }
    if (expected.size() > 4095) {
        expected.resize(4095);
    }
    const CallError error = CallError::fromTemplate(0, messageTemplate, values);
    check(error.message == expected);
    check(error.fields.size() == expectedFields.size());
    for (const auto& [name, text] : expectedFields) {
        const auto found = error.fields.find(name);
        check(found != error.fields.end());
        if (found->second.kind() == ValueKind::String) {
            check(found->second.asString() == text);
        } else {
            check(std::to_string(found->second.asSigned()) == text);
        }
    }
    checkError(0, messageTemplate, values);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) != 0) {
        checkTokens(input);
        return 0;
    }
    std::vector<std::string_view> sections;
    std::string_view rest = input;
    while (sections.size() <= kMaxValues) {
        const std::size_t at = rest.find('\xff');
        sections.push_back(rest.substr(0, at));
        if (at == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(at + 1);
    }
    std::vector<Value> values;
    for (std::size_t s = 1; s < sections.size(); ++s) {
        values.push_back(valueFrom(sections[s]));
    }
    const std::uint32_t code = data[0] < 0x80 ? 0 : static_cast<std::uint32_t>(data[0]) * 3;
    checkError(code, sections[0], values);
    return 0;
}
