// File: binding/converter_classes.h
//
// Private to binding/: the concrete converter classes behind `makeConverter`
// (binding/converters.h) and the scalar reading rules they share. Code outside binding/ holds
// converters only as `Converter` and makes them through `makeConverter<T>()`.
//
// One class per native kind. The leaf classes (bool, integers, floating, string, object, blob,
// enum, struct) know their native type; the container classes (vector, map, optional) reach
// theirs through the function tables of converters.h and hold the converter of their element.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "binding/converter.h"
#include "binding/converters.h"
#include "binding/number_conversion.h"

namespace mox::detail {

// The number rules behind binding/number_conversion.h, which code outside binding/ uses.
[[nodiscard]] bool readSignedNumber(ValueResult& result, const Value& value, std::string_view name,
                                    std::int64_t min, std::int64_t max, const char* typeName,
                                    std::int64_t& out);
[[nodiscard]] bool readUnsignedNumber(ValueResult& result, const Value& value,
                                      std::string_view name, std::uint64_t max,
                                      const char* typeName, std::uint64_t& out);
[[nodiscard]] bool readFloatingNumber(ValueResult& result, const Value& value,
                                      std::string_view name, double max, const char* typeName,
                                      double& out);

// Whether a value built by `toValue` is left out by an omit-if-empty field: empty, false, 0,
// 0.0 (also -0.0), enum number 0, or a string, blob, collection or structure of size 0.
bool isOmittable(const Value& value) noexcept;

class BoolConverter final : public Converter {
  public:
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

// An integer stored as `T` (a fixed-width integer type). The native object is read and written
// through its bytes, so every C++ integer type of T's width and signedness may use it.
template <class T>
class IntegerConverter final : public Converter {
  public:
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

// float or double.
template <class T>
class FloatingConverter final : public Converter {
  public:
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

class StringConverter final : public Converter {
  public:
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

// A native `Value` ("object"): converts by deep copy, whatever the kind.
class ObjectConverter final : public Converter {
  public:
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

// A native byte vector (`ValueBytes`). Accepts only blobs.
class BlobConverter final : public Converter {
  public:
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

// An enum stored natively as a signed 32-bit number. `typeId` is the identity of the native
// enum type, used for the generic value when no descriptor is given.
class EnumConverter final : public Converter {
  public:
    explicit EnumConverter(const StaticTypeId* typeId) noexcept : typeId_(typeId) {}
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;

  private:
    const StaticTypeId* typeId_;
};

// A registered record: recurses through the fields of the descriptor it is given.
// isEmptyNative is true when every field would be omitted, and false without a descriptor
// (the conversion must run to report the failure).
class StructConverter final : public Converter {
  public:
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;
};

class VectorConverter final : public Converter {
  public:
    VectorConverter(std::unique_ptr<Converter> element, const VectorOps& ops) noexcept
        : element_(std::move(element)), ops_(ops) {}
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;

  private:
    std::unique_ptr<Converter> element_;
    const VectorOps& ops_;
};

class MapConverter final : public Converter {
  public:
    MapConverter(std::unique_ptr<Converter> element, const MapOps& ops) noexcept
        : element_(std::move(element)), ops_(ops) {}
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;

  private:
    std::unique_ptr<Converter> element_;
    const MapOps& ops_;
};

// An optional native: an empty input leaves it without a value; any other input is converted
// by the held type's rules and, on success, the optional holds the result (on failure it holds
// none). Without a value it converts to an empty generic value.
class OptionalConverter final : public Converter {
  public:
    OptionalConverter(std::unique_ptr<Converter> held, const OptionalOps& ops) noexcept
        : held_(std::move(held)), ops_(ops) {}
    void readNative(ValueResult& result, void* native, const Value& value, std::string_view name,
                    const TypeDescriptor* descriptor, const TypeRegistry* registry,
                    std::uint32_t flags, std::uint32_t depth) const override;
    bool writeValue(Value& out, const void* native, const TypeDescriptor* descriptor,
                    const TypeRegistry* registry, std::uint32_t depth,
                    ConversionFailure& failure) const override;
    bool writeHost(HostValue& out, const void* native, const TypeDescriptor* descriptor,
                   const TypeRegistry* registry, std::uint32_t depth) const override;
    bool isEmptyNative(const void* native, const TypeDescriptor* descriptor) const override;

  private:
    std::unique_ptr<Converter> held_;
    const OptionalOps& ops_;
};

}  // namespace mox::detail
