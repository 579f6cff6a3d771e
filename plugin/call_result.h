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
#include <span>
#include <string>
#include <string_view>
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
    // The error of a message template (grammar in the comment of `convertMessageTemplate`)
    // filled with `values`: the message is the positional form formatted with the values, the
    // fields hold the named values, and a non-zero `code` is set as by `setCode`.
    //   CallError::fromTemplate(404, "Error response for {method} {url}: {error}",
    //                           values)  // "Error response for GET /a: gone", 4 fields
    static CallError fromTemplate(std::uint32_t code, std::string_view messageTemplate,
                                  std::span<const Value> values);
};

// The error request handlers answer with when the server side fails: code 500 with
// `message`, or with "Internal server error" when it is empty.
CallError makeServerError(std::string_view message);

// Turns a message template into the positional template of the "%1" formatter
// (text/format_message.h) and the named fields. Placeholders are numbered 1, 2, ... in order
// of appearance; placeholder k takes values[k - 1].
//   - Outside braces "{{" writes "{", "}}" writes "}", "%%" is copied as "%%". A "%" that starts
//     a printf conversion ("%s", "%-5.2f", ...) is a placeholder too: it is written as the
//     numbered conversion "%k$..." so that it prints value k whatever came before it. A "%"
//     that starts none ("100%", "5%.") is text and is written as "%%". Every other character
//     is copied.
//   - "{" opens a placeholder that runs to the next "}". Inside it a backslash escapes the
//     next character, a further "{" is ignored, "!" makes it record-only, "?" starts an
//     alternative text, ":" starts a format part (not used), "#" right after the "{" asks for
//     a typed name; everything else belongs to the name (or the part "?" or ":" started).
//   - At the "}", when value k exists: a typed name not already ending in "_bool", "_int",
//     "_long", "_float", "_str", "_time" or "_ip" gets the suffix of the value's kind ("_bool",
//     "_float", "_str", "_int" for both integer kinds). With an alternative text and a false,
//     zero or empty-string value, the alternative text is written and nothing else happens.
//     Otherwise a non-empty name stores the value in the fields; a record-only placeholder
//     then strips trailing white space from the output and writes nothing, any other writes
//     "%k" ("%k$s" when the output goes on with a digit or "$", which the formatter would
//     otherwise read as part of it). A placeholder without a value writes nothing and stores
//     nothing.
//   - A "{" that is never closed ends the template there.
// So "Error response for {method} {url}: {error}" gives "Error response for %1 %2: %3" and
// the fields "method", "url" and "error".
void convertMessageTemplate(std::string_view messageTemplate, std::span<const Value> values,
                            std::string& positional,
                            std::unordered_map<std::string, Value>& fields);

// Formats a positional template with generic values as arguments: strings as texts, bools,
// signed and unsigned integers and floats as numbers, enums by number, every other kind as
// the empty text. The result is cut at 4095 bytes.
std::string formatWithValues(const std::string& positional, std::span<const Value> values);

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
