#include "binding/values/value_result.h"

namespace mox {

namespace {
constexpr std::string_view kErrorMember = "error";
}  // namespace

ValueResult::ValueResult(Value&& value) {
    value_.take(value);
}

ValueResult ValueResult::failure(std::string_view message) {
    ValueResult result;
    result.fail(message);
    return result;
}

ValueResult& ValueResult::operator=(ValueResult&& other) {
    ok_ = other.ok_;
    value_.take(other.value_);
    return *this;
}

void ValueResult::fail(std::string_view message) {
    // Intern the message into a fresh root first: it may point into the value being reset.
    Value error;
    error.member(kErrorMember).setString(message);
    value_.take(error);
    ok_ = false;
}

std::string_view ValueResult::error() const noexcept {
    if (ok_) {
        return "";
    }
    return value_.find(kErrorMember).asString("");
}

}  // namespace mox
