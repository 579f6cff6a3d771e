// File: routing/function_binding.h
//
// What the router knows about one function bound for REST-like requests, and the contract
// between the router and the object that carries out a call.
//
//   FunctionBinding  the REST registration of a function: its descriptor, its URL template,
//                    the method it requires, where each parameter may come from, and its
//                    `Callable`. Made by `FunctionRouter::addBinding` (routing/function_table.h),
//                    usually through the typed builder of routing/endpoint.h.
//   Callable         the invoker: turns the gathered generic arguments into a pending native
//                    call, carries it out, and reports into a `CallContext`.
//   CallContext      the state of one call: its result or error, and the response status, text,
//                    headers, flag, category and body stream the function set.
//   RequestInfo      the request as a function that asks for it sees it.
//
// A binding is filled on the loading thread before the function table is built, then only
// read (from any host thread); its callable must therefore be safe to call from several
// threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/host_value.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"
#include "plugin/entry/host_services.h"
#include "routing/host_response.h"
#include "routing/request_method.h"

namespace mox {

struct FunctionDescriptor;
class TypeRegistry;

// Where a parameter's value may come from. Any accepts every source.
enum class ParameterLocation : std::uint32_t {
    Any = 0,
    Query = 1,
    Path = 2,
    Header = 4,
    Body = 5,
};

// Name-to-text pairs kept in the order they were first entered; entering a name again
// replaces its text in place. Used for headers, path and query parameters, so that binding
// never depends on a hash order.
class OrderedTextMap {
  public:
    void set(std::string_view name, std::string_view text);
    // The text of `name`, or null.
    const std::string* find(std::string_view name) const noexcept;
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }

  private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

// The state of one call. A fresh context holds success with an empty value, status 0, an
// empty text and no headers or stream.
//
// A successful result is held either as a generic value (`result`) or, when the callable
// could write it straight into the host form, as `hostBody` with `hasHostBody` set (then
// `result` stays an empty success). Both mean the same answer; `encodeResponse` sends
// whichever is held. `hostBody` is owned by the context until the response takes it.
struct CallContext {
    ValueResult result;
    HostValue hostBody{};
    bool hasHostBody = false;
    std::uint8_t flag = 0;
    std::uint32_t category = 0;
    std::uint32_t status = 0;
    std::string text;
    OrderedTextMap headers;
    std::unique_ptr<BodyStream> stream;

    CallContext() = default;
    CallContext(const CallContext&) = delete;
    CallContext& operator=(const CallContext&) = delete;
    ~CallContext() { releaseHostValue(hostBody); }

    bool ok() const noexcept { return result.ok(); }
    // Records an error (replacing the result, in either form) and drops any body stream
    // already held.
    void fail(std::string_view message) {
        result.fail(message);
        dropHostBody();
        stream.reset();
    }
    // Takes a result already in host form (see above); `body` is left kind 0.
    void setHostBody(HostValue& body) noexcept {
        releaseHostValue(hostBody);
        hostBody = body;
        body = HostValue{};
        hasHostBody = true;
    }
    void dropHostBody() noexcept {
        releaseHostValue(hostBody);
        hasHostBody = false;
    }
};

// The request as a function that asks for it receives it. Everything is borrowed for the
// duration of the call.
struct RequestInfo {
    HostWord callerContext = 0;
    // Wall-clock time just before the call, in 100-nanosecond units since 1970-01-01.
    std::uint64_t startTime = 0;
    const TypeRegistry* registry = nullptr;
    RequestMethod method = RequestMethod::None;
    // Only for method Custom.
    std::string_view customMethod;
    std::string_view path;
    std::span<const Value> arguments;
    const OrderedTextMap* headers = nullptr;
};

// A call prepared by `Callable::bindArguments`, released by `Callable::releaseCall`.
class PendingCall {
  public:
    PendingCall() = default;
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;
    virtual ~PendingCall() = default;
};

class Callable {
  public:
    Callable() = default;
    Callable(const Callable&) = delete;
    Callable& operator=(const Callable&) = delete;
    virtual ~Callable() = default;

    // Converts the generic arguments (one per parameter, in parameter order; empty where no
    // source gave one) into a pending call. May record an error in `context`; returns the
    // pending call or null. A returned call is given back to `releaseCall` whatever happened
    // (never destroyed by the caller), so a callable may hand out a handle it does not
    // allocate per call, such as one shared stateless handle.
    virtual std::unique_ptr<PendingCall> bindArguments(CallContext& context,
                                                       std::span<const Value> arguments,
                                                       HostWord callerContext) = 0;
    // Carries out the call and reports into `context`: its result value or error, and the
    // response status, text, headers, flag, category and stream. `info` is given only when
    // `contextType()` is a request-context identity, else null.
    virtual void invoke(CallContext& context, const RequestInfo* info, PendingCall& call,
                        HostWord callerContext) = 0;
    // Frees the pending call (or takes back a handle that was not allocated for it).
    virtual void releaseCall(std::unique_ptr<PendingCall> call) noexcept { call.reset(); }
    // The type identity of the request context the function asks for
    // (`kRequestInfoTypeId` or `kRequestInfoPointerTypeId`, binding/type_identity.h), or any
    // other identity when it asks for none.
    virtual std::uint32_t contextType() const noexcept = 0;
};

// The REST registration of one function. Fields in the order the host table carries them.
struct FunctionBinding {
    // REQUIRES for dispatch: the descriptor is still registered (a function unregistered
    // after binding is left out of the next table, whose contexts then answer 404).
    const FunctionDescriptor* descriptor = nullptr;
    std::unique_ptr<Callable> invoker;
    // The URL template; empty means the function's name is the template.
    std::string templateText;
    // The required method (`RequestMethod` code); 0 accepts every method.
    std::uint32_t method = 0;
    // The method name for code 8, compared byte for byte.
    std::string customMethod;
    // Carried into the table entry; nothing in this library sets it.
    std::uint8_t flag = 0;
    // Carried into the table entry; nothing in this library fills them.
    std::vector<std::vector<std::string>> stringLists;
    // One `ParameterLocation` code per parameter of the descriptor.
    std::vector<std::uint32_t> locations;
    // The function's name when the binding was added; tells a live descriptor from a new
    // one that took a freed address.
    std::string functionName;
    // False when the effective template did not compile; such a binding is left out of the
    // host table and requests that reach it answer 404 "Invalid function".
    bool templateValid = true;

    // Stores `text`, first dropping one trailing "/" when the text is longer than one byte.
    // A template that does not compile is kept but marked invalid, with an error log line.
    void setTemplate(std::string_view text);
    // Stores the method code and clears the custom method name.
    void setMethod(std::uint32_t code);
    // Method 8 with that name.
    void setCustomMethod(std::string_view name);
    // The template requests are matched against: the template, or the function's name.
    std::string_view effectiveTemplate() const noexcept;
};

}  // namespace mox
