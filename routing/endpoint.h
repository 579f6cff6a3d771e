// File: routing/endpoint.h
//
// Binding native handlers to REST-like endpoints in one line, and what a handler answers.
//
//   // A member function returning a record or an error with a status:
//   HandlerReply<GameLatencyExperimentResults> GameLatencyExperiment::getResults();
//   router.bind(RequestMethod::Get, "/network-testing/v1/game-latency", *this,
//               &GameLatencyExperiment::getResults).tags(helpPath);
//
//   // A lambda with parameters; names are given in parameter order:
//   router.bind(RequestMethod::Get, "/items/{id}",
//               [&](std::uint32_t id, bool verbose) { return items.find(id, verbose); },
//               {"id", "verbose"})
//       .location("id", ParameterLocation::Path);
//
// `bind` registers a function named by `functionNameFor(method, template)` (here
// "GetNetworkTestingV1GameLatency") with one argument per handler parameter (kinds,
// descriptors and converters derived from the parameter types, as for record fields), the
// handler's result type, and a binding with the template and method. A handler whose first
// parameter is `const RequestInfo&` receives the request information; that parameter is not
// an argument. `bindFunction` does the same for a function reached by its name.
//
// Keep-the-first rule: when a function of that name already has a binding, nothing is
// registered and the builder returned is inert (every setter does nothing), so a second
// registration keeps the first one's template, method and tags.
//
// What a handler may return:
//   - `HandlerReply<T>`: a T, or `HandlerReply<T>::failure(status, message)`; either may
//     carry a response status, text, headers, flag, category and (on success) a body stream;
//   - a plain T (success, status 0), or void;
//   - any type R for which `ReplyTraits<R>` is specialised with `using Value = T;` and
//     `static HandlerReply<T> toReply(R&&)`. This is how a layer above adapts its own result
//     type in two lines, e.g. a value-or-error result:
//       template <class T> struct mox::ReplyTraits<CallResult<T>> {
//           using Value = T;
//           static HandlerReply<T> toReply(CallResult<T>&& r) { ... }
//       };
// A result that fails to convert to a generic value becomes an error answer with status 500.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/builtin_types.h"
#include "binding/converters.h"
#include "binding/type_descriptor.h"
#include "binding/type_identity.h"
#include "binding/type_registry.h"
#include "routing/function_binding.h"
#include "routing/function_table.h"
#include "routing/route_template.h"

namespace mox {

// The response details a handler may set besides its value or error.
struct ResponseDetails {
    std::uint32_t status = 0;
    std::string text;
    std::vector<std::pair<std::string, std::string>> headers;
    std::uint8_t flag = 0;
    std::uint32_t category = 0;
    // Sent only with a success.
    std::unique_ptr<BodyStream> stream;
};

namespace detail {

// The setters of the response details, for lvalue and rvalue replies alike, so that
// `return HandlerReply<T>(value).status(201).text("Created");` moves the reply out.
template <class Derived>
class ReplyDetailsSetters {
  public:
    Derived& status(std::uint32_t code) & {
        details_.status = code;
        return self();
    }
    Derived&& status(std::uint32_t code) && { return std::move(status(code)); }
    Derived& text(std::string value) & {
        details_.text = std::move(value);
        return self();
    }
    Derived&& text(std::string value) && { return std::move(text(std::move(value))); }
    Derived& header(std::string name, std::string value) & {
        details_.headers.emplace_back(std::move(name), std::move(value));
        return self();
    }
    Derived&& header(std::string name, std::string value) && {
        return std::move(header(std::move(name), std::move(value)));
    }
    Derived& flag(std::uint8_t value) & {
        details_.flag = value;
        return self();
    }
    Derived&& flag(std::uint8_t value) && { return std::move(flag(value)); }
    Derived& category(std::uint32_t value) & {
        details_.category = value;
        return self();
    }
    Derived&& category(std::uint32_t value) && { return std::move(category(value)); }
    Derived& stream(std::unique_ptr<BodyStream> body) & {
        details_.stream = std::move(body);
        return self();
    }
    Derived&& stream(std::unique_ptr<BodyStream> body) && {
        return std::move(stream(std::move(body)));
    }
    ResponseDetails& details() noexcept { return details_; }

  protected:
    ResponseDetails details_;

  private:
    Derived& self() noexcept { return static_cast<Derived&>(*this); }
};

}  // namespace detail

// A handler's answer: a value of T, or an error message with a status. A reply made from a
// value is a success with status 0 unless `status` says otherwise.
//
// A reply may also share an immutable T that the handler keeps (`shared`): the answer is
// converted from it without a copy, and the reply holds a reference on it until then, so the
// handler may replace its own pointer meanwhile. REQUIRES: nobody changes a shared T.
template <class T>
class [[nodiscard]] HandlerReply : public detail::ReplyDetailsSetters<HandlerReply<T>> {
  public:
    HandlerReply(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
    static HandlerReply shared(std::shared_ptr<const T> value) {
        if (value == nullptr) {
            return failure(500, "Internal server error");
        }
        HandlerReply reply;
        reply.shared_ = std::move(value);
        return reply;
    }
    static HandlerReply failure(std::uint32_t status, std::string message) {
        HandlerReply reply;
        reply.error_ = std::move(message);
        reply.details_.status = status;
        return reply;
    }

    bool ok() const noexcept { return value_.has_value() || shared_ != nullptr; }
    // REQUIRES: ok().
    const T& value() const noexcept { return shared_ != nullptr ? *shared_ : *value_; }
    const std::string& error() const noexcept { return error_; }

  private:
    HandlerReply() = default;
    std::optional<T> value_;
    std::shared_ptr<const T> shared_;
    std::string error_;
};

template <>
class [[nodiscard]] HandlerReply<void> : public detail::ReplyDetailsSetters<HandlerReply<void>> {
  public:
    HandlerReply() = default;
    static HandlerReply failure(std::uint32_t status, std::string message) {
        HandlerReply reply;
        reply.failed_ = true;
        reply.error_ = std::move(message);
        reply.details_.status = status;
        return reply;
    }
    bool ok() const noexcept { return !failed_; }
    const std::string& error() const noexcept { return error_; }

  private:
    bool failed_ = false;
    std::string error_;
};

// How a handler's return type becomes a `HandlerReply`. The primary template takes a plain
// value as a success; specialise it for other result types (see the file comment).
template <class R>
struct ReplyTraits {
    using Value = R;
    static HandlerReply<R> toReply(R&& value) { return HandlerReply<R>(std::move(value)); }
};

template <class T>
struct ReplyTraits<HandlerReply<T>> {
    using Value = T;
    static HandlerReply<T> toReply(HandlerReply<T>&& reply) { return std::move(reply); }
};

// A callable that learns its function descriptor once the function is registered.
class DescribedCallable : public Callable {
  public:
    void attach(const FunctionDescriptor* function) noexcept { function_ = function; }

  protected:
    const FunctionDescriptor* function_ = nullptr;
};

namespace detail {

template <class F>
struct HandlerSignature : HandlerSignature<decltype(&F::operator())> {};
template <class R, class... A>
struct HandlerSignature<R (*)(A...)> {
    using Result = R;
    using Parameters = std::tuple<A...>;
};
template <class R, class... A>
struct HandlerSignature<R (*)(A...) noexcept> : HandlerSignature<R (*)(A...)> {};
template <class C, class R, class... A>
struct HandlerSignature<R (C::*)(A...)> : HandlerSignature<R (*)(A...)> {};
template <class C, class R, class... A>
struct HandlerSignature<R (C::*)(A...) const> : HandlerSignature<R (*)(A...)> {};
template <class C, class R, class... A>
struct HandlerSignature<R (C::*)(A...) noexcept> : HandlerSignature<R (*)(A...)> {};
template <class C, class R, class... A>
struct HandlerSignature<R (C::*)(A...) const noexcept> : HandlerSignature<R (*)(A...)> {};

template <class Tuple>
struct TakesRequestInfo : std::false_type {};
template <class First, class... Rest>
struct TakesRequestInfo<std::tuple<First, Rest...>>
    : std::is_same<std::remove_cvref_t<First>, RequestInfo> {};

template <class Tuple>
struct DropFirst {
    using Type = std::tuple<>;
};
template <class First, class... Rest>
struct DropFirst<std::tuple<First, Rest...>> {
    using Type = std::tuple<Rest...>;
};

template <class Tuple>
struct DecayedTuple;
template <class... A>
struct DecayedTuple<std::tuple<A...>> {
    using Type = std::tuple<std::remove_cvref_t<A>...>;
};

template <class P>
ArgumentDescriptor argumentFor(const TypeRegistry& registry, std::string name) {
    ArgumentDescriptor argument;
    argument.name = std::move(name);
    argument.optional = IsOptional<P>::value;
    argument.type = nativeTypeRef<P>();
    using Described = DescribedTypeOf<P>;
    if constexpr (!std::is_void_v<Described>) {
        argument.type.descriptor = registry.findTypeById(typeIdOf<Described>());
    }
    argument.converter = makeConverter<P>();
    return argument;
}

template <class Tuple, std::size_t... I>
std::vector<ArgumentDescriptor> argumentsFor(const TypeRegistry& registry,
                                             std::initializer_list<std::string_view> names,
                                             std::index_sequence<I...>) {
    std::vector<ArgumentDescriptor> arguments;
    arguments.reserve(sizeof...(I));
    [[maybe_unused]] const auto nameOf = [&](std::size_t i) {
        return i < names.size() ? std::string(names.begin()[i]) : "arg" + std::to_string(i);
    };
    (arguments.push_back(argumentFor<std::tuple_element_t<I, Tuple>>(registry, nameOf(I))), ...);
    return arguments;
}

// The decayed argument types of handler F: its parameters after a leading
// `const RequestInfo&`.
template <class F>
using HandlerArguments = typename DecayedTuple<
    std::conditional_t<TakesRequestInfo<typename HandlerSignature<F>::Parameters>::value,
                       typename DropFirst<typename HandlerSignature<F>::Parameters>::Type,
                       typename HandlerSignature<F>::Parameters>>::Type;

// The invoker of a typed handler F whose parameters (after an optional leading
// `const RequestInfo&`) are the function's arguments.
template <class F>
class TypedCallable final : public DescribedCallable {
    using Signature = HandlerSignature<F>;
    using Result = typename Signature::Result;
    static constexpr bool kTakesInfo = TakesRequestInfo<typename Signature::Parameters>::value;
    using Arguments = typename DecayedTuple<
        std::conditional_t<kTakesInfo, typename DropFirst<typename Signature::Parameters>::Type,
                           typename Signature::Parameters>>::Type;
    static constexpr std::size_t kArity = std::tuple_size_v<Arguments>;

    struct Call final : PendingCall {
        Arguments arguments;
    };

  public:
    explicit TypedCallable(F handler) : handler_(std::move(handler)) {}

    std::unique_ptr<PendingCall> bindArguments(CallContext& context, std::span<const Value> values,
                                               HostWord) override {
        if constexpr (kArity == 0) {
            // Nothing to hold: every call shares the one stateless handle, which
            // `releaseCall` gives back instead of deleting.
            (void)context;
            (void)values;
            return std::unique_ptr<PendingCall>(&noArguments_);
        } else {
            auto call = std::make_unique<Call>();
            ValueResult result;
            convertAll(result, *call, values, std::make_index_sequence<kArity>());
            if (!result.ok()) {
                context.fail(result.error());
            }
            return call;
        }
    }

    void invoke(CallContext& context, const RequestInfo* info, PendingCall& pending,
                HostWord) override {
        Call& call = static_cast<Call&>(pending);
        if constexpr (std::is_void_v<Result>) {
            callHandler(info, call);
            report(context, HandlerReply<void>());
        } else {
            using Traits = ReplyTraits<Result>;
            report(context, Traits::toReply(callHandler(info, call)));
        }
    }

    void releaseCall(std::unique_ptr<PendingCall> call) noexcept override {
        if (call.get() == &noArguments_) {
            (void)call.release();  // shared, not owned by the handle
        }
    }

    std::uint32_t contextType() const noexcept override {
        return kTakesInfo ? kRequestInfoTypeId : kNoTypeId;
    }

  private:
    template <std::size_t... I>
    void convertAll([[maybe_unused]] ValueResult& result, [[maybe_unused]] Call& call,
                    [[maybe_unused]] std::span<const Value> values, std::index_sequence<I...>) {
        (convertOne(result, std::get<I>(call.arguments), values, I), ...);
    }

    void convertOne(ValueResult& result, auto& native, std::span<const Value> values,
                    std::size_t i) {
        if (!result.ok() || function_ == nullptr || i >= function_->arguments.size() ||
            i >= values.size()) {
            return;
        }
        const ArgumentDescriptor& argument = function_->arguments[i];
        if (argument.converter == nullptr || (values[i].isEmpty() && argument.optional)) {
            return;
        }
        argument.converter->toNative(result, &native, values[i], argument.name,
                                     argument.type.descriptor, function_->registry, 0);
    }

    decltype(auto) callHandler(const RequestInfo* info, Call& call) {
        return std::apply(
            [&](auto&... arguments) -> Result {
                if constexpr (kTakesInfo) {
                    static const RequestInfo kNone{};
                    return handler_(info != nullptr ? *info : kNone, std::move(arguments)...);
                } else {
                    (void)info;
                    return handler_(std::move(arguments)...);
                }
            },
            call.arguments);
    }

    template <class T>
    void report(CallContext& context, HandlerReply<T>&& reply) {
        ResponseDetails& details = reply.details();
        context.status = details.status;
        context.text = std::move(details.text);
        for (auto& [name, value] : details.headers) {
            context.headers.set(name, value);
        }
        context.flag = details.flag;
        context.category = details.category;
        if (!reply.ok()) {
            context.fail(reply.error());
            return;
        }
        if constexpr (!std::is_void_v<T>) {
            ValueResult value;
            if (function_ != nullptr && function_->resultConverter != nullptr) {
                // The host form straight from the native value when the converter can write
                // it; otherwise (or on any failure) the generic value, which decides the
                // answer exactly.
                HostValue body{};
                if (function_->resultConverter->toHostDirect(
                        body, &reply.value(), function_->result.descriptor, function_->registry)) {
                    context.setHostBody(body);
                    context.stream = std::move(details.stream);
                    return;
                }
                function_->resultConverter->toValue(
                    value, &reply.value(), function_->result.descriptor, function_->registry);
            }
            if (!value.ok()) {
                context.fail(value.error());
                context.status = 500;
                return;
            }
            context.result = std::move(value);
        }
        context.stream = std::move(details.stream);
    }

    F handler_;
    // The handle of every call when the handler takes no arguments (an empty tuple: no
    // state, so any number of threads may share it).
    Call noArguments_;
};

template <class T>
void describeResult(FunctionDescriptor& function, const TypeRegistry& registry) {
    if constexpr (!std::is_void_v<T>) {
        function.result = nativeTypeRef<T>();
        using Described = DescribedTypeOf<T>;
        if constexpr (!std::is_void_v<Described>) {
            function.result.descriptor = registry.findTypeById(typeIdOf<Described>());
        }
        function.resultConverter = makeConverter<T>();
    }
}

}  // namespace detail

// The setters of one registration; inert when the function already had a binding.
class EndpointBuilder {
  public:
    EndpointBuilder() = default;
    EndpointBuilder(FunctionDescriptor* function, FunctionBinding* binding) noexcept
        : function_(function), binding_(binding) {}

    bool active() const noexcept { return binding_ != nullptr; }
    const FunctionDescriptor* function() const noexcept { return function_; }
    FunctionBinding* binding() const noexcept { return binding_; }

    EndpointBuilder& templateText(std::string_view text);
    EndpointBuilder& method(RequestMethod method);
    EndpointBuilder& customMethod(std::string_view name);
    // Where the parameter named `parameter` may come from; an unknown name is ignored.
    EndpointBuilder& location(std::string_view parameter, ParameterLocation location);
    EndpointBuilder& description(std::string_view text);
    EndpointBuilder& help(std::string_view text);
    EndpointBuilder& nameSpace(std::string_view text);
    EndpointBuilder& threadSafe(bool value = true);
    // An empty tag is ignored.
    EndpointBuilder& tag(std::string_view text);
    EndpointBuilder& tags(const std::vector<std::string>& texts);

  private:
    FunctionDescriptor* function_ = nullptr;
    FunctionBinding* binding_ = nullptr;
};

namespace detail {

template <class C, class R, class... A>
auto memberHandlerOf(C* object, R (C::*member)(A...)) {
    return [object, member](A... arguments) -> R {
        return (object->*member)(std::forward<A>(arguments)...);
    };
}
template <class C, class R, class... A>
auto memberHandlerOf(const C* object, R (C::*member)(A...) const) {
    return [object, member](A... arguments) -> R {
        return (object->*member)(std::forward<A>(arguments)...);
    };
}

}  // namespace detail

template <class F>
EndpointBuilder FunctionRouter::bindFunction(std::string_view name, F handler,
                                             std::initializer_list<std::string_view> names) {
    using Invoker = detail::TypedCallable<F>;
    using Signature = detail::HandlerSignature<F>;
    using Decayed = detail::HandlerArguments<F>;
    if (!canRegister(name)) {
        return EndpointBuilder();
    }
    std::vector<ArgumentDescriptor> arguments = detail::argumentsFor<Decayed>(
        registry_, names, std::make_index_sequence<std::tuple_size_v<Decayed>>());
    FunctionDescriptor* function = registry_.registerFunction(name, std::move(arguments));
    using Result = typename Signature::Result;
    if constexpr (std::is_void_v<Result>) {
        detail::describeResult<void>(*function, registry_);
    } else {
        detail::describeResult<typename ReplyTraits<Result>::Value>(*function, registry_);
    }
    auto invoker = std::make_unique<Invoker>(std::move(handler));
    invoker->attach(function);
    FunctionBinding& binding = addBinding(*function);
    binding.invoker = std::move(invoker);
    return EndpointBuilder(function, &binding);
}

template <class F>
EndpointBuilder FunctionRouter::bind(RequestMethod method, std::string_view templateText, F handler,
                                     std::initializer_list<std::string_view> names) {
    EndpointBuilder builder =
        bindFunction(functionNameFor(method, templateText), std::move(handler), names);
    builder.templateText(templateText).method(method);
    return builder;
}

template <class C, class M>
requires std::is_member_function_pointer_v<M> EndpointBuilder
FunctionRouter::bind(RequestMethod method, std::string_view templateText, C& object, M member,
                     std::initializer_list<std::string_view> names) {
    return bind(method, templateText, detail::memberHandlerOf(&object, member), names);
}

}  // namespace mox
