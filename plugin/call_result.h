// File: plugin/call_result.h
//
// `CallError` and `CallResult<T>`: the outcome of an operation that may fail with a status,
// such as a request to the host or an experiment run. A result holds either a value of T (none
// for `CallResult<void>`) or a `CallError`: a status code (0 when none is given), the formatted
// message, and the message's values under their names for structured logs.
//
// Failures are made only through the named factory `CallResult<T>::failure(error)` (or the
// `CallError` factories), so a call site shows where a failure came from. A default-made
// `CallResult<void>` is success; `CallResult<T>` has no default constructor, so `return {};`
// cannot pass for a success without a value.
//
// Example:
//   mox::CallResult<int> parsePort(std::string_view text) {
//       if (text.empty()) return mox::CallResult<int>::failure(mox::CallError::withCode(400, "no
//       port")); return 5499;
//   }
//   auto port = parsePort(t);
//   if (!port.ok()) log(port.error().message);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "binding/values/value.h"

namespace mox {

struct CallError {
    // The status code; 0 when none is given. A non-zero code is also recorded in `fields` as
    // "errorCode_int" by `setCode`.
    std::uint32_t code = 0;
    std::string message;
    std::unordered_map<std::string, Value> fields;

    // Sets `code` and, when it is not 0, the field "errorCode_int".
    void setCode(std::uint32_t newCode) {
        code = newCode;
        if (newCode != 0)
            fields["errorCode_int"].setUnsigned(newCode);
    }
    static CallError withCode(std::uint32_t code, std::string message) {
        CallError error;
        error.message = std::move(message);
        error.setCode(code);
        return error;
    }
};

template <class T>
class [[nodiscard]] CallResult {
  public:
    CallResult(T value) : value_(std::move(value)) {}
    static CallResult failure(CallError error) { return CallResult(std::move(error), 0); }

    bool ok() const noexcept { return value_.has_value(); }
    // REQUIRES: ok().
    T& value() noexcept { return *value_; }
    const T& value() const noexcept { return *value_; }
    T releaseValue() { return std::move(*value_); }
    // REQUIRES: !ok().
    const CallError& error() const noexcept { return error_; }
    CallError releaseError() { return std::move(error_); }

  private:
    CallResult(CallError error, int) : error_(std::move(error)) {}
    std::optional<T> value_;
    CallError error_;
};

template <>
class [[nodiscard]] CallResult<void> {
  public:
    CallResult() = default;
    static CallResult failure(CallError error) {
        CallResult result;
        result.failed_ = true;
        result.error_ = std::move(error);
        return result;
    }

    bool ok() const noexcept { return !failed_; }
    // REQUIRES: !ok().
    const CallError& error() const noexcept { return error_; }
    CallError releaseError() { return std::move(error_); }

  private:
    bool failed_ = false;
    CallError error_;
};

}  // namespace mox
