#include "binding/type_descriptor.h"

namespace mox {

const EnumeratorDescriptor* TypeDescriptor::findEnumerator(std::string_view enumeratorName) const {
    const auto it = enumerators.find(enumeratorName);
    return it != enumerators.end() ? &it->second : nullptr;
}

const EnumeratorDescriptor* TypeDescriptor::enumeratorByNumber(std::int32_t number) const noexcept {
    for (const auto& [enumeratorName, enumerator] : enumerators) {
        if (enumerator.number == number) {
            return &enumerator;
        }
    }
    return nullptr;
}

const FieldDescriptor* TypeDescriptor::findField(std::string_view fieldName) const noexcept {
    for (const FieldDescriptor& field : fields) {
        if (field.name == fieldName) {
            return &field;
        }
    }
    return nullptr;
}

}  // namespace mox
