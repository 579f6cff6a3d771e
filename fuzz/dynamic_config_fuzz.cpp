// libFuzzer target: the conversion of a configuration update into
// `NetworkTestingDynamicConfig`, as the plugin's typed subscription does it (a fresh record
// of defaults, the update's value converted into it under the name "<value>"). The bytes
// build the generic value: mostly a structure whose members carry the record's field names
// (and a few near misses and arbitrary names) with values of every kind, numbers near the
// fields' limits and texts that look like numbers. Checked on every update:
//   - a failure carries a non-empty message of at most 4095 bytes;
//   - members that name no field change nothing: the update without them gives the same
//     outcome, record and message;
//   - a member of a kind its field can never take (bool, blob, collection, structure, or a
//     number for a text field), or a number or numeric text out of the field's range or in
//     the wrong format, fails the update; an update whose members all fit (texts for texts,
//     numbers and numeric texts within range for numbers) succeeds;
//   - on success a field without a member keeps its default, a member gives its number
//     (truncated toward zero for integer fields) or text, and the record converted back to a
//     value and into a fresh record gives the same record.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "binding/converters.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"
#include "network_testing/dynamic_config.h"
#include "network_testing/network_testing_types.h"

namespace {

using namespace mox;
using Config = NetworkTestingDynamicConfig;

void check(bool property) {
    if (!property) {
        __builtin_trap();
    }
}

enum class FieldKind { Text, U8, U16, Double };

struct Field {
    const char* name;
    FieldKind kind;
};

constexpr Field kFields[] = {
    {"GameLatencyProbeServers", FieldKind::Text},  {"GameLatencyProbePort", FieldKind::U16},
    {"GameLatencyProbability", FieldKind::Double}, {"GameLatencyTimeoutSecs", FieldKind::Double},
    {"GameLatencyProbeCount", FieldKind::U8},      {"GameLatencyProbeSize", FieldKind::U16},
    {"IPv4OptionsProbeServers", FieldKind::Text},  {"IPv4OptionsProbePort", FieldKind::U16},
    {"IPv4OptionsProbability", FieldKind::Double}, {"IPv4OptionsProbeCount", FieldKind::U8},
    {"IPv6SupportProbeServers", FieldKind::Text},  {"IPv6SupportProbePort", FieldKind::U16},
    {"IPv6SupportProbability", FieldKind::Double}, {"IPv6SupportProbeCount", FieldKind::U8},
};
constexpr std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];

// Field i of a record: its text, or its number as a double (exact for every field type).
struct FieldValue {
    std::string text;
    double number = 0.0;
    bool same(const FieldValue& other) const {
        return text == other.text && std::memcmp(&number, &other.number, sizeof number) == 0;
    }
};

FieldValue fieldOf(const Config& c, std::size_t i) {
    switch (i) {
        case 0:
            return {c.GameLatencyProbeServers};
        case 1:
            return {{}, double(c.GameLatencyProbePort)};
        case 2:
            return {{}, c.GameLatencyProbability};
        case 3:
            return {{}, c.GameLatencyTimeoutSecs};
        case 4:
            return {{}, double(c.GameLatencyProbeCount)};
        case 5:
            return {{}, double(c.GameLatencyProbeSize)};
        case 6:
            return {c.IPv4OptionsProbeServers};
        case 7:
            return {{}, double(c.IPv4OptionsProbePort)};
        case 8:
            return {{}, c.IPv4OptionsProbability};
        case 9:
            return {{}, double(c.IPv4OptionsProbeCount)};
        case 10:
            return {c.IPv6SupportProbeServers};
        case 11:
            return {{}, double(c.IPv6SupportProbePort)};
        case 12:
            return {{}, c.IPv6SupportProbability};
        default:
            return {{}, double(c.IPv6SupportProbeCount)};
    }
}

bool sameRecord(const Config& a, const Config& b) {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (!fieldOf(a, i).same(fieldOf(b, i))) {
            return false;
        }
    }
    return true;
}

class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint64_t word(int count) {
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i) {
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        }
        return value;
    }
    bool done() const { return at_ >= size_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A number that is often near a field's limits.
std::int64_t interestingNumber(Reader& in) {
    static constexpr std::int64_t kNear[] = {0,
                                             1,
                                             255,
                                             256,
                                             1024,
                                             65535,
                                             65536,
                                             -1,
                                             std::numeric_limits<std::int64_t>::min(),
                                             std::numeric_limits<std::int64_t>::max()};
    const std::uint8_t mode = in.byte();
    if (mode % 2 == 0) {
        // Wraps around at the 64-bit limits, as intended.
        const auto nudge = static_cast<std::uint64_t>(static_cast<std::int8_t>(in.byte()) / 64);
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(kNear[mode / 2 % 10]) + nudge);
    }
    return static_cast<std::int64_t>(in.word(8));
}

void buildScalar(Reader& in, Value& value, int depth) {
    static constexpr const char* kTexts[] = {
        "0x1F",          " 12",  "-1", "12abc", "",    "1e3",  "nan",
        "inf",           "0777", "+5", "65536", "1.5", "true", "18446744073709551616",
        "127.0.0.1,::1", " "};
    switch (in.byte() % 11) {
        case 0:
            value.reset();
            break;
        case 1:
            value.setBool((in.byte() & 1) != 0);
            break;
        case 2:
            value.setSigned(interestingNumber(in));
            break;
        case 3:
            value.setUnsigned(static_cast<std::uint64_t>(interestingNumber(in)));
            break;
        case 4: {
            const std::uint8_t mode = in.byte();
            if (mode % 2 == 0) {
                value.setFloat(static_cast<double>(interestingNumber(in)) + (mode / 2 % 4) * 0.25);
            } else {
                const std::uint64_t bits = in.word(8);
                double d;
                std::memcpy(&d, &bits, sizeof d);
                value.setFloat(d);
            }
            break;
        }
        case 5:
            value.setString(kTexts[in.byte() % 16]);
            break;
        case 6: {
            std::string text;
            for (std::size_t n = in.byte() % 16; n > 0; --n) {
                text += static_cast<char>(in.byte());
            }
            value.setString(text);
            break;
        }
        case 7: {
            const std::uint8_t bytes[3] = {in.byte(), in.byte(), in.byte()};
            value.setBlob(bytes, in.byte() % 4);
            break;
        }
        case 8:
            value.setEnum(static_cast<std::int32_t>(interestingNumber(in)), nullptr);
            break;
        case 9:
            value.makeCollection();
            if (depth < 3) {
                buildScalar(in, value.append(), depth + 1);
            }
            break;
        default:
            value.makeStructure();
            if (depth < 3) {
                buildScalar(in, value.member(kFields[in.byte() % kFieldCount].name), depth + 1);
            }
            break;
    }
}

std::string memberName(Reader& in) {
    const std::uint8_t pick = in.byte() % (kFieldCount + 4);
    if (pick < kFieldCount) {
        return kFields[pick].name;
    }
    switch (pick - kFieldCount) {
        case 0:
            return "gamelatencyprobeport";
        case 1:
            return "";
        case 2:
            return std::string(kFields[in.byte() % kFieldCount].name) + " ";
        default: {
            std::string name;
            for (std::size_t n = in.byte() % 8; n > 0; --n) {
                name += static_cast<char>(in.byte());
            }
            return name;
        }
    }
}

bool isFieldName(std::string_view name) {
    for (const Field& field : kFields) {
        if (name == field.name) {
            return true;
        }
    }
    return false;
}

// What a member of `value`'s kind must do to field `field`: 0 fail, 1 succeed with `number`,
// 2 succeed with the text, 3 not predicted here (texts into numbers, enums, NaN).
struct Prediction {
    int outcome = 3;
    double number = 0.0;
};

// A text for a number field, by the documented rules: the whole text must be one number in
// C syntax (automatic base for integers, leading white space allowed, an empty text is 0 for
// integers), a "-" in front of an unsigned number is out of range, and so is anything beyond
// the field's limits. NaN and underflow are left unpredicted.
Prediction predictText(const Field& field, std::string_view text, double min, double max) {
    const std::string copy(text);
    const char* begin = copy.c_str();
    char* end = nullptr;
    errno = 0;
    if (field.kind == FieldKind::Double) {
        if (copy.empty()) {
            return {3};
        }
        const double number = std::strtod(begin, &end);
        if (end != begin + copy.size()) {
            return {0};
        }
        if (std::isnan(number) || (errno == ERANGE && !std::isinf(number))) {
            return {3};
        }
        return number < min || number > max ? Prediction{0} : Prediction{1, number};
    }
    const std::size_t first = copy.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && copy[first] == '-') {
        return {0};
    }
    const unsigned long long number = std::strtoull(begin, &end, 0);
    if (end != begin + copy.size() || errno == ERANGE || double(number) > max) {
        return {0};
    }
    return {1, double(number)};
}

Prediction predict(const Field& field, const Value& value) {
    const bool text = field.kind == FieldKind::Text;
    const double max = field.kind == FieldKind::U8    ? 255.0
                       : field.kind == FieldKind::U16 ? 65535.0
                                                      : std::numeric_limits<double>::max();
    const double min = field.kind == FieldKind::Double ? -max : 0.0;
    switch (value.kind()) {
        case ValueKind::Bool:
        case ValueKind::Blob:
        case ValueKind::Collection:
        case ValueKind::Structure:
            return {0};
        case ValueKind::String:
            return text ? Prediction{2} : predictText(field, value.asString(), min, max);
        case ValueKind::Signed:
        case ValueKind::Unsigned: {
            if (text) {
                return {0};
            }
            const bool isSigned = value.kind() == ValueKind::Signed;
            if (field.kind == FieldKind::Double) {
                return {1, isSigned ? double(value.asSigned()) : double(value.asUnsigned())};
            }
            if (isSigned ? (value.asSigned() < 0 || value.asSigned() > std::int64_t(max))
                         : value.asUnsigned() > std::uint64_t(max)) {
                return {0};
            }
            return {1, isSigned ? double(value.asSigned()) : double(value.asUnsigned())};
        }
        case ValueKind::Float: {
            if (text) {
                return {0};
            }
            const double f = value.asFloat();
            if (std::isnan(f)) {
                return {3};
            }
            if (f < min || f > max) {
                return {0};
            }
            return {1, field.kind == FieldKind::Double ? f : std::trunc(f)};
        }
        default:
            return {3};
    }
}

struct Outcome {
    bool ok = false;
    std::string message;
    Config config;
};

Outcome convert(const TypeRegistry& registry, const Value& value) {
    Outcome outcome;
    const ValueResult result = toNativeRecord(outcome.config, value, "<value>", registry);
    outcome.ok = result.ok();
    if (!outcome.ok) {
        outcome.message = std::string(result.error());
    }
    return outcome;
}

const TypeRegistry& registry() {
    static TypeRegistry* instance = [] {
        auto* made = new TypeRegistry();
        check(registerNetworkTestingTypes(*made, "NetworkTesting", {"network-testing"}));
        return made;
    }();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Value update;
    if (in.byte() % 16 == 0) {
        buildScalar(in, update, 0);
    } else {
        update.makeStructure();
        for (std::size_t n = in.byte() % 24; n > 0 && !in.done(); --n) {
            const std::string name = memberName(in);
            buildScalar(in, update.member(name), 0);
        }
    }

    const Outcome outcome = convert(registry(), update);
    if (!outcome.ok) {
        check(!outcome.message.empty() && outcome.message.size() <= 4095);
    }

    // The same update without the members that name no field.
    Value known;
    if (update.kind() == ValueKind::Structure) {
        known.makeStructure();
        for (const ConstValueMember member : std::as_const(update).members()) {
            if (isFieldName(member.name)) {
                known.member(member.name).assign(member.value);
            }
        }
    } else {
        known.assign(update);
    }
    const Outcome trimmed = convert(registry(), known);
    check(trimmed.ok == outcome.ok && trimmed.message == outcome.message);
    if (outcome.ok) {
        check(sameRecord(trimmed.config, outcome.config));
    }

    if (update.kind() != ValueKind::Structure) {
        return 0;
    }
    bool mustFail = false;
    bool mustSucceed = true;
    for (const Field& field : kFields) {
        const Value& member = update.find(field.name);
        if (member.isEmpty()) {
            continue;
        }
        const Prediction p = predict(field, member);
        mustFail = mustFail || p.outcome == 0;
        mustSucceed = mustSucceed && (p.outcome == 1 || p.outcome == 2);
    }
    if (mustFail) {
        check(!outcome.ok);
    }
    if (mustSucceed) {
        check(outcome.ok);
    }
    if (!outcome.ok) {
        return 0;
    }

    const Config defaults;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const Value& member = update.find(kFields[i].name);
        const FieldValue got = fieldOf(outcome.config, i);
        if (member.isEmpty()) {
            check(got.same(fieldOf(defaults, i)));
            continue;
        }
        const Prediction p = predict(kFields[i], member);
        if (p.outcome == 1) {
            check(got.number == p.number);
        } else if (p.outcome == 2) {
            check(got.text == member.asString());
        }
    }

    const ValueResult back = toValueRecord(outcome.config, registry());
    check(back.ok() && back.value().kind() == ValueKind::Structure &&
          back.value().size() == kFieldCount);
    const Outcome again = convert(registry(), back.value());
    check(again.ok && sameRecord(again.config, outcome.config));
    return 0;
}
