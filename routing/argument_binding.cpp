#include "routing/argument_binding.h"

#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "binding/builtin_types.h"
#include "binding/host_value.h"
#include "binding/type_descriptor.h"
#include "binding/type_identity.h"
#include "binding/values/nesting_limit.h"
#include "formats/json_reader.h"
#include "formats/message_pack_reader.h"
#include "formats/yaml_reader.h"
#include "plugin/entry/allocation.h"
#include "routing/ascii.h"
#include "routing/host_request.h"
#include "routing/host_response.h"
#include "routing/request_dispatch.h"
#include "routing/route_template.h"
#include "text/format_message.h"

namespace mox {

namespace {

constexpr std::string_view kMessagePackType = "application/x-msgpack";
constexpr std::string_view kJsonType = "application/json";
constexpr std::string_view kJsonApiType = "application/vnd.api+json";
constexpr std::string_view kYamlBodyType = "application/x-yaml";
constexpr std::string_view kYamlTextType = "text/x-yaml";
constexpr std::string_view kOctetStreamType = "application/octet-stream";

void failUnknownArgument(CallContext& context, std::string_view name,
                         const FunctionDescriptor& function) {
    context.fail(formatMessage("Unknown argument '%1' for '%2'.", name, function.name));
}

// Reads an index segment: an unsigned number with C's automatic base (0x or 0X hexadecimal,
// a leading 0 octal, else decimal). REQUIRES: the segment begins with a decimal digit.
enum class IndexRead { Ok, BadFormat, OutOfRange };

IndexRead readIndex(std::string_view segment, std::uint64_t& out) {
    std::size_t i = 0;
    unsigned base = 10;
    if (segment.size() > 2 && segment[0] == '0' && (segment[1] == 'x' || segment[1] == 'X') &&
        detail::hexDigitValue(static_cast<unsigned char>(segment[2])) >= 0) {
        base = 16;
        i = 2;
    } else if (segment[0] == '0') {
        base = 8;
    }
    bool overflow = false;
    std::uint64_t value = 0;
    for (; i < segment.size(); ++i) {
        const int digit = detail::hexDigitValue(static_cast<unsigned char>(segment[i]));
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            break;
        }
        if (value > (std::numeric_limits<std::uint32_t>::max)()) {
            overflow = true;  // keep reading digits: trailing characters still count first
        } else {
            value = value * base + static_cast<unsigned>(digit);
        }
    }
    if (i != segment.size()) {
        return IndexRead::BadFormat;
    }
    if (overflow || value > 2147483647u) {
        return IndexRead::OutOfRange;
    }
    out = value;
    return IndexRead::Ok;
}

bool isStructuredKind(TypeKind kind) noexcept {
    return kind == TypeKind::Object || kind == TypeKind::Vector || kind == TypeKind::Struct;
}

// The text up to its first NUL, at most `size` bytes: the host does not promise a NUL.
std::string textCopy(const std::uint8_t* bytes, std::size_t size) {
    const auto* start = reinterpret_cast<const char*>(bytes);
    const void* nul = std::memchr(start, '\0', size);
    const std::size_t length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - start) : size;
    return std::string(start, length);
}

void bindBody(CallContext& context, ArgumentSet& arguments, const HostRequest& request) {
    if (request.body == nullptr || request.bodySize == 0) {
        return;
    }
    std::ptrdiff_t target = -1;
    for (std::size_t i = 0; i < arguments.values.size(); ++i) {
        if (arguments.locationOf(i) == static_cast<std::uint32_t>(ParameterLocation::Body)) {
            target = static_cast<std::ptrdiff_t>(i);
            break;
        }
    }
    if (target < 0) {
        return;
    }
    const std::string_view contentType = detail::hostText(request.contentType);
    ValueResult decoded;
    if (detail::startsWithAsciiNoCase(contentType, kMessagePackType)) {
        std::size_t consumed = 0;
        decoded = decodeMessagePack(request.body, request.bodySize, consumed);
        if (decoded.ok() && consumed < request.bodySize) {
            context.fail("Extra MessgePack data found in body");
            return;
        }
    } else if (detail::startsWithAsciiNoCase(contentType, kJsonType) ||
               detail::startsWithAsciiNoCase(contentType, kJsonApiType)) {
        decoded = parseJson(textCopy(request.body, request.bodySize));
    } else if (detail::startsWithAsciiNoCase(contentType, kYamlBodyType)) {
        decoded = parseYaml(textCopy(request.body, request.bodySize));
    } else {
        context.fail("Unsupported body content type");
        return;
    }
    if (!decoded.ok()) {
        context.fail(decoded.error());
        return;
    }
    arguments.values[static_cast<std::size_t>(target)].take(decoded.value());
}

void bindHostArguments(CallContext& context, ArgumentSet& arguments, const HostRequest& request,
                       std::size_t pathParameterCount) {
    if (request.arguments == nullptr) {
        return;
    }
    for (std::uint32_t i = 0; i < request.argumentCount && context.ok(); ++i) {
        const HostArgumentEntry& entry = request.arguments[i];
        std::ptrdiff_t index = -1;
        if (entry.name != nullptr) {
            index = arguments.parameterIndex(entry.name);
            if (index < 0) {
                failUnknownArgument(context, entry.name, arguments.function);
                return;
            }
        } else {
            const std::size_t selected = static_cast<std::size_t>(i) + pathParameterCount;
            if (selected >= arguments.values.size()) {
                failUnknownArgument(context, std::to_string(i), arguments.function);
                return;
            }
            index = static_cast<std::ptrdiff_t>(selected);
        }
        const std::size_t at = static_cast<std::size_t>(index);
        HostResult status{};
        Value& slot = arguments.values[at];
        slot.reset();
        if (!fromHost(status, slot, entry.value, arguments.function.arguments[at].name.c_str())) {
            context.fail(status.error != nullptr ? status.error : "");
        }
        releaseHostResult(status);
    }
}

// Splits the query into name/value pairs, both decoded; a repeated name keeps its last value.
void readQuery(std::string_view path, OrderedTextMap& query) {
    const std::size_t mark = path.find('?');
    if (mark == std::string_view::npos) {
        return;
    }
    std::string_view rest = path.substr(mark + 1);
    if (rest.empty()) {
        return;
    }
    while (true) {
        const std::size_t amp = rest.find('&');
        const std::string_view piece = rest.substr(0, amp);
        const std::size_t equals = piece.find('=');
        if (equals == std::string_view::npos) {
            query.set(urlDecode(piece), {});
        } else {
            query.set(urlDecode(piece.substr(0, equals)), urlDecode(piece.substr(equals + 1)));
        }
        if (amp == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(amp + 1);
    }
}

}  // namespace

ArgumentSet::ArgumentSet(const FunctionDescriptor& functionDescriptor,
                         std::span<const std::uint32_t> parameterLocations)
    : function(functionDescriptor), locations(parameterLocations) {
    const std::size_t count = functionDescriptor.arguments.size();
    if (count > 0) {
        root.element(count - 1);  // the collection never grows again: the span stays valid
        values = root.elements();
    }
}

std::ptrdiff_t ArgumentSet::parameterIndex(std::string_view name) const noexcept {
    for (std::size_t i = 0; i < function.arguments.size(); ++i) {
        if (function.arguments[i].name == name) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

std::uint32_t ArgumentSet::locationOf(std::size_t index) const noexcept {
    return index < locations.size() ? locations[index] : 0;
}

void setLeafFromText(CallContext& context, Value& target, std::string_view text,
                     std::string_view contentType, bool structured, std::string_view parameterName,
                     std::string_view functionName) {
    const bool sniff = contentType.empty() && structured;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::string_view trimmed = detail::skipLeadingSpaces(text);
    const char* format = nullptr;
    ValueResult decoded;
    if (detail::startsWithAsciiNoCase(contentType, kMessagePackType) ||
        (sniff && looksLikeMessagePack(bytes, text.size()))) {
        std::size_t consumed = 0;  // bytes left over are ignored for argument texts
        decoded = decodeMessagePack(bytes, text.size(), consumed);
        format = "Couldn't deserialize MessagePack value for parameter '%1' of '%2': %3";
    } else if (detail::startsWithAsciiNoCase(contentType, kJsonType) ||
               (sniff && !trimmed.empty() && (trimmed[0] == '{' || trimmed[0] == '['))) {
        decoded = parseJson(std::string(text));
        format = "Couldn't deserialize JSON value for parameter '%1' of '%2': %3";
    } else if (detail::startsWithAsciiNoCase(contentType, kYamlTextType) ||
               (sniff && trimmed.starts_with("---"))) {
        decoded = parseYaml(std::string(text));
        format = "Couldn't deserialize YAML value for parameter '%1' of '%2': %3";
    } else if (detail::startsWithAsciiNoCase(contentType, kOctetStreamType)) {
        target.setBlob(text.data(), text.size());
        return;
    } else {
        target.setString(text);
        return;
    }
    if (!decoded.ok()) {
        context.fail(formatMessage(format, parameterName, functionName, decoded.error()));
        return;
    }
    target.take(decoded.value());
}

void bindParameter(CallContext& context, ArgumentSet& arguments, std::string_view name,
                   std::string_view text, std::string_view contentType, ParameterLocation source) {
    if (!context.ok()) {
        return;
    }
    const std::size_t dot = name.find('.');
    const std::string_view parameterName = name.substr(0, dot);
    const std::ptrdiff_t found = arguments.parameterIndex(parameterName);
    if (found < 0) {
        failUnknownArgument(context, parameterName, arguments.function);
        return;
    }
    const std::size_t index = static_cast<std::size_t>(found);
    const std::uint32_t allowed = arguments.locationOf(index);
    if (allowed != 0 && allowed != static_cast<std::uint32_t>(source)) {
        context.fail(formatMessage("Argument '%1' for '%2' was specified in an invalid location.",
                                   parameterName, arguments.function.name));
        return;
    }
    const ArgumentDescriptor& parameter = arguments.function.arguments[index];
    Value& argument = arguments.values[index];
    const TypeKind kind = parameter.type.kind;

    if (dot == std::string_view::npos) {
        if (!text.empty()) {
            setLeafFromText(context, argument, text, contentType, isStructuredKind(kind),
                            parameter.name, arguments.function.name);
            return;
        }
        if (kind == TypeKind::Bool) {
            argument.setBool(true);
        } else if (kind == TypeKind::Object || kind == TypeKind::Struct) {
            argument.reset();
            argument.makeStructure();
        } else if (kind == TypeKind::Vector) {
            argument.reset();
            argument.makeCollection();
        } else {
            context.fail(formatMessage("Expected value for argument '%1'.", parameter.name));
        }
        return;
    }

    // Walk the dotted rest one segment at a time; each segment adds one nesting level.
    std::string_view rest = name.substr(dot + 1);
    std::size_t segments = 1;
    for (const char c : rest) {
        segments += c == '.' ? 1 : 0;
    }
    if (segments > kMaxNestingDepth) {
        context.fail(formatMessage("Argument '%1' is nested deeper than %2 levels", parameterName,
                                   kMaxNestingDepth));
        return;
    }
    Value* slot = &argument;
    while (true) {
        const std::size_t next = rest.find('.');
        const std::string_view segment = rest.substr(0, next);
        if (!segment.empty() && detail::isAsciiDigit(static_cast<unsigned char>(segment[0]))) {
            std::uint64_t elementIndex = 0;
            const IndexRead read = readIndex(segment, elementIndex);
            if (read == IndexRead::BadFormat) {
                context.fail(formatMessage("Index %1 is in an incorrect format", segment));
                return;
            }
            const std::size_t size =
                slot->kind() == ValueKind::Collection ? slot->size() : std::size_t{0};
            const std::size_t growth =
                elementIndex >= size ? static_cast<std::size_t>(elementIndex) + 1 - size : 0;
            if (read == IndexRead::OutOfRange || elementIndex > kMaxArgumentIndex ||
                growth > kMaxGrownElementsPerRequest - arguments.grownElements) {
                context.fail(formatMessage("Index %1 is out of range", segment));
                return;
            }
            if (slot->kind() != ValueKind::Collection) {
                slot->reset();
                slot->makeCollection();
            }
            arguments.grownElements += growth;
            slot = &slot->element(static_cast<std::size_t>(elementIndex));
        } else {
            if (slot->kind() != ValueKind::Structure) {
                slot->reset();
                slot->makeStructure();
            }
            slot = &slot->member(segment);
        }
        if (next == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(next + 1);
    }
    setLeafFromText(context, *slot, text, {}, false, parameter.name, arguments.function.name);
}

std::uint64_t requestTimeNow() noexcept {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ticks =
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100;
    return ticks > 0 ? static_cast<std::uint64_t>(ticks) : 0;
}

void encodeResponse(HostResponse& response, CallContext& context, const TypeRegistry* registry) {
    if (!context.ok()) {
        setResponseError(response, context.result.error().data(), context.status);
    } else if (context.hasHostBody) {
        releaseHostValue(response.body);
        response.body = context.hostBody;
        context.hostBody = HostValue{};
        context.hasHostBody = false;
    } else {
        HostResult status{};
        if (!toHost(status, response.body, context.result.value(), registry)) {
            releaseHostValue(response.body);
            context.status = 500;
            setResponseError(response, status.error != nullptr ? status.error : "", 500);
            context.stream.reset();
        }
        releaseHostResult(status);
    }
    response.flag = context.flag;
    response.category = context.category >= 1 && context.category <= 3 ? context.category : 0;
    response.status = context.status;
    response.text =
        context.text.empty() ? emptyResponseText() : duplicateString(context.text.c_str());
    if (response.text == nullptr) {
        response.text = emptyResponseText();
    }
    if (!context.headers.empty()) {
        const std::size_t count = context.headers.size();
        auto* pairs = static_cast<HostHeaderPair*>(allocate(count * sizeof(HostHeaderPair)));
        if (pairs != nullptr) {
            std::memset(static_cast<void*>(pairs), 0, count * sizeof(HostHeaderPair));
            std::size_t i = 0;
            for (const auto& [name, value] : context.headers) {
                pairs[i].name = duplicateString(name.c_str());
                pairs[i].value = duplicateString(value.c_str());
                ++i;
            }
            response.headers = pairs;
            response.headerCount = static_cast<std::uint32_t>(count);
        }
    }
    if (context.stream != nullptr) {
        attachResponseStream(response, std::move(context.stream));
    }
}

void bindAndCall(HostResponse& response, const HostRequest& request, const RouteMatch& match) {
    const FunctionDescriptor& function = *match.descriptor;
    const FunctionBinding& binding = *match.binding;
    CallContext context;
    ArgumentSet arguments(function, binding.locations);

    // 1. Headers, by the parameters' lower-cased names.
    OrderedTextMap headers;
    if (request.headers != nullptr) {
        for (std::uint32_t i = 0; i < request.headerCount; ++i) {
            const HostHeaderEntry& header = request.headers[i];
            if (header.name != nullptr) {
                headers.set(header.name, detail::hostText(header.value));
            }
        }
    }
    OrderedTextMap headerArguments;
    for (std::size_t i = 0; i < function.arguments.size(); ++i) {
        const std::uint32_t location = arguments.locationOf(i);
        if (location != static_cast<std::uint32_t>(ParameterLocation::Any) &&
            location != static_cast<std::uint32_t>(ParameterLocation::Header)) {
            continue;
        }
        const std::string& name = function.arguments[i].name;
        if (const std::string* value = headers.find(detail::asciiLowered(name))) {
            headerArguments.set(name, *value);
        }
    }

    // 2. The query.
    OrderedTextMap query;
    readQuery(match.path, query);

    // 3. Bool parameters not marked optional start as false.
    for (std::size_t i = 0; i < function.arguments.size(); ++i) {
        const ArgumentDescriptor& parameter = function.arguments[i];
        if (parameter.type.kind == TypeKind::Bool && !parameter.optional &&
            arguments.values[i].isEmpty()) {
            arguments.values[i].setBool(false);
        }
    }

    // 4. Headers, path parameters, query, each in the order read.
    for (const auto& [name, value] : headerArguments) {
        bindParameter(context, arguments, name, value, {}, ParameterLocation::Header);
    }
    for (const auto& [name, value] : match.pathParameters) {
        bindParameter(context, arguments, name, value, {}, ParameterLocation::Path);
    }
    for (const auto& [name, value] : query) {
        bindParameter(context, arguments, name, value, {}, ParameterLocation::Query);
    }

    // 5. Host arguments; 6. the body.
    if (context.ok()) {
        bindHostArguments(context, arguments, request, match.pathParameterCount);
    }
    if (context.ok()) {
        bindBody(context, arguments, request);
    }

    // 7. The call. The pending call goes back to its callable on every path, a throw from
    // the handler included (the table entry turns that into an error answer).
    Callable& invoker = *binding.invoker;
    std::unique_ptr<PendingCall> call;
    struct ReleaseCall {
        Callable& invoker;
        std::unique_ptr<PendingCall>& call;
        ~ReleaseCall() {
            if (call != nullptr) {
                invoker.releaseCall(std::move(call));
            }
        }
    } release{invoker, call};
    if (context.ok()) {
        call = invoker.bindArguments(context, arguments.values, request.callerContext);
    }
    if (context.ok() && call != nullptr) {
        if (isRequestContextTypeId(invoker.contextType())) {
            RequestInfo info;
            info.callerContext = request.callerContext;
            info.registry = function.registry;
            info.method = match.method;
            info.customMethod = match.customMethod;
            info.path = match.path;
            info.arguments = arguments.values;
            info.headers = &headers;
            info.startTime = requestTimeNow();
            invoker.invoke(context, &info, *call, request.callerContext);
        } else {
            invoker.invoke(context, nullptr, *call, request.callerContext);
        }
    }

    // 8. The response, then (as `release` leaves scope) the pending call.
    encodeResponse(response, context, function.registry);
}

}  // namespace mox
