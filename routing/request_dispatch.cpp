#include "routing/request_dispatch.h"

#include <cstring>
#include <exception>
#include <utility>

#include "binding/api_help.h"
#include "binding/host_value.h"
#include "binding/type_descriptor.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "routing/argument_binding.h"
#include "routing/ascii.h"
#include "routing/function_table.h"
#include "routing/host_request.h"
#include "routing/host_response.h"

namespace mox {

namespace {

constexpr const char* kInvalidFunction = "Invalid function";

// Clears the response: what it holds is released only when it carries our own release
// function (anything else may be host memory), then every byte is zeroed.
void resetResponse(HostResponse& response) {
    if (response.release == &releaseResponse) {
        releaseResponse(&response);
    }
    std::memset(static_cast<void*>(&response), 0, sizeof(HostResponse));
    response.text = emptyResponseText();
    response.release = &releaseResponse;
}

bool hasTag(const FunctionDescriptor& function, std::string_view tag) {
    for (const std::string& t : function.tags) {
        if (t == tag) {
            return true;
        }
    }
    return false;
}

void answerBuiltin(const TypeRegistry& registry, HostResponse& response,
                   const FunctionDescriptor& function) {
    if (function.name != "Help") {
        setResponseError(response, "Unsupported builtin function", 400);
        return;
    }
    Value help;
    apiHelp(help, registry, BindingHelpFormat::Full);
    HostResult status{};
    if (!toHost(status, response.body, help, &registry)) {
        releaseHostValue(response.body);
        setResponseError(response, status.error != nullptr ? status.error : "", 400);
    }
    releaseHostResult(status);
}

// Whether one route matches the path; fills the path parameters of a pattern route.
bool matchPath(const Route& route, std::string_view path, OrderedTextMap& parameters) {
    if (route.pattern == nullptr) {
        return path == route.literal;
    }
    std::vector<std::string_view> captures;
    if (!route.pattern->match(path, captures) || captures.size() != route.placeholders.size()) {
        return false;
    }
    for (std::size_t i = 0; i < captures.size(); ++i) {
        parameters.set(route.placeholders[i].name, urlDecode(captures[i]));
    }
    return true;
}

std::size_t decodedLength(const OrderedTextMap& parameters) {
    std::size_t total = 0;
    for (const auto& entry : parameters) {
        total += entry.second.size();
    }
    return total;
}

void dispatchMatched(const TypeRegistry* registry, HostResponse& response,
                     const HostRequest& request, std::span<const Route> routes) {
    if (request.path == nullptr) {
        setResponseError(response, kInvalidFunction, 404);
        return;
    }
    RouteMatch match;
    match.path = request.path;
    match.method = methodFromHost(request.method);
    if (match.method == RequestMethod::Custom) {
        match.customMethod = detail::hostText(request.customMethod);
    }
    if (!matchRoutes(match, routes)) {
        setResponseError(response, kInvalidFunction, 404);
        return;
    }
    if (registry != nullptr && hasTag(*match.descriptor, "$builtin")) {
        answerBuiltin(*registry, response, *match.descriptor);
        return;
    }
    if (match.binding->invoker == nullptr) {
        setResponseError(response, kInvalidFunction, 404);
        return;
    }
    bindAndCall(response, request, match);
}

}  // namespace

bool buildRoute(const FunctionBinding& binding, Route& out) {
    if (binding.descriptor == nullptr || !binding.templateValid) {
        return false;
    }
    out.descriptor = binding.descriptor;
    out.binding = &binding;
    const std::string_view templateText = binding.effectiveTemplate();
    if (isLiteralTemplate(templateText)) {
        out.literal.assign(templateText);
        out.pattern.reset();
        out.placeholders.clear();
        return true;
    }
    CompiledTemplate compiled = compileTemplate(templateText);
    if (!compiled.ok()) {
        return false;
    }
    out.literal.clear();
    out.pattern = std::move(compiled.matcher);
    out.placeholders = std::move(compiled.placeholders);
    return true;
}

bool matchRoutes(RouteMatch& match, std::span<const Route> routes) {
    const Route* chosen = nullptr;
    OrderedTextMap chosenParameters;
    std::size_t chosenLength = 0;
    for (const Route& route : routes) {
        if (route.binding == nullptr || route.descriptor == nullptr) {
            continue;
        }
        if (route.binding->method != 0 &&
            (route.binding->method != static_cast<std::uint32_t>(match.method) ||
             route.binding->customMethod != match.customMethod)) {
            continue;
        }
        OrderedTextMap parameters;
        if (!matchPath(route, match.path, parameters)) {
            continue;
        }
        const std::size_t length = decodedLength(parameters);
        if (chosen != nullptr && length >= chosenLength) {
            continue;
        }
        chosen = &route;
        chosenLength = length;
        chosenParameters = std::move(parameters);
        if (chosenParameters.empty()) {
            break;
        }
    }
    if (chosen == nullptr) {
        return false;
    }
    match.descriptor = chosen->descriptor;
    match.binding = chosen->binding;
    match.pathParameterCount = chosenParameters.size();
    match.pathParameters = std::move(chosenParameters);
    return true;
}

void dispatchRequest(const TypeRegistry* registry, HostResponse* response,
                     const HostRequest* request, std::span<const Route> routes) {
    if (response == nullptr) {
        return;
    }
    try {
        resetResponse(*response);
        if (request == nullptr) {
            setResponseError(*response, kInvalidFunction, 404);
            return;
        }
        dispatchMatched(registry, *response, *request, routes);
    } catch (...) {
        // An allocation or length failure anywhere inside: answer it, never unwind into the
        // host. What the response holds so far is ours.
        resetResponse(*response);
        setResponseError(*response, "Internal server error", 500);
    }
}

void MOX_CDECL handleFunctionRequest(HostResponse* response, const HostRequest* request) {
    if (response == nullptr) {
        return;
    }
    try {
        const auto* context =
            request != nullptr ? static_cast<const DispatchContext*>(request->context) : nullptr;
        Route route;
        if (context == nullptr || context->binding == nullptr ||
            !buildRoute(*context->binding, route)) {
            dispatchRequest(nullptr, response, request, {});
            return;
        }
        dispatchRequest(nullptr, response, request, std::span<const Route>(&route, 1));
    } catch (...) {
        resetResponse(*response);
        setResponseError(*response, "Internal server error", 500);
    }
}

}  // namespace mox
