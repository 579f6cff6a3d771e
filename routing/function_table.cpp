#include "routing/function_table.h"

#include <cstring>
#include <map>
#include <string_view>
#include <utility>

#include "binding/type_descriptor.h"
#include "binding/type_registry.h"
#include "routing/request_dispatch.h"

namespace mox {

FunctionRouter::FunctionRouter(TypeRegistry& registry) : registry_(registry) {}

FunctionRouter::~FunctionRouter() = default;

FunctionBinding& FunctionRouter::addBinding(const FunctionDescriptor& descriptor) {
    auto binding = std::make_unique<FunctionBinding>();
    binding->descriptor = &descriptor;
    binding->functionName = descriptor.name;
    binding->locations.assign(descriptor.arguments.size(), 0);
    FunctionBinding* raw = binding.get();
    std::lock_guard lock(mutex_);
    bindings_.push_back(std::move(binding));
    byDescriptor_[&descriptor] = raw;
    return *raw;
}

const FunctionBinding* FunctionRouter::bindingFor(const FunctionDescriptor& descriptor) const {
    std::lock_guard lock(mutex_);
    const auto it = byDescriptor_.find(&descriptor);
    return it != byDescriptor_.end() ? it->second : nullptr;
}

bool FunctionRouter::canRegister(std::string_view name) const {
    const FunctionDescriptor* existing = registry_.findFunction(name);
    return existing == nullptr || bindingFor(*existing) == nullptr;
}

const DispatchContext* FunctionRouter::dispatchContextFor(const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto it = contexts_.find(name);
    return it != contexts_.end() ? it->second.get() : nullptr;
}

const HostApiDescription& FunctionRouter::buildFunctionTable() {
    // 1. The live bindings, indexed by function name. A binding whose function was
    // unregistered (or replaced by a registration of the same name) has no live descriptor:
    // it is found by walking the registry's functions, never by reading its own descriptor
    // pointer, which may dangle. The index is ordered by name so every target builds the
    // same table.
    const std::vector<const FunctionDescriptor*> functions = registry_.functionSnapshot();
    std::map<std::string_view, const FunctionBinding*> index;
    {
        std::lock_guard lock(mutex_);
        for (const FunctionDescriptor* function : functions) {
            const auto live = byDescriptor_.find(function);
            if (live != byDescriptor_.end() && live->second->functionName == function->name) {
                index[function->name] = live->second;
            }
        }
    }

    // 2. The API description over the same snapshot.
    const HostApiDescription& api =
        description_.describeApi(functions, registry_.typeSnapshot(), registry_.eventSnapshot());

    // 3. One entry per binding whose function has a record (and whose template compiles).
    struct Planned {
        const FunctionBinding* binding;
        const HostFunctionRecord* record;
    };
    std::vector<Planned> planned;
    planned.reserve(index.size());
    std::size_t locationCount = 0;
    std::size_t stringListCount = 0;
    for (const auto& [name, binding] : index) {
        if (!binding->templateValid) {
            continue;
        }
        const HostFunctionRecord* record = nullptr;
        for (const HostFunctionRecord* f = api.functions; f != nullptr; f = f->next) {
            if (f->name != nullptr && name == f->name) {
                record = f;
                break;
            }
        }
        if (record == nullptr) {
            continue;  // unregistered after binding: it cannot be named in the table
        }
        planned.push_back({binding, record});
        locationCount += binding->locations.size();
        stringListCount += binding->stringLists.size();
    }

    entries_.assign(planned.size(), FunctionEntry{});
    locationNodes_.assign(locationCount, ParameterLocationNode{});
    stringListNodes_.assign(stringListCount, StringListNode{});
    stringListTexts_.clear();
    stringListTexts_.reserve(stringListCount);
    std::size_t nextLocation = 0;
    std::size_t nextStringList = 0;
    for (std::size_t i = 0; i < planned.size(); ++i) {
        const FunctionBinding& binding = *planned[i].binding;
        FunctionEntry& entry = entries_[i];
        std::memcpy(static_cast<void*>(&entry.description), planned[i].record,
                    sizeof(HostFunctionRecord));
        entry.description.next = i + 1 < planned.size() ? &entries_[i + 1].description : nullptr;

        const ParameterLocationNode* firstLocation = nullptr;
        for (std::size_t p = 0; p < binding.locations.size(); ++p) {
            ParameterLocationNode& node = locationNodes_[nextLocation + p];
            const std::uint32_t code = binding.locations[p];
            node.location = code >= 1 && code <= 5 ? code : 0;
            node.next =
                p + 1 < binding.locations.size() ? &locationNodes_[nextLocation + p + 1] : nullptr;
            if (p == 0) {
                firstLocation = &node;
            }
        }
        nextLocation += binding.locations.size();
        entry.locations = firstLocation;

        entry.templateText = binding.templateText.c_str();
        entry.method = binding.method >= 1 && binding.method <= 8 ? binding.method : 0;
        entry.flag = binding.flag;

        const StringListNode* firstList = nullptr;
        for (std::size_t l = 0; l < binding.stringLists.size(); ++l) {
            std::vector<const char*>& texts = stringListTexts_.emplace_back();
            for (const std::string& text : binding.stringLists[l]) {
                texts.push_back(text.c_str());
            }
            StringListNode& node = stringListNodes_[nextStringList + l];
            node.texts = texts.empty() ? nullptr : texts.data();
            node.count = static_cast<std::uint32_t>(texts.size());
            node.next = l + 1 < binding.stringLists.size()
                            ? &stringListNodes_[nextStringList + l + 1]
                            : nullptr;
            if (l == 0) {
                firstList = &node;
            }
        }
        nextStringList += binding.stringLists.size();
        entry.stringLists = firstList;
        entry.stringListCount = static_cast<std::uint32_t>(binding.stringLists.size());
        entry.customMethod = binding.customMethod.c_str();
    }

    // 5. Dispatch contexts: one per function name, created once, never moved.
    {
        std::lock_guard lock(mutex_);
        // A function left out of this table answers 404 through a context the host kept.
        for (auto& entry : contexts_) {
            entry.second->binding = nullptr;
        }
        contexts_.reserve(contexts_.size() + entries_.size());
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            FunctionEntry& entry = entries_[i];
            std::unique_ptr<DispatchContext>& context = contexts_[entry.description.name];
            if (context == nullptr) {
                context = std::make_unique<DispatchContext>();
            }
            context->registry = &registry_;
            context->binding = planned[i].binding;
            entry.handler = &handleFunctionRequest;
            entry.description.dispatchContext = context.get();
        }
    }

    // 4. Types and events are those of the API description.
    table_ = api;
    table_.functions = entries_.empty() ? nullptr : &entries_[0].description;
    table_.functionCount = static_cast<decltype(table_.functionCount)>(entries_.size());
    return table_;
}

}  // namespace mox
