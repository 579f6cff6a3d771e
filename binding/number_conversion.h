// File: binding/number_conversion.h
//
// The rules by which a generic value becomes a native number: booleans, integers of either
// sign and floats are range-checked, and a string is parsed as a decimal (or, for integers, a
// C automatic-base) number. Converters use them for every numeric native; the YAML reader uses
// them for scalars tagged as integers or floats, so a tagged scalar follows exactly the
// conversion rules and messages of a native field.
//
// Each function reads `value` for a native named `typeName` in messages (for example
// "int64_t"), with `name` naming the value. On success it stores the number in `out` and
// returns true; on failure it fails `result` with the conversion's message and returns false,
// leaving `out` unchanged.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox::conversion {

// A signed native of range [min, max].
[[nodiscard]] bool readSigned(ValueResult& result, const Value& value, std::string_view name,
                              std::int64_t min, std::int64_t max, const char* typeName,
                              std::int64_t& out);
// An unsigned native of range [0, max].
[[nodiscard]] bool readUnsigned(ValueResult& result, const Value& value, std::string_view name,
                                std::uint64_t max, const char* typeName, std::uint64_t& out);
// A float or double native of range [-max, max].
[[nodiscard]] bool readFloating(ValueResult& result, const Value& value, std::string_view name,
                                double max, const char* typeName, double& out);

}  // namespace mox::conversion
