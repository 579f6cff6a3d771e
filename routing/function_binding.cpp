#include "routing/function_binding.h"

#include "binding/type_descriptor.h"
#include "logging/log_manager.h"
#include "routing/route_template.h"

namespace mox {

void OrderedTextMap::set(std::string_view name, std::string_view text) {
    for (auto& entry : entries_) {
        if (entry.first == name) {
            entry.second.assign(text);
            return;
        }
    }
    entries_.emplace_back(std::string(name), std::string(text));
}

const std::string* OrderedTextMap::find(std::string_view name) const noexcept {
    for (const auto& entry : entries_) {
        if (entry.first == name) {
            return &entry.second;
        }
    }
    return nullptr;
}

void FunctionBinding::setTemplate(std::string_view text) {
    if (text.size() > 1 && text.back() == '/') {
        text.remove_suffix(1);
    }
    templateText.assign(text);
    templateValid =
        isLiteralTemplate(effectiveTemplate()) || compileTemplate(effectiveTemplate()).ok();
    if (!templateValid) {
        LogManager::write(kLogError, kGroupDbg,
                          "The URL template '%1' of function '%2' does not compile; requests to "
                          "it are refused",
                          templateText, descriptor != nullptr ? descriptor->name : std::string());
    }
}

void FunctionBinding::setMethod(std::uint32_t code) {
    method = code;
    customMethod.clear();
}

void FunctionBinding::setCustomMethod(std::string_view name) {
    method = static_cast<std::uint32_t>(RequestMethod::Custom);
    customMethod.assign(name);
}

std::string_view FunctionBinding::effectiveTemplate() const noexcept {
    if (!templateText.empty() || descriptor == nullptr) {
        return templateText;
    }
    return descriptor->name;
}

}  // namespace mox
