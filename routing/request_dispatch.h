// File: routing/request_dispatch.h
//
// Request dispatch: from a `HostRequest` to the bound function that answers it.
//
// The host chooses the function by its own routing and calls `handleFunctionRequest` (the
// handler of every entry of the host function table, routing/function_table.h) with the
// response and request records; the request's context is the function's `DispatchContext`.
// The handler builds a one-route table from the function's binding, anew for every request,
// and `dispatchRequest` matches the request against it again: method first, then the path,
// which is the path as received, query part included. So a pattern route "/items/{id}" given
// "/items/5?x=1" yields id "5?x=1" (and the query still binds x=1), while the literal route
// "/a/b" does not match "/a/b?x=1".
//
// Answers of the router itself (the error text goes into the response's error field, the
// body stays empty):
//   no route matches (path or method), a null path    "Invalid function"              404
//   a built-in function other than "Help"              "Unsupported builtin function"  400
//   the help cannot be built                           the help builder's message      400
//   anything thrown inside (allocation, length)        "Internal server error"         500
// Otherwise the arguments are bound, the function is called and its result or error is
// encoded (routing/argument_binding.h).
//
// Nothing is thrown out of these functions, and no byte of a request can make them crash,
// hang or use memory far beyond the request's own size (paths are matched without recursion,
// index growth in argument names is capped).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/abi.h"
#include "routing/function_binding.h"
#include "routing/route_template.h"

namespace mox {

struct FunctionDescriptor;
struct HostRequest;
struct HostResponse;
class TypeRegistry;

// One candidate of a route table.
struct Route {
    const FunctionDescriptor* descriptor = nullptr;
    const FunctionBinding* binding = nullptr;
    // The path of a literal route (a template without "{").
    std::string literal;
    // The matcher of a pattern route; null for literal routes.
    std::shared_ptr<const TemplatePattern> pattern;
    // One per placeholder, in template order; capture group i belongs to placeholder i.
    std::vector<Placeholder> placeholders;
};

// The request side of a match, and once matched the chosen route and its path parameters.
struct RouteMatch {
    RequestMethod method = RequestMethod::None;
    // The method name; empty unless the method is Custom.
    std::string_view customMethod;
    // The request path, query included.
    std::string_view path;
    const FunctionDescriptor* descriptor = nullptr;
    const FunctionBinding* binding = nullptr;
    // Decoded texts by placeholder name; a later placeholder of the same name overwrites.
    OrderedTextMap pathParameters;
    std::size_t pathParameterCount = 0;
};

// Builds the route of `binding` from its effective template (its template, or the
// function's name). Returns false, leaving `out` unusable, when the template does not compile
// or the binding has no descriptor.
[[nodiscard]] bool buildRoute(const FunctionBinding& binding, Route& out);

// Chooses a route for `match` (its method, custom method and path filled), over `routes` in
// order: a route that requires a method must have the request's method and custom method
// name; its path must match; a later match replaces an earlier one only if the total length
// of its decoded path parameters is strictly smaller; a match without path parameters ends
// the search. On success `match` holds the route's descriptor, binding and parameters.
[[nodiscard]] bool matchRoutes(RouteMatch& match, std::span<const Route> routes);

// Answers `request` from `routes` into `response`. The response is reset first: what it
// holds is released only when it carries `releaseResponse` (the library's own), then every
// byte is zeroed and `release` set to `releaseResponse`; host memory is never freed. With a
// registry, functions tagged "$builtin" are answered by the router itself ("Help").
// A null response is ignored.
void dispatchRequest(const TypeRegistry* registry, HostResponse* response,
                     const HostRequest* request, std::span<const Route> routes);

// The handler of every host function table entry: takes the binding from the request's
// dispatch context, builds its route and dispatches without a registry. A null or unknown
// context, or a binding whose template does not compile, answers 404 "Invalid function".
void MOX_CDECL handleFunctionRequest(HostResponse* response, const HostRequest* request);

}  // namespace mox
