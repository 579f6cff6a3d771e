// File: binding/converter.h
//
// `Converter`: the per-type object that fills a native object from a generic `Value` and
// builds the generic value of a native object. One converter instance exists per registered
// field, argument or result and is owned by the descriptor that holds it; the concrete classes
// (binding/converters.h) are shared by all fields of a scalar, string or object type and
// instantiated per element type for structs, vectors, maps and optionals.
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
#include <string_view>

namespace mox {

class Value;
class ValueResult;
struct TypeDescriptor;
class TypeRegistry;

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
    virtual void toNative(ValueResult& result, void* native, const Value& value,
                          std::string_view name, const TypeDescriptor* descriptor,
                          const TypeRegistry* registry, std::uint32_t flags) const = 0;

    // Builds the generic value of the native object at `native` into `result`'s value and
    // sets its flag; on failure `result` holds the message.
    void toValue(ValueResult& result, const void* native, const TypeDescriptor* descriptor,
                 const TypeRegistry* registry) const;

    // Writes the generic value of the native object into `out`, which may be any value of a
    // tree (a member or element, not only a root), so nested records are built in place
    // without temporary trees. Returns false after failing `failure` with the message; `out`
    // must then not be used (it may be part of `failure`'s value, which `fail` resets).
    [[nodiscard]] virtual bool writeValue(Value& out, const void* native,
                                          const TypeDescriptor* descriptor,
                                          const TypeRegistry* registry,
                                          ValueResult& failure) const = 0;

    // Whether the generic value of the native object is one that an omit-if-empty field leaves
    // out (empty, false, zero, or a string, blob, collection or structure of size 0), decided
    // from the native object without building the value. The default builds the value in a
    // temporary tree and inspects it; the built-in converters answer directly.
    virtual bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const;

    virtual ~Converter() = default;
};

}  // namespace mox
