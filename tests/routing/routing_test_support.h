// Test helpers of the router tests: a request record that owns its texts, and a response that
// is released when it goes out of scope.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "binding/host_value.h"
#include "binding/values/value.h"
#include "plugin/entry/allocation.h"
#include "routing/host_request.h"
#include "routing/host_response.h"
#include "routing/request_method.h"
#include "support/allocation_balance.h"

namespace mox::test {

// Builds a `HostRequest` whose pointers stay valid while the builder lives.
class RequestBuilder {
  public:
    explicit RequestBuilder(RequestMethod method = RequestMethod::Get, std::string path = "/")
        : method_(static_cast<std::uint32_t>(method)), path_(std::move(path)) {}

    RequestBuilder& methodCode(std::uint32_t code) {
        method_ = code;
        return *this;
    }
    RequestBuilder& header(std::string name, std::string value) {
        texts_.push_back(std::move(name));
        const char* n = texts_.back().c_str();
        texts_.push_back(std::move(value));
        headers_.push_back({n, texts_.back().c_str()});
        return *this;
    }
    RequestBuilder& rawHeader(const char* name, const char* value) {
        headers_.push_back({name, value});
        return *this;
    }
    // A host argument; a null name makes it positional. The value is borrowed.
    RequestBuilder& argument(const char* name, const HostValue& value) {
        const char* n = nullptr;
        if (name != nullptr) {
            texts_.push_back(name);
            n = texts_.back().c_str();
        }
        arguments_.push_back({n, value});
        return *this;
    }
    RequestBuilder& body(std::string contentType, std::string bytes) {
        contentType_ = std::move(contentType);
        body_ = std::move(bytes);
        hasBody_ = true;
        return *this;
    }
    RequestBuilder& customMethod(std::string name) {
        custom_ = std::move(name);
        return *this;
    }
    RequestBuilder& context(void* value) {
        context_ = value;
        return *this;
    }
    RequestBuilder& callerContext(HostWord value) {
        callerContext_ = value;
        return *this;
    }

    HostRequest build() const {
        HostRequest request{};
        request.method = method_;
        request.path = path_.c_str();
        request.arguments = arguments_.empty() ? nullptr : arguments_.data();
        request.argumentCount = static_cast<std::uint32_t>(arguments_.size());
        request.context = context_;
        request.headers = headers_.empty() ? nullptr : headers_.data();
        request.headerCount = static_cast<std::uint32_t>(headers_.size());
        request.contentType = hasBody_ ? contentType_.c_str() : nullptr;
        request.body = hasBody_ ? reinterpret_cast<const std::uint8_t*>(body_.data()) : nullptr;
        request.bodySize = static_cast<std::uint32_t>(body_.size());
        request.callerContext = callerContext_;
        request.customMethod = custom_.c_str();
        return request;
    }

  private:
    std::uint32_t method_;
    std::string path_;
    std::deque<std::string> texts_;
    std::vector<HostHeaderEntry> headers_;
    std::vector<HostArgumentEntry> arguments_;
    std::string contentType_;
    std::string body_;
    bool hasBody_ = false;
    std::string custom_;
    void* context_ = nullptr;
    HostWord callerContext_ = 0;
};

// Copies a field of a packed record, so that assertion macros never bind a reference to a
// misaligned field.
template <class T>
T field(T value) {
    return value;
}

// A response released on destruction, with readers for what tests look at.
struct Answer {
    HostResponse response{};

    Answer() = default;
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;
    ~Answer() {
        if (response.release != nullptr) {
            response.release(&response);
        }
    }

    bool isError() const { return response.isError != 0; }
    std::string error() const { return response.errorText != nullptr ? response.errorText : ""; }
    std::uint32_t status() const { return field(response.status); }
    // The body as a generic value.
    Value body() const {
        Value out;
        HostResult status{};
        const HostValue host = response.body;
        EXPECT_TRUE(fromHost(status, out, host, "<body>"));
        releaseHostResult(status);
        return out;
    }
};

}  // namespace mox::test
