// File: routing/function_table.h
//
// The host function table and the per-function REST registrations behind it.
//
// `FunctionRouter` keeps one `FunctionBinding` (routing/function_binding.h) per function of
// the type registry that is offered over REST-like requests, and builds, at load time, the
// table through which the host routes requests to those functions: a `HostApiDescription`
// (binding/api_description.h) whose function records are `FunctionEntry` records, each
// carrying the function's API record, `handleFunctionRequest` as its handler, its URL
// template, method and parameter locations, and the address of its `DispatchContext`, which
// the host passes back as the context of every request for that function.
//
// Addresses handed to the host: dispatch contexts are created once per function name and
// never move or die before the router (a rebuilt table reuses them), and replaced bindings
// are kept alive until the router is destroyed, so a context the host holds never dangles.
// The entries, chains and texts of a table stay valid until the table is built again or the
// router is destroyed.
//
// Threads: registration and table building take the router's lock for every access to its
// maps; the table is built on the loading thread and then only read by the host.
//
// Example (the typed builder of routing/endpoint.h does the first three lines for you):
//   const FunctionDescriptor* f = registry.registerFunction("GetItems", {});
//   FunctionBinding& b = router.addBinding(*f);
//   b.invoker = std::move(callable); b.setTemplate("/items"); b.setMethod(2);
//   const HostApiDescription& table = router.buildFunctionTable();
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "binding/api_description.h"
#include "platform/abi.h"
#include "platform/compiler.h"
#include "routing/function_binding.h"
#include "routing/request_method.h"

namespace mox {

class EndpointBuilder;
class TypeRegistry;
struct FunctionDescriptor;
struct HostRequest;
struct HostResponse;

using HostFunctionHandler = void(MOX_CDECL*)(HostResponse* response, const HostRequest* request);

// What the host hands back as a request's context: the owning registry and the binding.
struct DispatchContext {
    TypeRegistry* registry = nullptr;
    const FunctionBinding* binding = nullptr;
};

#pragma pack(push, 1)

// One node of a function's parameter-location chain (8 bytes on 32-bit targets).
struct ParameterLocationNode {
    const ParameterLocationNode* next;
    // 1 to 5 as they are, anything else 0.
    std::uint32_t location;
};

// One node of a function's string-list chain (12 bytes on 32-bit targets).
struct StringListNode {
    const StringListNode* next;
    const char* const* texts;
    std::uint32_t count;
};

// One function of the host table (90 bytes on 32-bit targets). `description` is the
// function's API record with `next` pointing at the next entry's `description` (null in the
// last) and `dispatchContext` at the function's `DispatchContext`.
struct FunctionEntry {
    HostFunctionRecord description;
    HostFunctionHandler handler;
    const ParameterLocationNode* locations;  // null when the function has no parameters
    const char* templateText;
    // 1 to 8; any other value is written as 0.
    std::uint32_t method;
    std::uint8_t flag;
    const StringListNode* stringLists;  // null when there are none
    std::uint32_t stringListCount;
    const char* customMethod;
};

#pragma pack(pop)

#if MOX_TARGET_32BIT
static_assert(sizeof(ParameterLocationNode) == 8);
static_assert(offsetof(ParameterLocationNode, location) == 4);
static_assert(sizeof(StringListNode) == 12);
static_assert(offsetof(StringListNode, texts) == 4);
static_assert(offsetof(StringListNode, count) == 8);
static_assert(sizeof(FunctionEntry) == 90);
static_assert(offsetof(FunctionEntry, handler) == 61);
static_assert(offsetof(FunctionEntry, locations) == 65);
static_assert(offsetof(FunctionEntry, templateText) == 69);
static_assert(offsetof(FunctionEntry, method) == 73);
static_assert(offsetof(FunctionEntry, flag) == 77);
static_assert(offsetof(FunctionEntry, stringLists) == 78);
static_assert(offsetof(FunctionEntry, stringListCount) == 82);
static_assert(offsetof(FunctionEntry, customMethod) == 86);
#else
static_assert(sizeof(ParameterLocationNode) == 12);
static_assert(sizeof(StringListNode) == 20);
static_assert(sizeof(FunctionEntry) == 154);
static_assert(offsetof(FunctionEntry, customMethod) == 146);
#endif
static_assert(offsetof(FunctionEntry, description) == 0);
static_assert(offsetof(FunctionEntry, handler) == sizeof(HostFunctionRecord));

class FunctionRouter {
  public:
    explicit FunctionRouter(TypeRegistry& registry);
    ~FunctionRouter();
    FunctionRouter(const FunctionRouter&) = delete;
    FunctionRouter& operator=(const FunctionRouter&) = delete;

    TypeRegistry& registry() const noexcept { return registry_; }

    // Creates a binding with the defaults (no template, method 0, one location Any per
    // parameter) for `descriptor`, replacing an earlier binding of it (which stays alive,
    // unused, until the router dies), and returns it for further setting. Registration code
    // asks `bindingFor` first and adds a binding only when the function has none.
    FunctionBinding& addBinding(const FunctionDescriptor& descriptor);
    // The binding of `descriptor`, or null.
    const FunctionBinding* bindingFor(const FunctionDescriptor& descriptor) const;

    // Typed registration (defined in routing/endpoint.h, which callers include): registers a
    // function for `handler`, adds its binding and returns the builder of its settings.
    // `names` name the handler's parameters in order. Inert when a function of that name
    // already has a binding.
    template <class F>
    EndpointBuilder bindFunction(std::string_view name, F handler,
                                 std::initializer_list<std::string_view> names = {});
    // The same named `functionNameFor(method, templateText)`, with that template and method.
    template <class F>
    EndpointBuilder bind(RequestMethod method, std::string_view templateText, F handler,
                         std::initializer_list<std::string_view> names = {});
    // The same for a member function of `object`, which must outlive the router.
    template <class C, class M>
    requires std::is_member_function_pointer_v<M> EndpointBuilder
    bind(RequestMethod method, std::string_view templateText, C& object, M member,
         std::initializer_list<std::string_view> names = {});

    // Builds the table for the host from the bindings and the registry's current content.
    // Bindings are indexed by function name (a later one replaces an earlier one of the same
    // name); a binding whose function is not registered, or whose template does not compile,
    // gets no entry. Types and events are those of the API description. Replaces the table
    // built before. Throws only std::bad_alloc.
    const HostApiDescription& buildFunctionTable();

    // The table built last (all zero before the first build), and its entries.
    const HostApiDescription& functionTable() const noexcept { return table_; }
    const std::vector<FunctionEntry>& entries() const noexcept { return entries_; }
    // The dispatch context of a function name, or null (for tests and diagnostics).
    const DispatchContext* dispatchContextFor(const std::string& name) const;

  private:
    // Whether a function of that name may be registered: none exists, or it has no binding.
    bool canRegister(std::string_view name) const;

    TypeRegistry& registry_;
    mutable std::mutex mutex_;
    // In the order added; each descriptor's live binding is the last one listed for it.
    std::vector<std::unique_ptr<FunctionBinding>> bindings_;
    std::unordered_map<const FunctionDescriptor*, FunctionBinding*> byDescriptor_;
    std::unordered_map<std::string, std::unique_ptr<DispatchContext>> contexts_;

    ApiDescription description_;
    std::vector<FunctionEntry> entries_;
    std::vector<ParameterLocationNode> locationNodes_;
    std::vector<StringListNode> stringListNodes_;
    std::vector<std::vector<const char*>> stringListTexts_;
    HostApiDescription table_{};
};

}  // namespace mox
