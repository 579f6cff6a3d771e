#include "binding/api_description.h"

#include "binding/type_descriptor.h"
#include "binding/type_ref.h"

namespace mox {

namespace {

template <class Record>
void link(std::vector<Record>& records, std::size_t first, std::size_t count) {
    for (std::size_t i = 0; i + 1 < count; ++i) {
        records[first + i].next = &records[first + i + 1];
    }
    if (count != 0) {
        records[first + count - 1].next = nullptr;
    }
}

template <class Record>
const Record* firstOf(const std::vector<Record>& records, std::size_t first, std::size_t count) {
    return count != 0 ? &records[first] : nullptr;
}

// Appends the tag pointers and returns where they start (null for no tags).
const char* const* appendTags(std::vector<const char*>& out, const std::vector<std::string>& tags) {
    if (tags.empty()) {
        return nullptr;
    }
    const std::size_t first = out.size();
    for (const std::string& tag : tags) {
        out.push_back(tag.c_str());
    }
    return &out[first];
}

}  // namespace

const HostApiDescription& ApiDescription::describeApi(
    const std::vector<const FunctionDescriptor*>& functions,
    const std::vector<const TypeDescriptor*>& types,
    const std::vector<const EventDescriptor*>& events) {
    // Size every array first: records point into them, so they must never reallocate.
    std::size_t functionCount = 0, argumentCount = 0, typeCount = 0, fieldCount = 0;
    std::size_t enumeratorCount = 0, eventCount = 0, tagCount = 0;
    for (const FunctionDescriptor* function : functions) {
        if (function != nullptr) {
            ++functionCount;
            argumentCount += function->arguments.size();
            tagCount += function->tags.size();
        }
    }
    for (const TypeDescriptor* type : types) {
        if (type != nullptr) {
            ++typeCount;
            fieldCount += type->fields.size();
            enumeratorCount += type->fields.empty() ? type->enumerators.size() : 0;
            tagCount += type->tags.size();
        }
    }
    for (const EventDescriptor* event : events) {
        if (event != nullptr) {
            ++eventCount;
            tagCount += event->tags.size();
        }
    }

    description_ = HostApiDescription{};
    functions_.clear();
    arguments_.clear();
    types_.clear();
    fields_.clear();
    enumerators_.clear();
    events_.clear();
    tags_.clear();
    functions_.reserve(functionCount);
    arguments_.reserve(argumentCount);
    types_.reserve(typeCount);
    fields_.reserve(fieldCount);
    enumerators_.reserve(enumeratorCount);
    events_.reserve(eventCount);
    tags_.reserve(tagCount);

    for (const FunctionDescriptor* function : functions) {
        if (function == nullptr) {
            continue;
        }
        const std::size_t firstArgument = arguments_.size();
        for (const ArgumentDescriptor& argument : function->arguments) {
            const TypeRef& type = argument.reportedType();
            arguments_.push_back(HostArgumentRecord{
                nullptr, argument.name.c_str(), argument.description.c_str(),
                hostKindNumber(type.kind), hostKindNumber(type.elementKind), hostTypeName(type),
                static_cast<std::uint8_t>(argument.optional ? 1 : 0)});
        }
        const std::size_t count = arguments_.size() - firstArgument;
        link(arguments_, firstArgument, count);

        const TypeRef& result = function->reportedResult();
        const char* const* tags = appendTags(tags_, function->tags);
        const char* async = "";
        if (function->async && result.descriptor != nullptr) {
            async = result.descriptor->name.c_str();
        }
        functions_.push_back(HostFunctionRecord{
            nullptr, nullptr, nullptr, function->name.c_str(), function->nameSpace.c_str(),
            firstOf(arguments_, firstArgument, count), static_cast<std::uint32_t>(count),
            hostKindNumber(result.kind), hostKindNumber(result.elementKind), hostTypeName(result),
            function->description.c_str(), function->help.c_str(),
            static_cast<std::uint8_t>(function->threadSafe ? 1 : 0), async, tags,
            static_cast<std::uint32_t>(function->tags.size())});
    }

    for (const TypeDescriptor* type : types) {
        if (type == nullptr) {
            continue;
        }
        const std::size_t firstField = fields_.size();
        const std::size_t firstEnumerator = enumerators_.size();
        std::size_t count = 0;
        if (!type->fields.empty()) {
            for (const FieldDescriptor& field : type->fields) {
                const TypeRef& fieldType = field.reportedType();
                fields_.push_back(HostFieldRecord{
                    nullptr, field.name.c_str(), field.description.c_str(), field.offset,
                    hostKindNumber(fieldType.kind), hostKindNumber(fieldType.elementKind),
                    hostTypeName(fieldType), static_cast<std::uint8_t>(field.optional ? 1 : 0)});
            }
            count = type->fields.size();
            link(fields_, firstField, count);
        } else {
            // The map is ordered by name, which is the order the host expects.
            for (const auto& [key, enumerator] : type->enumerators) {
                enumerators_.push_back(HostEnumeratorRecord{nullptr, enumerator.name.c_str(),
                                                            enumerator.description.c_str(),
                                                            enumerator.number});
            }
            count = type->enumerators.size();
            link(enumerators_, firstEnumerator, count);
        }
        const bool hasFields = !type->fields.empty();
        types_.push_back(
            HostTypeRecord{nullptr, type->name.c_str(), type->nameSpace.c_str(), type->size,
                           type->description.c_str(), appendTags(tags_, type->tags),
                           static_cast<std::uint32_t>(type->tags.size()),
                           hasFields ? firstOf(fields_, firstField, count) : nullptr,
                           hasFields ? nullptr : firstOf(enumerators_, firstEnumerator, count),
                           static_cast<std::uint32_t>(count)});
    }

    for (const EventDescriptor* event : events) {
        if (event == nullptr) {
            continue;
        }
        events_.push_back(HostEventRecord{nullptr, event->name.c_str(), event->nameSpace.c_str(),
                                          hostTypeName(event->payload), event->description.c_str(),
                                          appendTags(tags_, event->tags),
                                          static_cast<std::uint32_t>(event->tags.size())});
    }

    link(functions_, 0, functions_.size());
    link(types_, 0, types_.size());
    link(events_, 0, events_.size());
    description_ = HostApiDescription{
        firstOf(functions_, 0, functions_.size()), static_cast<std::uint32_t>(functions_.size()),
        firstOf(types_, 0, types_.size()),         static_cast<std::uint32_t>(types_.size()),
        firstOf(events_, 0, events_.size()),       static_cast<std::uint32_t>(events_.size())};
    return description_;
}

}  // namespace mox
