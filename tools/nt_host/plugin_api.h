// File: tools/nt_host/plugin_api.h
//
// The plugin's API as the host receives it at load time, read out of the function table that
// the load record points to: the function entries (each with its URL template, method and
// parameter locations), the type records with their fields or enumerators, and the event
// records. Everything is copied into owned strings, so the model outlives the plugin.
//
// The records are plain data from the plugin: the reader follows each array's `next` chain but
// never more records than the array's count says, treats a null text as empty, and a null
// array as an empty one, so a broken table yields a short model rather than a crash.
//
// `findFunction` does the host's part of routing: it picks the function-table entry that a
// request of a method and a path goes to (method first, then the path against the entry's
// template, the same matching the plugin's router applies).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mox {
struct HostApiDescription;
}

namespace mox::nthost {

class JsonWriter;

struct ApiTypeRef {
    std::uint32_t kind = 0;
    std::uint32_t elementKind = 0;
    std::string typeName;
};

struct ApiArgument {
    std::string name;
    std::string description;
    ApiTypeRef type;
    bool optional = false;
    std::uint32_t location = 0;  // 0 any, 1 query, 2 path, 4 header, 5 body
};

struct ApiFunction {
    std::string name;
    std::string nameSpace;
    std::string templateText;
    std::uint32_t method = 0;  // 0 any, 1 DELETE ... 8 custom
    std::string customMethod;
    ApiTypeRef result;
    std::string description;
    std::string help;
    bool threadSafe = false;
    std::string async;
    std::vector<std::string> tags;
    std::vector<ApiArgument> arguments;
};

struct ApiField {
    std::string name;
    std::string description;
    std::uint32_t offset = 0;
    ApiTypeRef type;
    bool optional = false;
};

struct ApiEnumerator {
    std::string name;
    std::string description;
    std::int32_t number = 0;
};

struct ApiType {
    std::string name;
    std::string nameSpace;
    std::uint32_t nativeSize = 0;
    std::string description;
    std::vector<std::string> tags;
    std::vector<ApiField> fields;
    std::vector<ApiEnumerator> enumerators;
};

struct ApiEvent {
    std::string name;
    std::string nameSpace;
    std::string payloadTypeName;
    std::string description;
    std::vector<std::string> tags;
};

struct PluginApi {
    std::vector<ApiFunction> functions;
    std::vector<ApiType> types;
    std::vector<ApiEvent> events;
};

// Reads the host function table (a `HostApiDescription` whose function array holds function
// entries). A null table gives an empty model.
PluginApi readPluginApi(const HostApiDescription* table);

// The entry a request of `method` (1..7) and `path` is routed to, or null. An entry with
// method 0 accepts every method; an entry with an empty template is reached by its name.
// Among several matches a literal template wins, then the first in table order.
const ApiFunction* findFunction(const PluginApi& api, std::uint32_t method, std::string_view path);

// "DELETE", "GET", ... for 1..7, "*" for 0, "CUSTOM" for 8, "" otherwise; and the reverse
// (0 for an unknown name).
const char* methodName(std::uint32_t method) noexcept;
std::uint32_t methodCode(std::string_view name) noexcept;

// "bool", "int8", ..., "map" for the kinds 1 to 19; "none" for 0; "?" otherwise.
const char* kindName(std::uint32_t kind) noexcept;
// A type reference as text: "string", "vector<GameLatencyExperimentResult>", "uint8", ...
std::string typeRefText(const ApiTypeRef& type);

// Text for `nt-host describe`: functions (method, template, result, arguments), then types,
// then events, each sorted by name.
std::string renderApiText(const PluginApi& api);
// The same as one JSON object {"functions": [...], "types": [...], "events": [...]}.
void writeApiJson(JsonWriter& json, const PluginApi& api);

}  // namespace mox::nthost
