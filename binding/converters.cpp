#include "binding/converters.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

#include "binding/converter_classes.h"
#include "binding/host_value.h"
#include "binding/number_conversion.h"
#include "binding/type_descriptor.h"
#include "binding/type_registry.h"
#include "binding/values/nesting_limit.h"
#include "binding/values/value.h"
#include "plugin/entry/allocation.h"
#include "text/format_message.h"

namespace mox {

// --- Converter base -------------------------------------------------------------------------

void Converter::toValue(ValueResult& result, const void* native, const TypeDescriptor* descriptor,
                        const TypeRegistry* registry) const {
    result = ValueResult();
    ConversionFailure failure;
    if (!writeValue(result.value(), native, descriptor, registry, 0, failure)) {
        // The message lives outside the tree, so failing (which resets the value) is safe.
        result.fail(failure.message());
    }
}

bool Converter::writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                          const TypeRegistry* registry, std::uint32_t depth) const {
    Value built;
    ConversionFailure failure;
    if (!writeValue(built, native, descriptor, registry, depth, failure)) {
        return false;
    }
    HostResult status{};
    const bool converted = toHostAtDepth(status, out, built, registry, depth);
    releaseHostResult(status);
    return converted;
}

bool Converter::toHostDirect(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                             const TypeRegistry* registry) const noexcept {
    releaseHostValue(out);
    bool written = false;
    try {
        written = writeHost(out, native, descriptor, registry, 0);
    } catch (...) {
        written = false;  // the generic path reports what went wrong
    }
    if (!written) {
        releaseHostValue(out);
    }
    return written;
}

bool Converter::isEmptyNative(const void* native, const TypeDescriptor* descriptor) const {
    ValueResult built;
    toValue(built, native, descriptor, nullptr);
    return built.ok() && detail::isOmittable(built.value());
}

namespace detail {

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
constexpr const char* kReadTooDeep =
    "Couldn't assign value to '%1' because the input is nested more than %2 levels deep.";
constexpr const char* kWriteTooDeep =
    "Couldn't convert native value because it is nested more than %1 levels deep.";
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

// A number as the readers see it once the kind of the input is settled: the input's own
// number (signed, unsigned or float; an enum is its signed number), or the number parsed from
// a text by the target's rules, with the text kept for the messages.
struct NumberInput {
    ValueKind kind = ValueKind::Empty;  // Signed, Unsigned or Float
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double f = 0.0;
    std::string_view text;
    bool fromText = false;
};

enum class NumberTarget { Signed, Unsigned, Floating };

// The part of readNumberInput off the hot path: empty, texts and invalid kinds.
bool readNumberInputSlow(ValueResult& result, const Value& value, std::string_view name,
                         const char* typeName, NumberTarget target, NumberInput& in) {
    switch (value.kind()) {
        case ValueKind::Empty:
            result.fail(formatMessage(kRequired, name));
            return false;
        case ValueKind::String: {
            in.text = value.asString();
            in.fromText = true;
            TextNumber parsed;
            switch (target) {
                case NumberTarget::Signed:
                    in.kind = ValueKind::Signed;
                    parsed = parseSignedText(in.text, in.i);
                    break;
                case NumberTarget::Unsigned:
                    in.kind = ValueKind::Unsigned;
                    parsed = parseUnsignedText(in.text, in.u);
                    break;
                default:
                    in.kind = ValueKind::Float;
                    parsed = parseFloatingText(in.text, in.f);
                    break;
            }
            if (parsed == TextNumber::Format) {
                result.fail(formatMessage(kIncorrectFormat, in.text, name, typeName));
                return false;
            }
            if (parsed == TextNumber::Range) {
                result.fail(formatMessage(kOutOfRange, in.text, name, typeName));
                return false;
            }
            return true;
        }
        default:
            result.fail(formatMessage(kInvalidType, name, typeName, value.kindName()));
            return false;
    }
}

// The normalisation that every number reader shares: empty is required, numbers and enums are
// taken as they are, a text is parsed by the target's rules (a malformed text and a text whose
// number overflows 64 bits fail here), and every other kind is of an invalid type. Returns
// false after failing `result`. The number kinds are handled inline; the rest is out of line.
inline bool readNumberInput(ValueResult& result, const Value& value, std::string_view name,
                            const char* typeName, NumberTarget target, NumberInput& in) {
    switch (value.kind()) {
        case ValueKind::Signed:
            in.kind = ValueKind::Signed;
            in.i = value.asSigned();
            return true;
        case ValueKind::Unsigned:
            in.kind = ValueKind::Unsigned;
            in.u = value.asUnsigned();
            return true;
        case ValueKind::Float:
            in.kind = ValueKind::Float;
            in.f = value.asFloat();
            return true;
        case ValueKind::Enum:
            in.kind = ValueKind::Signed;
            in.i = value.asEnum().number;
            return true;
        default:
            return readNumberInputSlow(result, value, name, typeName, target, in);
    }
}

// The out-of-range failure: %1 is the text a number was parsed from, else the number itself.
void failOutOfRange(ValueResult& result, const NumberInput& in, std::string_view name,
                    const char* typeName) {
    if (in.fromText) {
        result.fail(formatMessage(kOutOfRange, in.text, name, typeName));
    } else if (in.kind == ValueKind::Signed) {
        result.fail(formatMessage(kOutOfRange, in.i, name, typeName));
    } else if (in.kind == ValueKind::Unsigned) {
        result.fail(formatMessage(kOutOfRange, in.u, name, typeName));
    } else {
        result.fail(formatMessage(kOutOfRange, in.f, name, typeName));
    }
}

// The failures of a container entered too deep (kept out of line: they are never on the hot
// path, and their message formatting would weigh on every caller).
void failReadTooDeep(ValueResult& result, std::string_view name) {
    result.fail(formatMessage(kReadTooDeep, name, kMaxNestingDepth));
}

void failWriteTooDeep(ConversionFailure& failure) {
    failure.set(formatMessage(kWriteTooDeep, kMaxNestingDepth));
}

// Whether a container at `depth` (the containers enclosing it) may be entered; fails
// `result` with the name of the container otherwise.
inline bool enterRead(ValueResult& result, std::string_view name, std::uint32_t depth) {
    if (depth < kMaxNestingDepth) {
        return true;
    }
    failReadTooDeep(result, name);
    return false;
}

inline bool enterWrite(ConversionFailure& failure, std::uint32_t depth) {
    if (depth < kMaxNestingDepth) {
        return true;
    }
    failWriteTooDeep(failure);
    return false;
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

bool readSignedNumber(ValueResult& result, const Value& value, std::string_view name,
                      std::int64_t min, std::int64_t max, const char* typeName, std::int64_t& out) {
    // Fast path for the usual input, a number of the native's own signedness in range.
    if (value.kind() == ValueKind::Signed) {
        const std::int64_t number = value.asSigned();
        if (number >= min && number <= max) {
            out = number;
            return true;
        }
    }
    NumberInput in;
    if (!readNumberInput(result, value, name, typeName, NumberTarget::Signed, in)) {
        return false;
    }
    bool inRange;
    switch (in.kind) {
        case ValueKind::Signed:
            inRange = in.i >= min && in.i <= max;
            out = in.i;
            break;
        case ValueKind::Unsigned:
            inRange = in.u <= static_cast<std::uint64_t>(max);
            out = static_cast<std::int64_t>(in.u);
            break;
        default:
            // NaN fails every comparison, so the test is written to reject it.
            inRange = in.f >= static_cast<double>(min) && in.f <= static_cast<double>(max) &&
                      in.f < kTwoPow63;
            out = inRange ? static_cast<std::int64_t>(in.f) : 0;
            break;
    }
    if (!inRange) {
        failOutOfRange(result, in, name, typeName);
    }
    return inRange;
}

bool readUnsignedNumber(ValueResult& result, const Value& value, std::string_view name,
                        std::uint64_t max, const char* typeName, std::uint64_t& out) {
    // Fast path for the usual input, a number of the native's own signedness in range.
    if (value.kind() == ValueKind::Unsigned && value.asUnsigned() <= max) {
        out = value.asUnsigned();
        return true;
    }
    NumberInput in;
    if (!readNumberInput(result, value, name, typeName, NumberTarget::Unsigned, in)) {
        return false;
    }
    bool inRange;
    switch (in.kind) {
        case ValueKind::Signed:
            inRange = in.i >= 0 && static_cast<std::uint64_t>(in.i) <= max;
            out = static_cast<std::uint64_t>(in.i);
            break;
        case ValueKind::Unsigned:
            inRange = in.u <= max;
            out = in.u;
            break;
        default:
            inRange = in.f >= 0.0 && in.f <= static_cast<double>(max) && in.f < kTwoPow64;
            out = inRange ? static_cast<std::uint64_t>(in.f) : 0;
            break;
    }
    if (!inRange) {
        failOutOfRange(result, in, name, typeName);
    }
    return inRange;
}

bool readFloatingNumber(ValueResult& result, const Value& value, std::string_view name, double max,
                        const char* typeName, double& out) {
    // Fast path for the usual input, a float in range.
    if (value.kind() == ValueKind::Float) {
        const double number = value.asFloat();
        if (number >= -max && number <= max) {
            out = number;
            return true;
        }
    }
    NumberInput in;
    if (!readNumberInput(result, value, name, typeName, NumberTarget::Floating, in)) {
        return false;
    }
    switch (in.kind) {
        case ValueKind::Signed:
            out = static_cast<double>(in.i);
            break;
        case ValueKind::Unsigned:
            out = static_cast<double>(in.u);
            break;
        default:
            out = in.f;
            break;
    }
    // NaN is outside every range: the comparison is written so that it fails.
    const bool inRange = out >= -max && out <= max;
    if (!inRange) {
        failOutOfRange(result, in, name, typeName);
    }
    return inRange;
}

// --- bool -----------------------------------------------------------------------------------

void BoolConverter::readNative(ValueResult& result, void* native, const Value& value,
                               std::string_view name, const TypeDescriptor*, const TypeRegistry*,
                               std::uint32_t, std::uint32_t) const {
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
                               const TypeRegistry*, std::uint32_t, ConversionFailure&) const {
    out.setBool(*static_cast<const bool*>(native));
    return true;
}

bool BoolConverter::writeHost(HostValue& out, const void* native, const TypeDescriptor*,
                              const TypeRegistry*, std::uint32_t) const {
    setHostBool(out, *static_cast<const bool*>(native));
    return true;
}

bool BoolConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return !*static_cast<const bool*>(native);
}

// --- integers -------------------------------------------------------------------------------

namespace {

template <class T>
constexpr const char* integerTypeName() noexcept {
    if constexpr (std::is_signed_v<T>) {
        return sizeof(T) == 1   ? "int8"
               : sizeof(T) == 2 ? "int16"
               : sizeof(T) == 4 ? "int32"
                                : "int64";
    } else {
        return sizeof(T) == 1   ? "uint8"
               : sizeof(T) == 2 ? "uint16"
               : sizeof(T) == 4 ? "uint32"
                                : "uint64";
    }
}

template <class T>
T load(const void* native) noexcept {
    T number;
    std::memcpy(&number, native, sizeof number);
    return number;
}

template <class T>
void store(void* native, T number) noexcept {
    std::memcpy(native, &number, sizeof number);
}

}  // namespace

template <class T>
void IntegerConverter<T>::readNative(ValueResult& result, void* native, const Value& value,
                                     std::string_view name, const TypeDescriptor*,
                                     const TypeRegistry*, std::uint32_t, std::uint32_t) const {
    if (!result.ok()) {
        return;
    }
    if constexpr (std::is_signed_v<T>) {
        std::int64_t number = 0;
        if (readSignedNumber(result, value, name, std::numeric_limits<T>::min(),
                             std::numeric_limits<T>::max(), integerTypeName<T>(), number)) {
            store(native, static_cast<T>(number));
        }
    } else {
        std::uint64_t number = 0;
        if (readUnsignedNumber(result, value, name, std::numeric_limits<T>::max(),
                               integerTypeName<T>(), number)) {
            store(native, static_cast<T>(number));
        }
    }
}

template <class T>
bool IntegerConverter<T>::writeValue(Value& out, const void* native, const TypeDescriptor*,
                                     const TypeRegistry*, std::uint32_t, ConversionFailure&) const {
    if constexpr (std::is_signed_v<T>) {
        out.setSigned(load<T>(native));
    } else {
        out.setUnsigned(load<T>(native));
    }
    return true;
}

template <class T>
bool IntegerConverter<T>::writeHost(HostValue& out, const void* native, const TypeDescriptor*,
                                    const TypeRegistry*, std::uint32_t) const {
    if constexpr (std::is_signed_v<T>) {
        setHostSigned(out, load<T>(native));
    } else {
        setHostUnsigned(out, load<T>(native));
    }
    return true;
}

template <class T>
bool IntegerConverter<T>::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return load<T>(native) == 0;
}

// --- float and double -----------------------------------------------------------------------

template <class T>
void FloatingConverter<T>::readNative(ValueResult& result, void* native, const Value& value,
                                      std::string_view name, const TypeDescriptor*,
                                      const TypeRegistry*, std::uint32_t, std::uint32_t) const {
    if (!result.ok()) {
        return;
    }
    double number = 0.0;
    if (readFloatingNumber(result, value, name, static_cast<double>(std::numeric_limits<T>::max()),
                           std::is_same_v<T, float> ? "float" : "double", number)) {
        store(native, static_cast<T>(number));
    }
}

template <class T>
bool FloatingConverter<T>::writeValue(Value& out, const void* native, const TypeDescriptor*,
                                      const TypeRegistry*, std::uint32_t,
                                      ConversionFailure&) const {
    out.setFloat(static_cast<double>(load<T>(native)));
    return true;
}

template <class T>
bool FloatingConverter<T>::writeHost(HostValue& out, const void* native, const TypeDescriptor*,
                                     const TypeRegistry*, std::uint32_t) const {
    setHostFloat(out, static_cast<double>(load<T>(native)));
    return true;
}

template <class T>
bool FloatingConverter<T>::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return load<T>(native) == T(0);
}

// --- string ---------------------------------------------------------------------------------

void StringConverter::readNative(ValueResult& result, void* native, const Value& value,
                                 std::string_view name, const TypeDescriptor*,
                                 const TypeRegistry* registry, std::uint32_t, std::uint32_t) const {
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
                                 const TypeRegistry*, std::uint32_t, ConversionFailure&) const {
    out.setString(std::string_view(*static_cast<const std::string*>(native)));
    return true;
}

bool StringConverter::writeHost(HostValue& out, const void* native, const TypeDescriptor*,
                                const TypeRegistry*, std::uint32_t) const {
    const std::string& text = *static_cast<const std::string*>(native);
    return setHostString(out, text.data(), text.size());
}

bool StringConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return static_cast<const std::string*>(native)->empty();
}

// --- object ---------------------------------------------------------------------------------

void ObjectConverter::readNative(ValueResult& result, void* native, const Value& value,
                                 std::string_view, const TypeDescriptor*, const TypeRegistry*,
                                 std::uint32_t, std::uint32_t) const {
    if (!result.ok()) {
        return;
    }
    // assign alone: `value` may lie inside the target, and assign copies before it releases
    // (a reset first would free the source before it is read).
    static_cast<Value*>(native)->assign(value);
}

bool ObjectConverter::writeValue(Value& out, const void* native, const TypeDescriptor*,
                                 const TypeRegistry*, std::uint32_t, ConversionFailure&) const {
    out.assign(*static_cast<const Value*>(native));
    return true;
}

bool ObjectConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return isOmittable(*static_cast<const Value*>(native));
}

// --- blob -----------------------------------------------------------------------------------

void BlobConverter::readNative(ValueResult& result, void* native, const Value& value,
                               std::string_view name, const TypeDescriptor*, const TypeRegistry*,
                               std::uint32_t, std::uint32_t) const {
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
                               const TypeRegistry*, std::uint32_t, ConversionFailure&) const {
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

void EnumConverter::readNative(ValueResult& result, void* native, const Value& value,
                               std::string_view name, const TypeDescriptor* descriptor,
                               const TypeRegistry*, std::uint32_t, std::uint32_t) const {
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
                               const TypeRegistry*, std::uint32_t, ConversionFailure&) const {
    const StaticTypeId* typeId = descriptor != nullptr && descriptor->staticTypeId != nullptr
                                     ? descriptor->staticTypeId
                                     : typeId_;
    out.setEnum(*static_cast<const std::int32_t*>(native), typeId);
    return true;
}

bool EnumConverter::writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                              const TypeRegistry* registry, std::uint32_t) const {
    const StaticTypeId* typeId = descriptor != nullptr && descriptor->staticTypeId != nullptr
                                     ? descriptor->staticTypeId
                                     : typeId_;
    const std::int32_t number = *static_cast<const std::int32_t*>(native);
    if (registry != nullptr && typeId != nullptr) {
        if (const char* name = registry->enumeratorName(typeId->id, number)) {
            return setHostString(out, name, std::strlen(name));
        }
    }
    setHostSigned(out, number);
    return true;
}

bool EnumConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return *static_cast<const std::int32_t*>(native) == 0;
}

// --- direct host forms of records and maps ---------------------------------------------------

namespace {

// Most members a record or map writes directly; larger ones take the default path (a
// temporary generic tree), which has no such limit.
constexpr std::size_t kMaxDirectMembers = 32;

// One member to write: its name and what converts its value.
struct DirectMember {
    std::string_view name;
    const void* native;
    const Converter* converter;
    const TypeDescriptor* descriptor;
};

// Puts `members` in the generic structure's member order (names compared byte by byte as
// unsigned, a prefix first) and answers whether the names are distinct and free of NUL bytes,
// the cases in which that order is the plain byte order and no two writes meet in one member.
bool sortDirectMembers(DirectMember* members, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (members[i].name.find('\0') != std::string_view::npos) {
            return false;
        }
    }
    for (std::size_t i = 1; i < count; ++i) {
        const DirectMember moving = members[i];
        std::size_t j = i;
        for (; j > 0 && moving.name < members[j - 1].name; --j) {
            members[j] = members[j - 1];
        }
        members[j] = moving;
    }
    for (std::size_t i = 1; i < count; ++i) {
        if (members[i].name == members[i - 1].name) {
            return false;
        }
    }
    return true;
}

// Writes sorted members as a host structure, each name an owned copy.
bool writeDirectMembers(HostValue& out, const DirectMember* members, std::size_t count,
                        const TypeRegistry* registry, std::uint32_t depth) {
    HostMember* host = setHostStructure(out, static_cast<std::uint32_t>(count));
    if (host == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = members[i].name;
        auto* copy = static_cast<char*>(allocate(name.size() + 1));
        if (copy == nullptr) {
            return false;
        }
        std::memcpy(copy, name.data(), name.size());
        copy[name.size()] = '\0';
        host[i].name = copy;
        host[i].ownsName = 1;
        if (!members[i].converter->writeHost(host[i].value, members[i].native,
                                             members[i].descriptor, registry, depth)) {
            return false;
        }
    }
    return true;
}

}  // namespace

// --- struct ---------------------------------------------------------------------------------

void StructConverter::readNative(ValueResult& result, void* native, const Value& value,
                                 std::string_view name, const TypeDescriptor* descriptor,
                                 const TypeRegistry* registry, std::uint32_t flags,
                                 std::uint32_t depth) const {
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
    if (!enterRead(result, name, depth)) {
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
        field.converter->readNative(result, base + field.offset, member, field.name,
                                    field.type.descriptor, registry, flags, depth + 1);
        if (!result.ok()) {
            return;
        }
    }
}

bool StructConverter::writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                                 const TypeRegistry* registry, std::uint32_t depth,
                                 ConversionFailure& failure) const {
    if (descriptor == nullptr) {
        failure.set(kToValueUnregistered);
        return false;
    }
    if (!enterWrite(failure, depth)) {
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
                                         registry, depth + 1, failure)) {
            return false;
        }
    }
    return true;
}

bool StructConverter::writeHost(HostValue& out, const void* native,
                                const TypeDescriptor* descriptor, const TypeRegistry* registry,
                                std::uint32_t depth) const {
    if (descriptor == nullptr || depth >= kMaxNestingDepth) {
        return false;
    }
    DirectMember members[kMaxDirectMembers];
    std::size_t count = 0;
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
        if (count == kMaxDirectMembers) {
            return Converter::writeHost(out, native, descriptor, registry, depth);
        }
        members[count++] = {field.name, fieldNative, field.converter.get(), field.type.descriptor};
    }
    if (!sortDirectMembers(members, count)) {
        return Converter::writeHost(out, native, descriptor, registry, depth);
    }
    return writeDirectMembers(out, members, count, registry, depth + 1);
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

// --- vector ---------------------------------------------------------------------------------

void VectorConverter::readNative(ValueResult& result, void* native, const Value& value,
                                 std::string_view name, const TypeDescriptor* descriptor,
                                 const TypeRegistry* registry, std::uint32_t flags,
                                 std::uint32_t depth) const {
    if (!result.ok()) {
        return;
    }
    ops_.clear(native);
    if (value.kind() != ValueKind::Collection) {
        result.fail(formatMessage(kVectorNotCollection, name));
        return;
    }
    if (!enterRead(result, name, depth)) {
        return;
    }
    const auto elements = value.elements();
    auto* data = static_cast<unsigned char*>(ops_.resize(native, elements.size()));
    for (std::size_t i = 0; i < elements.size() && result.ok(); ++i) {
        if (!elements[i].isEmpty()) {
            element_->readNative(result, data + i * ops_.elementSize, elements[i], name, descriptor,
                                 registry, flags, depth + 1);
        }
    }
}

bool VectorConverter::writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                                 const TypeRegistry* registry, std::uint32_t depth,
                                 ConversionFailure& failure) const {
    if (!enterWrite(failure, depth)) {
        return false;
    }
    const std::size_t count = ops_.size(native);
    const auto* data = static_cast<const unsigned char*>(ops_.data(native));
    out.reset();
    out.makeCollection();
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!element_->writeValue(out.append(), data + i * ops_.elementSize, descriptor, registry,
                                  depth + 1, failure)) {
            return false;
        }
    }
    return true;
}

bool VectorConverter::writeHost(HostValue& out, const void* native,
                                const TypeDescriptor* descriptor, const TypeRegistry* registry,
                                std::uint32_t depth) const {
    const std::size_t count = ops_.size(native);
    if (depth >= kMaxNestingDepth || count > kMaxValueLength) {
        return false;
    }
    HostValue* array = setHostCollection(out, static_cast<std::uint32_t>(count));
    if (array == nullptr) {
        return false;
    }
    const auto* data = static_cast<const unsigned char*>(ops_.data(native));
    for (std::size_t i = 0; i < count; ++i) {
        if (!element_->writeHost(array[i], data + i * ops_.elementSize, descriptor, registry,
                                 depth + 1)) {
            return false;
        }
    }
    return true;
}

bool VectorConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return ops_.size(native) == 0;
}

// --- map ------------------------------------------------------------------------------------

void MapConverter::readNative(ValueResult& result, void* native, const Value& value,
                              std::string_view name, const TypeDescriptor* descriptor,
                              const TypeRegistry* registry, std::uint32_t flags,
                              std::uint32_t depth) const {
    if (!result.ok()) {
        return;
    }
    if (value.kind() != ValueKind::Structure) {
        ops_.clearAndReserve(native, 0);
        result.fail(formatMessage(kMapNotStructure, name));
        return;
    }
    ops_.clearAndReserve(native, value.size());
    if (!enterRead(result, name, depth)) {
        return;
    }
    for (const auto member : value.members()) {
        if (member.value.isEmpty()) {
            continue;
        }
        element_->readNative(result, ops_.slot(native, member.name), member.value, name, descriptor,
                             registry, flags, depth + 1);
        if (!result.ok()) {
            return;
        }
    }
}

namespace {

struct MapWrite {
    const Converter& element;
    Value& out;
    const TypeDescriptor* descriptor;
    const TypeRegistry* registry;
    std::uint32_t depth;
    ConversionFailure& failure;
};

bool writeMapEntry(void* context, std::string_view key, const void* element) {
    auto& write = *static_cast<MapWrite*>(context);
    return write.element.writeValue(write.out.member(key), element, write.descriptor,
                                    write.registry, write.depth, write.failure);
}

}  // namespace

bool MapConverter::writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                              const TypeRegistry* registry, std::uint32_t depth,
                              ConversionFailure& failure) const {
    if (!enterWrite(failure, depth)) {
        return false;
    }
    out.reset();
    out.makeStructure();
    MapWrite write{*element_, out, descriptor, registry, depth + 1, failure};
    return ops_.forEach(native, &write, &writeMapEntry);
}

namespace {

struct MapCollect {
    DirectMember* members;
    std::size_t count;
    const Converter* element;
    const TypeDescriptor* descriptor;
};

bool collectMapEntry(void* context, std::string_view key, const void* element) {
    auto& collect = *static_cast<MapCollect*>(context);
    if (collect.count == kMaxDirectMembers) {
        return false;
    }
    collect.members[collect.count++] = {key, element, collect.element, collect.descriptor};
    return true;
}

}  // namespace

bool MapConverter::writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                             const TypeRegistry* registry, std::uint32_t depth) const {
    if (depth >= kMaxNestingDepth) {
        return false;
    }
    DirectMember members[kMaxDirectMembers];
    MapCollect collect{members, 0, element_.get(), descriptor};
    if (!ops_.forEach(native, &collect, &collectMapEntry) ||
        !sortDirectMembers(members, collect.count)) {
        return Converter::writeHost(out, native, descriptor, registry, depth);
    }
    return writeDirectMembers(out, members, collect.count, registry, depth + 1);
}

bool MapConverter::isEmptyNative(const void* native, const TypeDescriptor*) const {
    return ops_.size(native) == 0;
}

// --- optional -------------------------------------------------------------------------------

void OptionalConverter::readNative(ValueResult& result, void* native, const Value& value,
                                   std::string_view name, const TypeDescriptor* descriptor,
                                   const TypeRegistry* registry, std::uint32_t flags,
                                   std::uint32_t depth) const {
    if (!result.ok()) {
        return;
    }
    if (value.isEmpty()) {
        ops_.reset(native);
        return;
    }
    // An optional adds no level: its value is the held type's value.
    held_->readNative(result, ops_.emplace(native), value, name, descriptor, registry, flags,
                      depth);
    if (!result.ok()) {
        ops_.reset(native);
    }
}

bool OptionalConverter::writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                                   const TypeRegistry* registry, std::uint32_t depth,
                                   ConversionFailure& failure) const {
    if (!ops_.hasValue(native)) {
        out.reset();
        return true;
    }
    return held_->writeValue(out, ops_.get(native), descriptor, registry, depth, failure);
}

bool OptionalConverter::writeHost(HostValue& out, const void* native,
                                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                                  std::uint32_t depth) const {
    if (!ops_.hasValue(native)) {
        return true;  // an empty generic value: kind 0
    }
    return held_->writeHost(out, ops_.get(native), descriptor, registry, depth);
}

bool OptionalConverter::isEmptyNative(const void* native, const TypeDescriptor* descriptor) const {
    return !ops_.hasValue(native) || held_->isEmptyNative(ops_.get(native), descriptor);
}

// --- factories ------------------------------------------------------------------------------

std::unique_ptr<Converter> makeLeafConverter(TypeKind kind, const StaticTypeId* enumTypeId) {
    switch (kind) {
        case TypeKind::Bool:
            return std::make_unique<BoolConverter>();
        case TypeKind::Int8:
            return std::make_unique<IntegerConverter<std::int8_t>>();
        case TypeKind::UInt8:
            return std::make_unique<IntegerConverter<std::uint8_t>>();
        case TypeKind::Int16:
            return std::make_unique<IntegerConverter<std::int16_t>>();
        case TypeKind::UInt16:
            return std::make_unique<IntegerConverter<std::uint16_t>>();
        case TypeKind::Int32:
            return std::make_unique<IntegerConverter<std::int32_t>>();
        case TypeKind::UInt32:
            return std::make_unique<IntegerConverter<std::uint32_t>>();
        case TypeKind::Int64:
            return std::make_unique<IntegerConverter<std::int64_t>>();
        case TypeKind::UInt64:
            return std::make_unique<IntegerConverter<std::uint64_t>>();
        case TypeKind::Float:
            return std::make_unique<FloatingConverter<float>>();
        case TypeKind::Double:
            return std::make_unique<FloatingConverter<double>>();
        case TypeKind::String:
            return std::make_unique<StringConverter>();
        case TypeKind::Object:
            return std::make_unique<ObjectConverter>();
        case TypeKind::Blob:
            return std::make_unique<BlobConverter>();
        case TypeKind::Enum:
            return std::make_unique<EnumConverter>(enumTypeId);
        default:
            return std::make_unique<StructConverter>();
    }
}

std::unique_ptr<Converter> makeVectorConverter(std::unique_ptr<Converter> element,
                                               const VectorOps& ops) {
    return std::make_unique<VectorConverter>(std::move(element), ops);
}

std::unique_ptr<Converter> makeMapConverter(std::unique_ptr<Converter> element, const MapOps& ops) {
    return std::make_unique<MapConverter>(std::move(element), ops);
}

std::unique_ptr<Converter> makeOptionalConverter(std::unique_ptr<Converter> held,
                                                 const OptionalOps& ops) {
    return std::make_unique<OptionalConverter>(std::move(held), ops);
}

}  // namespace detail

namespace conversion {

bool readSigned(ValueResult& result, const Value& value, std::string_view name, std::int64_t min,
                std::int64_t max, const char* typeName, std::int64_t& out) {
    return detail::readSignedNumber(result, value, name, min, max, typeName, out);
}

bool readUnsigned(ValueResult& result, const Value& value, std::string_view name, std::uint64_t max,
                  const char* typeName, std::uint64_t& out) {
    return detail::readUnsignedNumber(result, value, name, max, typeName, out);
}

bool readFloating(ValueResult& result, const Value& value, std::string_view name, double max,
                  const char* typeName, double& out) {
    return detail::readFloatingNumber(result, value, name, max, typeName, out);
}

}  // namespace conversion

}  // namespace mox
