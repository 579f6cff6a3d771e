#include "binding/converters.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "binding/type_descriptor.h"
#include "binding/type_registry.h"
#include "text/format_message.h"

namespace mox {

// --- Converter base -------------------------------------------------------------------------

void Converter::toValue(ValueResult& result, const void* native, const TypeDescriptor* descriptor,
                        const TypeRegistry* registry) const {
    result = ValueResult();
    // On failure `result` already holds the message.
    (void)writeValue(result.value(), native, descriptor, registry, result);
}

bool Converter::isEmptyNative(const void* native, const TypeDescriptor* descriptor) const {
    ValueResult built;
    toValue(built, native, descriptor, nullptr);
    return built.ok() && conversion::isOmittable(built.value());
}

namespace conversion {

namespace {

// Message texts, letter for letter.
constexpr const char* kRequired = "A value for '%1' is required.";
constexpr const char* kIncorrectFormat = "Value %1 for '%2' of type %3 is in an incorrect format";
constexpr const char* kOutOfRange = "Value %1 for '%2' of type %3 is out of range";
constexpr const char* kInvalidType =
    "Couldn't assign value to '%1' of type %2 because the input is of an invalid type %3.";
constexpr const char* kBoolFormat =
    "Value %1 for '%2' of type bool is in an incorrect format. Options are \"true\", "
    "\"false\", \"1\", \"0\".";
constexpr const char* kBoolInvalidType =
    "Couldn't assign value to '%1' of type bool because the input is of an invalid type %2.";
constexpr const char* kNotEnumerationValue = "%1 is not a valid enumeration value for '%2'.";
constexpr const char* kNotString =
    "Couldn't assign value to '%1' because the input is not a string.";
constexpr const char* kNotEnumValueOf = "%1 is not a valid %2 enumeration value for '%3'.";
constexpr const char* kEnumInvalidType =
    "Couldn't assign value to '%1' of enum type because the input is of an invalid type %2.";
constexpr const char* kStructUnregistered =
    "Couldn't assign value to '%1' because the input is an unregistered structure or not a "
    "structure at all.";
constexpr const char* kStructNotStructure =
    "Couldn't assign value to '%1' of type %2 because the input not a structure.";
constexpr const char* kStructMissingField =
    "Couldn't assign value to '%1' of type %2 because the input structure doesn't have "
    "required field '%3'.";
constexpr const char* kVectorNotCollection =
    "Couldn't assign value to '%1' of type vector because the input not a collection.";
constexpr const char* kMapNotStructure =
    "Couldn't assign value to '%1' of type map because the input not a structure.";
constexpr const char* kToValueUnregistered =
    "Couldn't convert native value because it's an unregistered structure.";
constexpr const char* kBlobInvalidType =
    "Couldn't assign value to '%1' of type blob because the input is of an invalid type %2.";

// The smallest doubles that no 64-bit integer reaches: a float at or above them must not be
// cast (the cast would be undefined), although (double)INT64_MAX compares equal to 2^63.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

enum class TextNumber { Ok, Format, Range };

bool isCSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Texts of string values are NUL-terminated (interned strings), so the C parsers may read
// them; the end must still be compared with the length, because a text may hold a NUL byte.
TextNumber parseSignedText(std::string_view text, std::int64_t& out) noexcept {
    const char* begin = text.data();
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(begin, &end, 0);
    if (end != begin + text.size()) {
        return TextNumber::Format;
    }
    if (errno == ERANGE) {
        return TextNumber::Range;
    }
    out = number;
    return TextNumber::Ok;
}

TextNumber parseUnsignedText(std::string_view text, std::uint64_t& out) noexcept {
    // strtoull accepts a minus sign and negates modulo 2^64; a negative text is never a valid
    // unsigned number, also after leading white space.
    std::size_t first = 0;
    while (first < text.size() && isCSpace(text[first])) {
        ++first;
    }
    if (first < text.size() && text[first] == '-') {
        return TextNumber::Range;
    }
    const char* begin = text.data();
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(begin, &end, 0);
    if (end != begin + text.size()) {
        return TextNumber::Format;
    }
    if (errno == ERANGE) {
        return TextNumber::Range;
    }
    out = number;
    return TextNumber::Ok;
}

TextNumber parseFloatingText(std::string_view text, double& out) noexcept {
    const char* begin = text.data();
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(begin, &end);
    if (end != begin + text.size()) {
        return TextNumber::Format;
    }
    // ERANGE with a huge result is an overflow; with a tiny one an underflow, which keeps the
    // nearest representable value.
    if (errno == ERANGE && std::isinf(number)) {
        return TextNumber::Range;
    }
    out = number;
    return TextNumber::Ok;
}

}  // namespace

bool isOmittable(const Value& value) noexcept {
    switch (value.kind()) {
        case ValueKind::Empty:
            return true;
        case ValueKind::Bool:
            return !value.asBool();
        case ValueKind::Signed:
            return value.asSigned() == 0;
        case ValueKind::Unsigned:
            return value.asUnsigned() == 0;
        case ValueKind::Float:
            return value.asFloat() == 0.0;
        case ValueKind::Enum:
            return value.asEnum().number == 0;
        case ValueKind::String:
        case ValueKind::Blob:
        case ValueKind::Collection:
        case ValueKind::Structure:
            return value.size() == 0;
    }
    return false;
}

bool readSigned(ValueResult& result, const Value& value, std::string_view name, std::int64_t min,
                std::int64_t max, const char* typeName, std::int64_t& out) {
    switch (value.kind()) {
        case ValueKind::Empty:
            result.fail(formatMessage(kRequired, name));
            return false;
        case ValueKind::Signed: {
            const std::int64_t number = value.asSigned();
            if (number < min || number > max) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = number;
            return true;
        }
        case ValueKind::Unsigned: {
            const std::uint64_t number = value.asUnsigned();
            if (number > static_cast<std::uint64_t>(max)) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = static_cast<std::int64_t>(number);
            return true;
        }
        case ValueKind::Float: {
            const double number = value.asFloat();
            // NaN fails every comparison, so the test is written to reject it.
            if (!(number >= static_cast<double>(min) && number <= static_cast<double>(max)) ||
                number >= kTwoPow63) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = static_cast<std::int64_t>(number);
            return true;
        }
        case ValueKind::String: {
            const std::string_view text = value.asString();
            std::int64_t number = 0;
            const TextNumber parsed = parseSignedText(text, number);
            if (parsed == TextNumber::Format) {
                result.fail(formatMessage(kIncorrectFormat, text, name, typeName));
                return false;
            }
            if (parsed == TextNumber::Range || number < min || number > max) {
                result.fail(formatMessage(kOutOfRange, text, name, typeName));
                return false;
            }
            out = number;
            return true;
        }
        case ValueKind::Enum: {
            const std::int32_t number = value.asEnum().number;
            if (number < min || number > max) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = number;
            return true;
        }
        default:
            result.fail(formatMessage(kInvalidType, name, typeName, value.kindName()));
            return false;
    }
}

bool readUnsigned(ValueResult& result, const Value& value, std::string_view name, std::uint64_t max,
                  const char* typeName, std::uint64_t& out) {
    switch (value.kind()) {
        case ValueKind::Empty:
            result.fail(formatMessage(kRequired, name));
            return false;
        case ValueKind::Signed: {
            const std::int64_t number = value.asSigned();
            if (number < 0 || static_cast<std::uint64_t>(number) > max) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = static_cast<std::uint64_t>(number);
            return true;
        }
        case ValueKind::Unsigned: {
            const std::uint64_t number = value.asUnsigned();
            if (number > max) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = number;
            return true;
        }
        case ValueKind::Float: {
            const double number = value.asFloat();
            if (!(number >= 0.0 && number <= static_cast<double>(max)) || number >= kTwoPow64) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = static_cast<std::uint64_t>(number);
            return true;
        }
        case ValueKind::String: {
            const std::string_view text = value.asString();
            std::uint64_t number = 0;
            const TextNumber parsed = parseUnsignedText(text, number);
            if (parsed == TextNumber::Format) {
                result.fail(formatMessage(kIncorrectFormat, text, name, typeName));
                return false;
            }
            if (parsed == TextNumber::Range || number > max) {
                result.fail(formatMessage(kOutOfRange, text, name, typeName));
                return false;
            }
            out = number;
            return true;
        }
        case ValueKind::Enum: {
            const std::int32_t number = value.asEnum().number;
            if (number < 0 || static_cast<std::uint64_t>(number) > max) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = static_cast<std::uint64_t>(number);
            return true;
        }
        default:
            result.fail(formatMessage(kInvalidType, name, typeName, value.kindName()));
            return false;
    }
}

bool readFloating(ValueResult& result, const Value& value, std::string_view name, double max,
                  const char* typeName, double& out) {
    // NaN is outside every range: the comparisons are written so that it fails them.
    const auto inRange = [max](double number) { return number >= -max && number <= max; };
    switch (value.kind()) {
        case ValueKind::Empty:
            result.fail(formatMessage(kRequired, name));
            return false;
        case ValueKind::Signed: {
            const std::int64_t number = value.asSigned();
            if (!inRange(static_cast<double>(number))) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = static_cast<double>(number);
            return true;
        }
        case ValueKind::Unsigned: {
            const std::uint64_t number = value.asUnsigned();
            if (!inRange(static_cast<double>(number))) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = static_cast<double>(number);
            return true;
        }
        case ValueKind::Float: {
            const double number = value.asFloat();
            if (!inRange(number)) {
                result.fail(formatMessage(kOutOfRange, number, name, typeName));
                return false;
            }
            out = number;
            return true;
        }
        case ValueKind::String: {
            const std::string_view text = value.asString();
            double number = 0.0;
            const TextNumber parsed = parseFloatingText(text, number);
            if (parsed == TextNumber::Format) {
                result.fail(formatMessage(kIncorrectFormat, text, name, typeName));
                return false;
            }
            if (parsed == TextNumber::Range || !inRange(number)) {
                result.fail(formatMessage(kOutOfRange, text, name, typeName));
                return false;
            }
            out = number;
            return true;
        }
        case ValueKind::Enum: {
            const std::int32_t number = value.asEnum().number;
            out = static_cast<double>(number);
            return true;
        }
        default:
            result.fail(formatMessage(kInvalidType, name, typeName, value.kindName()));
            return false;
    }
}

void failVectorNotCollection(ValueResult& result, std::string_view name) {
    result.fail(formatMessage(kVectorNotCollection, name));
}

void failMapNotStructure(ValueResult& result, std::string_view name) {
    result.fail(formatMessage(kMapNotStructure, name));
}

}  // namespace conversion

using namespace conversion;

// --- bool -----------------------------------------------------------------------------------

void BoolConverter::toNative(ValueResult& result, void* native, const Value& value,
                             std::string_view name, const TypeDescriptor*, const TypeRegistry*,
                             std::uint32_t) const {
    if (!result.ok()) {
        return;
    }
    bool& target = *static_cast<bool*>(native);
    switch (value.kind()) {
        case ValueKind::Empty:
            result.fail(formatMessage(kRequired, name));
            return;
        case ValueKind::Bool:
            target = value.asBool();
            return;
        case ValueKind::String: {
            const std::string_view text = value.asString();
            if (text == "true" || text == "1") {
                target = true;
            } else if (text == "false" || text == "0") {
                target = false;
            } else {
                result.fail(formatMessage(kBoolFormat, text, name));
            }
            return;
        }
        default:
            result.fail(formatMessage(kBoolInvalidType, name, value.kindName()));
            return;
    }
}

bool BoolConverter::writeValue(Value& out, const void* native, const TypeDescriptor*,
                               const TypeRegistry*, ValueResult&) const {
    out.setBool(*static_cast<const bool*>(native));
    return true;
}

bool BoolConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return !*static_cast<const bool*>(native);
}

// --- string ---------------------------------------------------------------------------------

void StringConverter::toNative(ValueResult& result, void* native, const Value& value,
                               std::string_view name, const TypeDescriptor*,
                               const TypeRegistry* registry, std::uint32_t) const {
    if (!result.ok()) {
        return;
    }
    std::string& target = *static_cast<std::string*>(native);
    switch (value.kind()) {
        case ValueKind::Empty:
            result.fail(formatMessage(kRequired, name));
            return;
        case ValueKind::String:
            target.assign(value.asString());
            return;
        case ValueKind::Enum: {
            const EnumValue enumValue = value.asEnum();
            const char* enumeratorName = nullptr;
            if (registry != nullptr && enumValue.typeId != nullptr) {
                enumeratorName = registry->enumeratorName(enumValue.typeId->id, enumValue.number);
            }
            if (enumeratorName == nullptr) {
                result.fail(formatMessage(kNotEnumerationValue, enumValue.number, name));
                return;
            }
            target.assign(enumeratorName);
            return;
        }
        default:
            result.fail(formatMessage(kNotString, name));
            return;
    }
}

bool StringConverter::writeValue(Value& out, const void* native, const TypeDescriptor*,
                                 const TypeRegistry*, ValueResult&) const {
    out.setString(std::string_view(*static_cast<const std::string*>(native)));
    return true;
}

bool StringConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return static_cast<const std::string*>(native)->empty();
}

// --- object ---------------------------------------------------------------------------------

void ObjectConverter::toNative(ValueResult& result, void* native, const Value& value,
                               std::string_view, const TypeDescriptor*, const TypeRegistry*,
                               std::uint32_t) const {
    if (!result.ok()) {
        return;
    }
    Value& target = *static_cast<Value*>(native);
    target.reset();
    target.assign(value);
}

bool ObjectConverter::writeValue(Value& out, const void* native, const TypeDescriptor*,
                                 const TypeRegistry*, ValueResult&) const {
    out.assign(*static_cast<const Value*>(native));
    return true;
}

bool ObjectConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return isOmittable(*static_cast<const Value*>(native));
}

// --- blob -----------------------------------------------------------------------------------

void BlobConverter::toNative(ValueResult& result, void* native, const Value& value,
                             std::string_view name, const TypeDescriptor*, const TypeRegistry*,
                             std::uint32_t) const {
    if (!result.ok()) {
        return;
    }
    ValueBytes& target = *static_cast<ValueBytes*>(native);
    switch (value.kind()) {
        case ValueKind::Empty:
            result.fail(formatMessage(kRequired, name));
            return;
        case ValueKind::Blob: {
            const auto bytes = value.asBlob();
            target.assign(bytes.begin(), bytes.end());
            return;
        }
        default:
            result.fail(formatMessage(kBlobInvalidType, name, value.kindName()));
            return;
    }
}

bool BlobConverter::writeValue(Value& out, const void* native, const TypeDescriptor*,
                               const TypeRegistry*, ValueResult&) const {
    out.setBlob(*static_cast<const ValueBytes*>(native));
    return true;
}

bool BlobConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return static_cast<const ValueBytes*>(native)->empty();
}

// --- enum -----------------------------------------------------------------------------------

namespace {

// Enumerator numbers are compared on the low 32 bits of a 64-bit number.
std::int32_t low32(std::uint64_t number) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(number & 0xFFFFFFFFu));
}

const char* enumTypeName(const TypeDescriptor* descriptor) noexcept {
    return descriptor != nullptr ? descriptor->name.c_str() : "enum";
}

}  // namespace

void EnumConverter::toNative(ValueResult& result, void* native, const Value& value,
                             std::string_view name, const TypeDescriptor* descriptor,
                             const TypeRegistry*, std::uint32_t) const {
    if (!result.ok()) {
        return;
    }
    std::int32_t& target = *static_cast<std::int32_t*>(native);
    switch (value.kind()) {
        case ValueKind::Empty:
            result.fail(formatMessage(kRequired, name));
            return;
        case ValueKind::Signed: {
            const std::int64_t number = value.asSigned();
            const std::int32_t low = low32(static_cast<std::uint64_t>(number));
            if (!TypeRegistry::hasEnumerator(descriptor, low)) {
                result.fail(formatMessage(kNotEnumValueOf, number, enumTypeName(descriptor), name));
                return;
            }
            target = low;
            return;
        }
        case ValueKind::Unsigned: {
            const std::uint64_t number = value.asUnsigned();
            const std::int32_t low = low32(number);
            if (!TypeRegistry::hasEnumerator(descriptor, low)) {
                result.fail(formatMessage(kNotEnumValueOf, number, enumTypeName(descriptor), name));
                return;
            }
            target = low;
            return;
        }
        case ValueKind::String: {
            const std::string_view text = value.asString();
            if (descriptor != nullptr) {
                if (const EnumeratorDescriptor* byName = descriptor->findEnumerator(text)) {
                    target = byName->number;
                    return;
                }
            }
            std::int64_t number = 0;
            if (parseSignedText(text, number) == TextNumber::Ok) {
                const std::int32_t low = low32(static_cast<std::uint64_t>(number));
                if (TypeRegistry::hasEnumerator(descriptor, low)) {
                    target = low;
                    return;
                }
            }
            result.fail(formatMessage(kNotEnumValueOf, text, enumTypeName(descriptor), name));
            return;
        }
        case ValueKind::Enum: {
            const std::int32_t number = value.asEnum().number;
            if (!TypeRegistry::hasEnumerator(descriptor, number)) {
                result.fail(formatMessage(kNotEnumValueOf, number, enumTypeName(descriptor), name));
                return;
            }
            target = number;
            return;
        }
        default:
            result.fail(formatMessage(kEnumInvalidType, name, value.kindName()));
            return;
    }
}

bool EnumConverter::writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                               const TypeRegistry*, ValueResult&) const {
    const StaticTypeId* typeId = descriptor != nullptr && descriptor->staticTypeId != nullptr
                                     ? descriptor->staticTypeId
                                     : typeId_;
    out.setEnum(*static_cast<const std::int32_t*>(native), typeId);
    return true;
}

bool EnumConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return *static_cast<const std::int32_t*>(native) == 0;
}

// --- struct ---------------------------------------------------------------------------------

void StructConverter::toNative(ValueResult& result, void* native, const Value& value,
                               std::string_view name, const TypeDescriptor* descriptor,
                               const TypeRegistry* registry, std::uint32_t flags) const {
    if (!result.ok()) {
        return;
    }
    if (value.isEmpty()) {
        result.fail(formatMessage(kRequired, name));
        return;
    }
    if (descriptor == nullptr) {
        result.fail(formatMessage(kStructUnregistered, name));
        return;
    }
    if (value.kind() != ValueKind::Structure) {
        result.fail(formatMessage(kStructNotStructure, name, descriptor->name));
        return;
    }
    auto* base = static_cast<unsigned char*>(native);
    for (const FieldDescriptor& field : descriptor->fields) {
        const Value& member = value.find(field.name);
        if (member.isEmpty()) {
            if (field.required()) {
                result.fail(formatMessage(kStructMissingField, name, descriptor->name, field.name));
                return;
            }
            continue;
        }
        if (field.converter == nullptr) {
            continue;
        }
        field.converter->toNative(result, base + field.offset, member, field.name,
                                  field.type.descriptor, registry, flags);
        if (!result.ok()) {
            return;
        }
    }
}

bool StructConverter::writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                                 const TypeRegistry* registry, ValueResult& failure) const {
    if (descriptor == nullptr) {
        failure.fail(kToValueUnregistered);
        return false;
    }
    out.reset();
    out.makeStructure();
    const auto* base = static_cast<const unsigned char*>(native);
    for (const FieldDescriptor& field : descriptor->fields) {
        if (field.converter == nullptr) {
            continue;
        }
        const void* fieldNative = base + field.offset;
        if (field.omitIfEmpty() &&
            field.converter->isEmptyNative(fieldNative, field.type.descriptor)) {
            continue;
        }
        if (!field.converter->writeValue(out.member(field.name), fieldNative, field.type.descriptor,
                                         registry, failure)) {
            return false;
        }
    }
    return true;
}

bool StructConverter::isEmptyNative(const void* native, const TypeDescriptor* descriptor) const {
    if (descriptor == nullptr) {
        return false;
    }
    const auto* base = static_cast<const unsigned char*>(native);
    for (const FieldDescriptor& field : descriptor->fields) {
        if (field.converter == nullptr) {
            continue;
        }
        if (!field.omitIfEmpty() ||
            !field.converter->isEmptyNative(base + field.offset, field.type.descriptor)) {
            return false;
        }
    }
    return true;
}

}  // namespace mox
