#include "routing/request_method.h"

namespace mox {

std::string_view methodText(RequestMethod method) noexcept {
    switch (method) {
        case RequestMethod::Delete:
            return "DELETE";
        case RequestMethod::Get:
            return "GET";
        case RequestMethod::Head:
            return "HEAD";
        case RequestMethod::Options:
            return "OPTIONS";
        case RequestMethod::Patch:
            return "PATCH";
        case RequestMethod::Post:
            return "POST";
        case RequestMethod::Put:
            return "PUT";
        default:
            return "";
    }
}

}  // namespace mox
