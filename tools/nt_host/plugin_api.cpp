#include "tools/nt_host/plugin_api.h"

#include <algorithm>
#include <cstdio>

#include "binding/api_description.h"
#include "routing/function_table.h"
#include "routing/route_template.h"
#include "tools/nt_host/json_writer.h"

namespace mox::nthost {
namespace {

std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

std::vector<std::string> tagsOf(const char* const* tags, std::uint32_t count) {
    std::vector<std::string> out;
    if (tags == nullptr)
        return out;
    for (std::uint32_t i = 0; i < count; ++i)
        out.push_back(text(tags[i]));
    return out;
}

// Follows `first`'s next chain for at most `count` records.
template <class Record, class Visit>
void walk(const Record* first, std::uint32_t count, Visit visit) {
    const Record* record = first;
    for (std::uint32_t i = 0; i < count && record != nullptr; ++i) {
        visit(*record);
        record = record->next;
    }
}

ApiFunction readFunction(const FunctionEntry& entry) {
    // The packed record's fields are read by value: no reference into it is taken.
    const HostFunctionRecord& record = entry.description;
    ApiFunction function;
    function.name = text(record.name);
    function.nameSpace = text(record.nameSpace);
    function.templateText = text(entry.templateText);
    function.method = entry.method;
    function.customMethod = text(entry.customMethod);
    function.result = {record.resultKind, record.resultElementKind, text(record.resultTypeName)};
    function.description = text(record.description);
    function.help = text(record.help);
    function.threadSafe = record.threadSafe != 0;
    function.async = text(record.async);
    function.tags = tagsOf(record.tags, record.tagCount);
    walk(record.arguments, record.argumentCount, [&](const HostArgumentRecord& argument) {
        ApiArgument out;
        out.name = text(argument.name);
        out.description = text(argument.description);
        out.type = {argument.kind, argument.elementKind, text(argument.typeName)};
        out.optional = argument.optional != 0;
        function.arguments.push_back(std::move(out));
    });
    const ParameterLocationNode* location = entry.locations;
    for (ApiArgument& argument : function.arguments) {
        if (location == nullptr)
            break;
        argument.location = location->location;
        location = location->next;
    }
    return function;
}

bool pathMatches(const ApiFunction& function, std::string_view path, bool& literal) {
    const std::string& pattern =
        function.templateText.empty() ? function.name : function.templateText;
    literal = pattern.find('{') == std::string::npos;
    if (literal)
        return pattern == path;
    CompiledTemplate compiled = compileTemplate(pattern);
    std::vector<std::string_view> captures;
    return compiled.ok() && compiled.matcher->match(path, captures);
}

const char* locationName(std::uint32_t location) {
    switch (location) {
        case 1:
            return "query";
        case 2:
            return "path";
        case 4:
            return "header";
        case 5:
            return "body";
        default:
            return "any";
    }
}

void writeTypeRef(JsonWriter& json, const ApiTypeRef& type) {
    json.beginObject();
    json.key("kind").string(kindName(type.kind));
    if (type.elementKind != 0)
        json.key("elementKind").string(kindName(type.elementKind));
    if (!type.typeName.empty())
        json.key("typeName").string(type.typeName);
    json.endObject();
}

void writeTags(JsonWriter& json, const std::vector<std::string>& tags) {
    json.key("tags").beginArray();
    for (const std::string& tag : tags)
        json.string(tag);
    json.endArray();
}

template <class T>
std::vector<const T*> sortedByName(const std::vector<T>& items) {
    std::vector<const T*> sorted;
    for (const T& item : items)
        sorted.push_back(&item);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const T* a, const T* b) { return a->name < b->name; });
    return sorted;
}

}  // namespace

PluginApi readPluginApi(const HostApiDescription* table) {
    PluginApi api;
    if (table == nullptr)
        return api;
    const auto* entry = reinterpret_cast<const FunctionEntry*>(table->functions);
    for (std::uint32_t i = 0; i < table->functionCount && entry != nullptr; ++i) {
        api.functions.push_back(readFunction(*entry));
        entry = reinterpret_cast<const FunctionEntry*>(entry->description.next);
    }
    walk(table->types, table->typeCount, [&](const HostTypeRecord& record) {
        ApiType type;
        type.name = text(record.name);
        type.nameSpace = text(record.nameSpace);
        type.nativeSize = record.nativeSize;
        type.description = text(record.description);
        type.tags = tagsOf(record.tags, record.tagCount);
        walk(record.fields, record.fields != nullptr ? record.count : 0,
             [&](const HostFieldRecord& field) {
                 type.fields.push_back({text(field.name),
                                        text(field.description),
                                        field.offset,
                                        {field.kind, field.elementKind, text(field.typeName)},
                                        field.optional != 0});
             });
        walk(record.enumerators, record.enumerators != nullptr ? record.count : 0,
             [&](const HostEnumeratorRecord& enumerator) {
                 type.enumerators.push_back(
                     {text(enumerator.name), text(enumerator.description), enumerator.number});
             });
        api.types.push_back(std::move(type));
    });
    walk(table->events, table->eventCount, [&](const HostEventRecord& record) {
        api.events.push_back({text(record.name), text(record.nameSpace),
                              text(record.payloadTypeName), text(record.description),
                              tagsOf(record.tags, record.tagCount)});
    });
    return api;
}

const ApiFunction* findFunction(const PluginApi& api, std::uint32_t method, std::string_view path) {
    const ApiFunction* chosen = nullptr;
    for (const ApiFunction& function : api.functions) {
        if (function.method != 0 && function.method != method)
            continue;
        bool literal = false;
        if (!pathMatches(function, path, literal))
            continue;
        if (literal)
            return &function;
        if (chosen == nullptr)
            chosen = &function;
    }
    return chosen;
}

const char* methodName(std::uint32_t method) noexcept {
    static const char* const names[] = {"*",     "DELETE", "GET", "HEAD",  "OPTIONS",
                                        "PATCH", "POST",   "PUT", "CUSTOM"};
    return method < 9 ? names[method] : "";
}

std::uint32_t methodCode(std::string_view name) noexcept {
    for (std::uint32_t code = 1; code <= 7; ++code) {
        if (name == methodName(code))
            return code;
    }
    return 0;
}

const char* kindName(std::uint32_t kind) noexcept {
    static const char* const names[] = {"none",   "bool",   "int8",   "uint8",    "int16",
                                        "uint16", "int32",  "uint32", "int64",    "uint64",
                                        "float",  "double", "string", "object",   "blob",
                                        "vector", "enum",   "struct", "callback", "map"};
    return kind < 20 ? names[kind] : "?";
}

std::string typeRefText(const ApiTypeRef& type) {
    std::string element = type.typeName.empty() ? kindName(type.elementKind) : type.typeName;
    switch (type.kind) {
        case 15:
            return "vector<" + element + ">";
        case 19:
            return "map<string, " + element + ">";
        case 16:
        case 17:
            return type.typeName.empty() ? kindName(type.kind) : type.typeName;
        default:
            return kindName(type.kind);
    }
}

std::string renderApiText(const PluginApi& api) {
    std::string out;
    char line[512];
    out += "Functions (" + std::to_string(api.functions.size()) + ")\n";
    for (const ApiFunction* function : sortedByName(api.functions)) {
        const std::string route =
            function->templateText.empty() ? function->name : function->templateText;
        std::snprintf(line, sizeof line, "  %-7s %s\n", methodName(function->method),
                      route.c_str());
        out += line;
        out += "          name " + function->name + ", returns " + typeRefText(function->result);
        if (!function->async.empty())
            out += " (async)";
        out += "\n";
        for (const ApiArgument& argument : function->arguments) {
            out += "          argument " + argument.name + ": " + typeRefText(argument.type) +
                   " (" + locationName(argument.location) +
                   (argument.optional ? ", optional" : "") + ")\n";
        }
        if (!function->description.empty())
            out += "          " + function->description + "\n";
    }
    out += "\nTypes (" + std::to_string(api.types.size()) + ")\n";
    for (const ApiType* type : sortedByName(api.types)) {
        out += "  " + type->name + " (" + std::to_string(type->nativeSize) + " bytes";
        if (!type->enumerators.empty() || type->fields.empty())
            out += ", enum";
        out += ")\n";
        for (const ApiField& field : type->fields) {
            std::snprintf(line, sizeof line, "      %-26s %s%s @%u\n", field.name.c_str(),
                          typeRefText(field.type).c_str(), field.optional ? " (optional)" : "",
                          static_cast<unsigned>(field.offset));
            out += line;
        }
        for (const ApiEnumerator& enumerator : type->enumerators) {
            std::snprintf(line, sizeof line, "      %-26s = %d\n", enumerator.name.c_str(),
                          static_cast<int>(enumerator.number));
            out += line;
        }
    }
    out += "\nEvents (" + std::to_string(api.events.size()) + ")\n";
    for (const ApiEvent* event : sortedByName(api.events)) {
        out += "  " + event->name + " (payload " + event->payloadTypeName + ")";
        if (!event->description.empty())
            out += ": " + event->description;
        out += "\n";
    }
    return out;
}

void writeApiJson(JsonWriter& json, const PluginApi& api) {
    json.beginObject();
    json.key("functions").beginArray();
    for (const ApiFunction* function : sortedByName(api.functions)) {
        json.beginObject();
        json.key("name").string(function->name);
        json.key("nameSpace").string(function->nameSpace);
        json.key("method").string(methodName(function->method));
        if (function->method == 8)
            json.key("customMethod").string(function->customMethod);
        json.key("template").string(function->templateText);
        json.key("result");
        writeTypeRef(json, function->result);
        json.key("async").string(function->async);
        json.key("threadSafe").boolean(function->threadSafe);
        json.key("description").string(function->description);
        json.key("help").string(function->help);
        writeTags(json, function->tags);
        json.key("arguments").beginArray();
        for (const ApiArgument& argument : function->arguments) {
            json.beginObject();
            json.key("name").string(argument.name);
            json.key("type");
            writeTypeRef(json, argument.type);
            json.key("optional").boolean(argument.optional);
            json.key("location").string(locationName(argument.location));
            json.key("description").string(argument.description);
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    json.endArray();
    json.key("types").beginArray();
    for (const ApiType* type : sortedByName(api.types)) {
        json.beginObject();
        json.key("name").string(type->name);
        json.key("nameSpace").string(type->nameSpace);
        json.key("nativeSize").number(static_cast<std::uint64_t>(type->nativeSize));
        json.key("description").string(type->description);
        writeTags(json, type->tags);
        json.key("fields").beginArray();
        for (const ApiField& field : type->fields) {
            json.beginObject();
            json.key("name").string(field.name);
            json.key("type");
            writeTypeRef(json, field.type);
            json.key("offset").number(static_cast<std::uint64_t>(field.offset));
            json.key("optional").boolean(field.optional);
            json.key("description").string(field.description);
            json.endObject();
        }
        json.endArray();
        json.key("values").beginArray();
        for (const ApiEnumerator& enumerator : type->enumerators) {
            json.beginObject();
            json.key("name").string(enumerator.name);
            json.key("number").number(static_cast<std::int64_t>(enumerator.number));
            json.key("description").string(enumerator.description);
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    json.endArray();
    json.key("events").beginArray();
    for (const ApiEvent* event : sortedByName(api.events)) {
        json.beginObject();
        json.key("name").string(event->name);
        json.key("nameSpace").string(event->nameSpace);
        json.key("payloadType").string(event->payloadTypeName);
        json.key("description").string(event->description);
        writeTags(json, event->tags);
        json.endObject();
    }
    json.endArray();
    json.endObject();
}

}  // namespace mox::nthost
