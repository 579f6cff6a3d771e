// libFuzzer target: arbitrary requests go through the router to a small table of bound test
// functions (literal and pattern templates, parameters of every kind, dotted and indexed
// names, a body parameter, a function that asks for the request). Sanitizers catch memory
// faults; the run also stops when a response is neither a result nor an error with a message,
// when `releaseResponse` leaves a byte set, or when the allocation layer's live block count
// does not return to where it started.
//
// Input: sections separated by the byte 0xFF:
//   0  control: method code, flags (bit 0 dispatch with the registry, bit 1 go through
//      `handleFunctionRequest` of the entry chosen by the third byte, bit 2 null path,
//      bit 3 null content type, bit 4 null body with its size kept, bit 5 null custom method)
//   1  path with query      2  content type      3  body      4  custom method
//   5  headers, one per line "name:value" (a line without ":" has a null value; a line
//      starting with "!" a null name)
//   6  host arguments, one per line "name=Kpayload" ("=" first: unnamed) with K one of
//      b s u f t x c m (bool, signed, unsigned, float, text, blob, collection of the payload's
//      bytes as unsigned numbers, structure with one member per byte) or any other byte as
//      a raw kind number
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/builtin_types.h"
#include "binding/host_value.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "plugin/entry/allocation.h"
#include "routing/endpoint.h"
#include "routing/function_table.h"
#include "routing/host_request.h"
#include "routing/host_response.h"
#include "routing/request_dispatch.h"

namespace {

using namespace mox;

enum class Colour : std::int32_t { Red = 1, Green = 2 };

struct Item {
    std::string name;
    std::uint32_t count = 0;
    std::vector<std::int64_t> values;
    Colour colour = Colour::Red;
};

struct Fixture {
    TypeRegistry registry;
    FunctionRouter router{registry};
    std::vector<Route> routes;

    Fixture() {
        setUpBuiltinTypes(registry);
        registry.beginEnum<Colour>("Colour")
            .value("Red", Colour::Red)
            .value("Green", Colour::Green)
            .finish();
        registry.beginStruct<Item>("Item")
            .field("name", &Item::name)
            .field("count", &Item::count, FieldOptions{.required = true})
            .field("values", &Item::values)
            .field("colour", &Item::colour)
            .finish();
        router.bind(RequestMethod::Get, "/lit", [] { return Item{"x", 1, {1, 2}, Colour::Green}; });
        router
            .bind(RequestMethod::None, "/items/{id}/{+rest}",
                  [](std::uint32_t id, std::string rest, bool flag, std::optional<std::int64_t> n,
                     std::vector<std::string> list, Item item, Value any, Value data,
                     std::unordered_map<std::string, double> weights, double d, std::int8_t small,
                     Colour colour, ValueBytes blob, std::vector<Item> items) {
                      Value out;
                      out.member("id").setUnsigned(id);
                      out.member("rest").setString(rest);
                      out.member("flag").setBool(flag);
                      out.member("n").setSigned(n.value_or(-1));
                      out.member("list").setUnsigned(list.size());
                      out.member("item").setString(item.name);
                      out.member("any").assign(any);
                      out.member("data").assign(data);
                      out.member("weights").setUnsigned(weights.size());
                      out.member("d").setFloat(d);
                      out.member("small").setSigned(small);
                      out.member("colour").setSigned(static_cast<std::int32_t>(colour));
                      out.member("blob").setUnsigned(blob.size());
                      out.member("items").setUnsigned(items.size());
                      return HandlerReply<Value>(std::move(out)).header("x-id", std::to_string(id));
                  },
                  {"id", "rest", "flag", "n", "list", "item", "any", "data", "weights", "d",
                   "small", "colour", "blob", "items"})
            .location("id", ParameterLocation::Path)
            .location("data", ParameterLocation::Body)
            .location("d", ParameterLocation::Query)
            .location("small", ParameterLocation::Header);
        router.bind(RequestMethod::Post, "/doc{#frag}",
                    [](const RequestInfo& info, std::string frag, std::vector<Item> items) {
                        if (frag == "fail") {
                            return HandlerReply<std::string>::failure(409, "conflict");
                        }
                        return HandlerReply<std::string>(std::string(info.path) +
                                                         std::to_string(items.size()))
                            .status(200)
                            .category(2)
                            .text(frag);
                    },
                    {"frag", "items"});
        router.bindFunction("Custom", [](std::string a) { return a; }, {"a"})
            .customMethod("PROBE")
            .templateText("/custom/{a}");
        router.bindFunction("Help", [] { return 0; }).tag("$builtin");
        router.bindFunction("Builtin", [] { return 0; }).tag("$builtin");
        router.buildFunctionTable();
        for (const FunctionEntry& entry : router.entries()) {
            const auto* context =
                static_cast<const DispatchContext*>(entry.description.dispatchContext);
            Route route;
            if (context != nullptr && context->binding != nullptr &&
                buildRoute(*context->binding, route)) {
                routes.push_back(std::move(route));
            }
        }
    }
};

Fixture& fixture() {
    static Fixture* instance = new Fixture();
    return *instance;
}

std::vector<std::string_view> splitSections(std::string_view input) {
    std::vector<std::string_view> sections;
    while (sections.size() < 6) {
        const std::size_t at = input.find('\xff');
        sections.push_back(input.substr(0, at));
        if (at == std::string_view::npos) {
            input = {};
            break;
        }
        input.remove_prefix(at + 1);
    }
    sections.push_back(input);
    sections.resize(7);
    return sections;
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t at = text.find('\n');
        out.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            break;
        }
        text.remove_prefix(at + 1);
    }
    return out;
}

// Owns the texts and the host values of one request.
struct Storage {
    std::deque<std::string> texts;
    std::vector<HostHeaderEntry> headers;
    std::vector<HostArgumentEntry> arguments;
    std::vector<HostValue> owned;

    const char* keep(std::string_view text) {
        texts.emplace_back(text);
        return texts.back().c_str();
    }
    ~Storage() {
        for (HostValue& value : owned) {
            releaseHostValue(value);
        }
    }
};

HostValue hostArgument(char kind, std::string_view payload, Storage& storage) {
    HostValue value{};
    switch (kind) {
        case 'b':
            setHostBool(value, !payload.empty() && payload[0] != '0');
            break;
        case 's':
            setHostSigned(value, std::strtoll(std::string(payload).c_str(), nullptr, 10));
            break;
        case 'u':
            setHostUnsigned(value, std::strtoull(std::string(payload).c_str(), nullptr, 10));
            break;
        case 'f':
            setHostFloat(value, std::strtod(std::string(payload).c_str(), nullptr));
            break;
        case 't':
            value.kind = HostKind::BorrowedString;
            value.payload.string.text = storage.keep(payload);
            value.payload.string.length = static_cast<std::uint32_t>(payload.size());
            break;
        case 'x':
            (void)setHostBlob(value, payload.data(), payload.size());
            storage.owned.push_back(value);
            break;
        case 'c': {
            HostValue* elements =
                setHostCollection(value, static_cast<std::uint32_t>(payload.size()));
            for (std::size_t i = 0; elements != nullptr && i < payload.size(); ++i) {
                setHostUnsigned(elements[i], static_cast<unsigned char>(payload[i]));
            }
            storage.owned.push_back(value);
            break;
        }
        case 'm': {
            HostMember* members =
                setHostStructure(value, static_cast<std::uint32_t>(payload.size()));
            for (std::size_t i = 0; members != nullptr && i < payload.size(); ++i) {
                const char name[2] = {payload[i], '\0'};
                (void)setHostMemberName(members[i], name);
                setHostSigned(members[i].value, static_cast<unsigned char>(payload[i]));
            }
            storage.owned.push_back(value);
            break;
        }
        default:
            value.kind = static_cast<HostKind>(static_cast<unsigned char>(kind));
            break;
    }
    return value;
}

std::int64_t liveBlocks() {
    const MemoryStats stats = memoryStats();
    return static_cast<std::int64_t>(stats.allocations) - static_cast<std::int64_t>(stats.frees);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    const std::vector<std::string_view> sections =
        splitSections(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string_view control = sections[0];
    const std::uint8_t method = control.size() > 0 ? static_cast<std::uint8_t>(control[0]) : 2;
    const std::uint8_t flags = control.size() > 1 ? static_cast<std::uint8_t>(control[1]) : 0;
    const std::uint8_t entry = control.size() > 2 ? static_cast<std::uint8_t>(control[2]) : 0;

    const std::int64_t before = liveBlocks();
    {
        Storage storage;
        const std::string path(sections[1]);
        const std::string contentType(sections[2]);
        const std::string body(sections[3]);
        const std::string customMethod(sections[4]);
        for (std::string_view line : lines(sections[5])) {
            const std::size_t colon = line.find(':');
            const char* name =
                line.starts_with('!') ? nullptr : storage.keep(line.substr(0, colon));
            const char* value =
                colon == std::string_view::npos ? nullptr : storage.keep(line.substr(colon + 1));
            storage.headers.push_back({name, value});
        }
        for (std::string_view line : lines(sections[6])) {
            const std::size_t equals = line.find('=');
            if (equals == std::string_view::npos || equals + 1 >= line.size()) {
                continue;
            }
            const char* name = equals == 0 ? nullptr : storage.keep(line.substr(0, equals));
            storage.arguments.push_back(
                {name, hostArgument(line[equals + 1], line.substr(equals + 2), storage)});
        }

        HostRequest request{};
        request.method = method;
        request.path = (flags & 4) != 0 ? nullptr : path.c_str();
        request.arguments = storage.arguments.empty() ? nullptr : storage.arguments.data();
        request.argumentCount = static_cast<std::uint32_t>(storage.arguments.size());
        request.headers = storage.headers.empty() ? nullptr : storage.headers.data();
        request.headerCount = static_cast<std::uint32_t>(storage.headers.size());
        request.contentType = (flags & 8) != 0 ? nullptr : contentType.c_str();
        // The body is not NUL-terminated: a copy of exactly its bytes.
        std::unique_ptr<std::uint8_t[]> bodyBytes(new std::uint8_t[body.size() + 1]);
        std::memcpy(bodyBytes.get(), body.data(), body.size());
        request.body = (flags & 16) != 0 ? nullptr : bodyBytes.get();
        request.bodySize = static_cast<std::uint32_t>(body.size());
        request.callerContext = 7;
        request.customMethod = (flags & 32) != 0 ? nullptr : customMethod.c_str();

        HostResponse response{};
        if ((flags & 2) != 0 && !f.router.entries().empty()) {
            const FunctionEntry& chosen = f.router.entries()[entry % f.router.entries().size()];
            request.context = chosen.description.dispatchContext;
            chosen.handler(&response, &request);
        } else {
            dispatchRequest((flags & 1) != 0 ? &f.registry : nullptr, &response, &request,
                            f.routes);
        }
        if (response.release != &releaseResponse) {
            __builtin_trap();
        }
        if (response.isError != 0) {
            if (response.errorText == nullptr || response.errorText[0] == '\0' ||
                response.body.kind != HostKind::Empty || response.stream != nullptr) {
                __builtin_trap();
            }
        } else if (response.errorText != nullptr || response.text == nullptr) {
            __builtin_trap();
        }
        response.release(&response);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&response);
        for (std::size_t i = 0; i < sizeof response; ++i) {
            if (bytes[i] != 0) {
                __builtin_trap();
            }
        }
    }
    if (liveBlocks() != before) {
        __builtin_trap();
    }
    return 0;
}
