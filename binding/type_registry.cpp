#include "binding/type_registry.h"

#include <utility>

#include "binding/type_identity.h"
#include "binding/values/fnv1a.h"

namespace mox {

// --- TypeBuilder ----------------------------------------------------------------------------

TypeBuilder& TypeBuilder::addField(std::string_view name, std::string_view description,
                                   std::uint32_t offset, const StaticTypeId& typeId, TypeRef type,
                                   TypeRef hostType, std::uint32_t flags,
                                   std::unique_ptr<Converter> converter, bool optional) {
    if (descriptor_ == nullptr) {
        return *this;
    }
    FieldDescriptor& field = descriptor_->fields.emplace_back();
    field.name.assign(name);
    field.nameHash = fnv1a(name);
    field.description.assign(description);
    field.typeId = &typeId;
    field.offset = offset;
    field.type = type;
    if (hostType.kind != TypeKind::None) {
        field.hostType = hostType;
    }
    field.flags = flags;
    field.converter = std::move(converter);
    field.optional = optional;
    field.owner = descriptor_;
    return *this;
}

TypeBuilder& TypeBuilder::addEnumerator(std::string_view name, std::int32_t number,
                                        std::string_view description) {
    if (descriptor_ == nullptr) {
        return *this;
    }
    auto it = descriptor_->enumerators.find(name);
    if (it == descriptor_->enumerators.end()) {
        it = descriptor_->enumerators.emplace(std::string(name), EnumeratorDescriptor{}).first;
    }
    EnumeratorDescriptor& enumerator = it->second;
    enumerator.number = number;
    enumerator.name = it->first;
    enumerator.description.assign(description);
    enumerator.owner = descriptor_;
    return *this;
}

TypeBuilder& TypeBuilder::setDescription(std::string_view text) {
    if (descriptor_ != nullptr) {
        descriptor_->description.assign(text);
    }
    return *this;
}

TypeBuilder& TypeBuilder::setNameSpace(std::string_view text) {
    if (descriptor_ != nullptr) {
        descriptor_->nameSpace.assign(text);
    }
    return *this;
}

TypeBuilder& TypeBuilder::addTag(std::string_view text) {
    if (descriptor_ != nullptr && !text.empty()) {
        descriptor_->tags.emplace_back(text);
    }
    return *this;
}

// --- TypeRegistry ---------------------------------------------------------------------------

std::size_t TypeRegistry::NameHash::operator()(std::string_view text) const noexcept {
    return fnv1a(text);
}

std::size_t TypeRegistry::IdHash::operator()(std::uint32_t id) const noexcept {
    // FNV-1a over the four bytes of the id, low byte first.
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(id & 0xFFu), static_cast<unsigned char>((id >> 8) & 0xFFu),
        static_cast<unsigned char>((id >> 16) & 0xFFu), static_cast<unsigned char>(id >> 24)};
    return fnv1aBytes(bytes, sizeof bytes);
}

TypeRegistry::TypeRegistry() = default;
TypeRegistry::~TypeRegistry() = default;

TypeBuilder TypeRegistry::beginType(std::uint32_t size, std::string_view name,
                                    const StaticTypeId& typeId, bool isEnum) {
    std::lock_guard lock(mutex_);
    if (types_.find(name) != types_.end()) {
        return TypeBuilder(nullptr, TypeRegistrationStatus::AlreadyRegistered);
    }
    const bool byId = typeId.id != kNoTypeId;
    if (byId && typesById_.find(typeId.id) != typesById_.end()) {
        return TypeBuilder(nullptr, TypeRegistrationStatus::IdCollision);
    }
    auto descriptor = std::make_unique<TypeDescriptor>();
    descriptor->size = size;
    descriptor->isEnum = isEnum;
    descriptor->name.assign(name);
    descriptor->typeId = typeId.id;
    descriptor->staticTypeId = &typeId;
    descriptor->registry = this;
    TypeDescriptor* raw = descriptor.get();
    types_.emplace(raw->name, std::move(descriptor));
    if (byId) {
        typesById_.emplace(typeId.id, raw);
    }
    return TypeBuilder(raw, TypeRegistrationStatus::Registered);
}

FunctionDescriptor* TypeRegistry::registerFunction(std::string_view name,
                                                   std::vector<ArgumentDescriptor> arguments,
                                                   bool isPrivate) {
    auto descriptor = std::make_unique<FunctionDescriptor>();
    descriptor->name.assign(name);
    descriptor->arguments = std::move(arguments);
    descriptor->registry = this;
    FunctionDescriptor* raw = descriptor.get();
    std::lock_guard lock(mutex_);
    if (isPrivate) {
        retiredFunctions_.push_back(std::move(descriptor));
        return raw;
    }
    auto it = functions_.find(name);
    if (it != functions_.end()) {
        retiredFunctions_.push_back(std::move(it->second));
        it->second = std::move(descriptor);
    } else {
        functions_.emplace(raw->name, std::move(descriptor));
    }
    ++changeCount_;
    return raw;
}

bool TypeRegistry::unregisterFunction(const FunctionDescriptor* descriptor) {
    if (descriptor == nullptr) {
        return false;
    }
    std::unique_ptr<FunctionDescriptor> removed;
    {
        std::lock_guard lock(mutex_);
        auto it = functions_.find(descriptor->name);
        if (it == functions_.end() || it->second.get() != descriptor) {
            return false;
        }
        removed = std::move(it->second);
        functions_.erase(it);
        ++changeCount_;
    }
    // The handler and the descriptor are destroyed outside the lock: a handler's destructor
    // may itself look something up.
    removed->handler.reset();
    removed.reset();
    return true;
}

EventDescriptor* TypeRegistry::registerEvent(std::string_view name, TypeRef payload) {
    auto descriptor = std::make_unique<EventDescriptor>();
    descriptor->name.assign(name);
    descriptor->payload = payload;
    EventDescriptor* raw = descriptor.get();
    std::lock_guard lock(mutex_);
    auto it = events_.find(name);
    if (it != events_.end()) {
        retiredEvents_.push_back(std::move(it->second));
        it->second = std::move(descriptor);
    } else {
        events_.emplace(raw->name, std::move(descriptor));
    }
    return raw;
}

const FunctionDescriptor* TypeRegistry::findFunction(std::string_view name) const {
    std::lock_guard lock(mutex_);
    const auto it = functions_.find(name);
    return it != functions_.end() ? it->second.get() : nullptr;
}

const EventDescriptor* TypeRegistry::findEvent(std::string_view name) const {
    std::lock_guard lock(mutex_);
    const auto it = events_.find(name);
    return it != events_.end() ? it->second.get() : nullptr;
}

const TypeDescriptor* TypeRegistry::findTypeByName(std::string_view name) const {
    std::lock_guard lock(mutex_);
    const auto it = types_.find(name);
    return it != types_.end() ? it->second.get() : nullptr;
}

const TypeDescriptor* TypeRegistry::findTypeById(std::uint32_t typeId) const {
    std::lock_guard lock(mutex_);
    const auto it = typesById_.find(typeId);
    return it != typesById_.end() ? it->second : nullptr;
}

std::vector<const FunctionDescriptor*> TypeRegistry::functionSnapshot() const {
    std::vector<const FunctionDescriptor*> out;
    std::lock_guard lock(mutex_);
    out.reserve(functions_.size());
    for (const auto& entry : functions_) {
        out.push_back(entry.second.get());
    }
    return out;
}

std::vector<const TypeDescriptor*> TypeRegistry::typeSnapshot() const {
    std::vector<const TypeDescriptor*> out;
    std::lock_guard lock(mutex_);
    out.reserve(types_.size());
    for (const auto& entry : types_) {
        out.push_back(entry.second.get());
    }
    return out;
}

std::vector<const EventDescriptor*> TypeRegistry::eventSnapshot() const {
    std::vector<const EventDescriptor*> out;
    std::lock_guard lock(mutex_);
    out.reserve(events_.size());
    for (const auto& entry : events_) {
        out.push_back(entry.second.get());
    }
    return out;
}

const char* TypeRegistry::enumeratorName(std::uint32_t typeId, std::int32_t number) const {
    const TypeDescriptor* descriptor = findTypeById(typeId);
    if (descriptor == nullptr) {
        return nullptr;
    }
    const EnumeratorDescriptor* enumerator = descriptor->enumeratorByNumber(number);
    return enumerator != nullptr ? enumerator->name.c_str() : nullptr;
}

bool TypeRegistry::hasEnumerator(const TypeDescriptor* descriptor, std::int32_t number) noexcept {
    return descriptor != nullptr && descriptor->hasEnumerator(number);
}

std::uint64_t TypeRegistry::changeCount() const {
    std::lock_guard lock(mutex_);
    return changeCount_;
}

void TypeRegistry::clear() {
    NameMap<FunctionDescriptor> functions;
    NameMap<EventDescriptor> events;
    NameMap<TypeDescriptor> types;
    std::vector<std::unique_ptr<FunctionDescriptor>> retiredFunctions;
    std::vector<std::unique_ptr<EventDescriptor>> retiredEvents;
    {
        std::lock_guard lock(mutex_);
        functions.swap(functions_);
        events.swap(events_);
        types.swap(types_);
        typesById_.clear();
        retiredFunctions.swap(retiredFunctions_);
        retiredEvents.swap(retiredEvents_);
        initialised_ = false;
    }
    // Destroyed here, outside the lock (handlers may call back into the registry).
}

void TypeRegistry::markInitialised() {
    std::lock_guard lock(mutex_);
    initialised_ = true;
}

bool TypeRegistry::isInitialised() const {
    std::lock_guard lock(mutex_);
    return initialised_;
}

}  // namespace mox
