// File: binding/converter.h
//
// `Converter`: the per-type object that fills a native object from a generic `Value` and
// builds the generic value of a native object. One converter instance exists per registered
// field, argument or result and is owned by the descriptor that holds it; the concrete classes
// (made by `makeConverter`, binding/converters.h) are one per native kind; a vector, map or
// optional converter holds the converter of its element type.
//
// Converters hold no state that changes after construction: one instance may be used by
// several threads at once, each with its own values and native objects.
//
// Failure rules shared by every implementation:
//   - `toNative` does nothing when `result` has already failed, so in a sequence of
//     conversions sharing one result the first failure wins;
//   - a failure inside a nested field or element fails the outer conversion with the inner
//     message unchanged;
//   - a failed `toNative` may leave the native object partly filled;
//   - nothing is thrown for bad input (allocation failures aside).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace mox {

class Value;
class ValueResult;
struct HostValue;
struct TypeDescriptor;
class TypeRegistry;

// Where `writeValue` reports a failure. The message is kept apart from every value tree, so
// reporting it can never release the value being written (a `ValueResult`'s own value may be
// that very value). Only the first failure is kept.
class ConversionFailure {
  public:
    void set(std::string message) {
        if (!failed_) {
            message_ = std::move(message);
            failed_ = true;
        }
    }
    bool failed() const noexcept { return failed_; }
    const std::string& message() const noexcept { return message_; }

  private:
    std::string message_;
    bool failed_ = false;
};

// Nesting: every struct, vector and map level of a conversion is one container level of the
// generic value (a scalar at the top is depth 0). Both directions refuse to go deeper than
// `kMaxNestingDepth` (binding/values/nesting_limit.h), so a record type that refers to itself
// through a vector or map cannot exhaust the stack:
//   toNative: "Couldn't assign value to '%1' because the input is nested more than %2 levels
//   deep." (%1 = the name of the container that would be too deep, %2 = the bound);
//   toValue: "Couldn't convert native value because it is nested more than %1 levels deep."
// An "object" field copies its `Value` whole, under the depth contract of `Value::assign`.
class Converter {
  public:
    Converter() = default;
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Fills the native object at `native` from `value`. `name` stands for '%1' in messages
    // (a field's name, a vector's own name for its elements, or a caller's name such as
    // "<value>"). `descriptor` is the type descriptor of the native type when it is a struct
    // or enum, or of the element type of a vector or map of them; null otherwise. `registry`
    // may be null (enum names then cannot be resolved). `flags` is handed unchanged to nested
    // conversions. On success `result` is left untouched; on failure it is failed with the
    // message (its value is not otherwise used).
    // REQUIRES: `native` points at a live object of the converter's native type.
    void toNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                  const TypeDescriptor* descriptor, const TypeRegistry* registry,
                  std::uint32_t flags) const {
        readNative(result, native, value, name, descriptor, registry, flags, 0);
    }

    // Builds the generic value of the native object at `native` into `result`'s value and
    // sets its flag; on failure `result` holds the message.
    void toValue(ValueResult& result, const void* native, const TypeDescriptor* descriptor,
                 const TypeRegistry* registry) const;

    // The host form of the native object at the top of a conversion, into `out` (released
    // first): true when `writeHost` succeeded. On false `out` is kind 0 and the caller takes
    // the generic path. Nothing is thrown.
    [[nodiscard]] bool toHostDirect(HostValue& out, const void* native,
                                    const TypeDescriptor* descriptor,
                                    const TypeRegistry* registry) const noexcept;

    // toNative for a value that `depth` containers of the same conversion enclose. Nested
    // conversions call this with the depth of the element or field.
    virtual void readNative(ValueResult& result, void* native, const Value& value,
                            std::string_view name, const TypeDescriptor* descriptor,
                            const TypeRegistry* registry, std::uint32_t flags,
                            std::uint32_t depth) const = 0;

    // Writes the generic value of the native object into `out`, which may be any value of a
    // tree (a member or element, not only a root), so nested records are built in place
    // without temporary trees. `depth` counts the containers of this conversion that enclose
    // `out`. Returns false after setting `failure`; `out` then holds a partial value.
    [[nodiscard]] virtual bool writeValue(Value& out, const void* native,
                                          const TypeDescriptor* descriptor,
                                          const TypeRegistry* registry, std::uint32_t depth,
                                          ConversionFailure& failure) const = 0;

    // Writes the host form (binding/host_value.h) of the native object straight into `out`,
    // which is kind 0 on entry: exactly what `toHost` makes of the generic value that
    // `writeValue` builds, without building that tree. `depth` is as for `writeValue`.
    // Returns false when it cannot: a conversion failure, no memory, or a shape it does not
    // write directly. `out` may then hold a partial value, which the caller releases before it
    // takes the generic path (`toValue`, then `toHost`); that path decides the outcome and the
    // message, so the direct form never changes an answer. The default builds the generic
    // value of this object in a temporary tree and converts it.
    [[nodiscard]] virtual bool writeHost(HostValue& out, const void* native,
                                         const TypeDescriptor* descriptor,
                                         const TypeRegistry* registry, std::uint32_t depth) const;

    // Whether the generic value of the native object is one that an omit-if-empty field leaves
    // out (empty, false, zero, or a string, blob, collection or structure of size 0), decided
    // from the native object without building the value. The default builds the value in a
    // temporary tree and inspects it; the built-in converters answer directly.
    virtual bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const;

    virtual ~Converter() = default;
};

}  // namespace mox
