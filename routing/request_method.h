// File: routing/request_method.h
//
// `RequestMethod`: the method codes shared by host requests, requests the plugin sends to the
// host, and function registrations. Custom (8) carries its method name as text beside the
// code; its own text, like None's, is empty.
#pragma once

#include <cstdint>
#include <string_view>

namespace mox {

enum class RequestMethod : std::uint32_t {
    None = 0,
    Delete = 1,
    Get = 2,
    Head = 3,
    Options = 4,
    Patch = 5,
    Post = 6,
    Put = 7,
    Custom = 8,
};

// A method value from the host: 1..8 as they are, anything else None.
constexpr RequestMethod methodFromHost(std::uint32_t value) noexcept {
    return value >= 1 && value <= 8 ? static_cast<RequestMethod>(value) : RequestMethod::None;
}

// "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT"; "" for None, Custom and any
// other value. The text is static.
std::string_view methodText(RequestMethod method) noexcept;

}  // namespace mox
