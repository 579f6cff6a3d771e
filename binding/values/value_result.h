// File: binding/values/value_result.h
//
// `ValueResult`: the result of every reader and every conversion: a `Value` plus a success
// flag. A fresh result is a success holding the empty value, so a decoder starts from
// `ValueResult result;`, fills `result.value()` and returns it. A failure is made with the one
// named operation `fail(message)`: the flag is cleared and the value becomes a structure whose
// single member "error" holds the message as a string.
//
// Which failure wins: fail() replaces whatever the result held, including an earlier failure.
// Conversions and readers stop at their first failure and return it unchanged (a plain early
// return), so the first failure is the one reported; code that carries on after a failure must
// check ok() before calling fail() again.
//
// Example:
//   mox::ValueResult readPort(const mox::Value& in) {
//       mox::ValueResult result;
//       if (in.kind() != mox::ValueKind::Unsigned) {
//           result.fail("expected an unsigned port");
//           return result;
//       }
//       result.value().setUnsigned(in.asUnsigned());
//       return result;
//   }
//   mox::ValueResult port = readPort(v);
//   if (!port.ok()) log(port.error());
#pragma once

#include <string_view>
#include <utility>

#include "binding/values/value.h"

namespace mox {

class [[nodiscard]] ValueResult {
  public:
    // Success, empty value.
    ValueResult() noexcept = default;
    // Success holding `value` (taken as by Value::take: a root's tree is moved, a part of a
    // tree is copied and emptied).
    explicit ValueResult(Value&& value);
    // A failure with `message` (see fail()).
    static ValueResult failure(std::string_view message);

    // Copies copy the flag and deep-copy the value; moves copy the flag and take the value
    // (the source's value is left empty, its flag unchanged).
    ValueResult(const ValueResult& other) = default;
    ValueResult& operator=(const ValueResult& other) = default;
    ValueResult(ValueResult&& other) : value_(std::move(other.value_)), ok_(other.ok_) {}
    ValueResult& operator=(ValueResult&& other);
    ~ValueResult() = default;

    bool ok() const noexcept { return ok_; }

    // Resets the value, clears the flag, makes the value a structure and sets its member
    // "error" to the string `message`. Replaces an earlier failure.
    void fail(std::string_view message);

    // "" on success; otherwise the "error" member's string, or "" if that member is not a
    // string. The view is NUL-terminated and valid while the result's value is unchanged.
    std::string_view error() const noexcept;

    Value& value() noexcept { return value_; }
    const Value& value() const noexcept { return value_; }

  private:
    Value value_;
    bool ok_ = true;
};

}  // namespace mox
