#include "routing/endpoint.h"

namespace mox {

EndpointBuilder& EndpointBuilder::templateText(std::string_view text) {
    if (binding_ != nullptr) {
        binding_->setTemplate(text);
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::method(RequestMethod method) {
    if (binding_ != nullptr) {
        binding_->setMethod(static_cast<std::uint32_t>(method));
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::customMethod(std::string_view name) {
    if (binding_ != nullptr) {
        binding_->setCustomMethod(name);
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::location(std::string_view parameter, ParameterLocation location) {
    if (binding_ == nullptr) {
        return *this;
    }
    for (std::size_t i = 0; i < function_->arguments.size(); ++i) {
        if (function_->arguments[i].name == parameter && i < binding_->locations.size()) {
            binding_->locations[i] = static_cast<std::uint32_t>(location);
            break;
        }
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::description(std::string_view text) {
    if (binding_ != nullptr) {
        function_->description.assign(text);
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::help(std::string_view text) {
    if (binding_ != nullptr) {
        function_->help.assign(text);
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::nameSpace(std::string_view text) {
    if (binding_ != nullptr) {
        function_->nameSpace.assign(text);
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::threadSafe(bool value) {
    if (binding_ != nullptr) {
        function_->threadSafe = value;
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::tag(std::string_view text) {
    if (binding_ != nullptr && !text.empty()) {
        function_->tags.emplace_back(text);
    }
    return *this;
}

EndpointBuilder& EndpointBuilder::tags(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        tag(text);
    }
    return *this;
}

}  // namespace mox
