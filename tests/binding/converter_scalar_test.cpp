// toNative/toValue of the scalar, string, enum and object converters: one table per native
// kind, each row an input value and the native result or the exact message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "binding/converters.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox {
namespace {

enum class Color : std::int32_t { Red = 1, Green = 2 };

using MakeValue = void (*)(Value&);

// Converts `make`'s value into `native` with the field name "f"; returns the error ("" on
// success).
template <class T>
std::string convert(MakeValue make, T& native, const TypeDescriptor* descriptor = nullptr,
                    const TypeRegistry* registry = nullptr) {
    Value value;
    make(value);
    ValueResult result;
    converterFor<T>().toNative(result, &native, value, "f", descriptor, registry, 0);
    return std::string(result.error());
}

template <class Number>
struct NumberRow {
    const char* reason;
    MakeValue make;
    Number expected;  // when error is empty
    const char* error;
};

template <class T>
void runNumberTable(const NumberRow<T>* rows, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const NumberRow<T>& row = rows[i];
        SCOPED_TRACE(row.reason);
        T native{};
        const std::string error = convert(row.make, native);
        EXPECT_EQ(error, row.error);
        if (*row.error == '\0') {
            EXPECT_EQ(native, row.expected);
        }
    }
}

TEST(ConverterIntegerTest, Int32) {
    const NumberRow<std::int32_t> rows[] = {
        {"signed", [](Value& v) { v.setSigned(-5); }, -5, ""},
        {"unsigned", [](Value& v) { v.setUnsigned(7); }, 7, ""},
        {"hex text", [](Value& v) { v.setString("0x1F"); }, 31, ""},
        {"octal text", [](Value& v) { v.setString("010"); }, 8, ""},
        {"leading space and sign", [](Value& v) { v.setString("  -42"); }, -42, ""},
        {"empty text gives 0", [](Value& v) { v.setString(""); }, 0, ""},
        {"float truncates", [](Value& v) { v.setFloat(2.9); }, 2, ""},
        {"negative float truncates", [](Value& v) { v.setFloat(-2.9); }, -2, ""},
        {"enum number", [](Value& v) { v.setEnum(5, nullptr); }, 5, ""},
        {"minimum", [](Value& v) { v.setSigned(-2147483648LL); }, -2147483647 - 1, ""},
        {"trailing characters", [](Value& v) { v.setString("12abc"); }, 0,
         "Value 12abc for 'f' of type int32 is in an incorrect format"},
        {"trailing space", [](Value& v) { v.setString("12 "); }, 0,
         "Value 12  for 'f' of type int32 is in an incorrect format"},
        {"text above max", [](Value& v) { v.setString("2147483648"); }, 0,
         "Value 2147483648 for 'f' of type int32 is out of range"},
        {"text overflows 64 bits", [](Value& v) { v.setString("99999999999999999999"); }, 0,
         "Value 99999999999999999999 for 'f' of type int32 is out of range"},
        {"signed below min", [](Value& v) { v.setSigned(-2147483649LL); }, 0,
         "Value -2147483649 for 'f' of type int32 is out of range"},
        {"unsigned above max", [](Value& v) { v.setUnsigned(2147483648ULL); }, 0,
         "Value 2147483648 for 'f' of type int32 is out of range"},
        {"float above max", [](Value& v) { v.setFloat(2147483647.5); }, 0,
         "Value 2.14748e+09 for 'f' of type int32 is out of range"},
        {"float NaN never passes the range test",
         [](Value& v) { v.setFloat(std::numeric_limits<double>::quiet_NaN()); }, 0,
         "Value nan for 'f' of type int32 is out of range"},
        {"float infinity", [](Value& v) { v.setFloat(-std::numeric_limits<double>::infinity()); },
         0, "Value -inf for 'f' of type int32 is out of range"},
        {"bool", [](Value& v) { v.setBool(true); }, 0,
         "Couldn't assign value to 'f' of type int32 because the input is of an invalid type "
         "bool."},
        {"collection", [](Value& v) { v.makeCollection(); }, 0,
         "Couldn't assign value to 'f' of type int32 because the input is of an invalid type "
         "collection."},
        {"empty", [](Value&) {}, 0, "A value for 'f' is required."},
    };
    runNumberTable(rows, std::size(rows));

    // A text holding a NUL byte is not a number, although the C parser stops at the NUL.
    std::int32_t native = 0;
    const std::string error =
        convert([](Value& v) { v.setString(std::string_view("12\0", 3)); }, native);
    EXPECT_NE(error.find("is in an incorrect format"), std::string::npos) << error;
}

TEST(ConverterIntegerTest, UnsignedWidths) {
    const NumberRow<std::uint8_t> uint8Rows[] = {
        {"max", [](Value& v) { v.setUnsigned(255); }, 255, ""},
        {"signed 300", [](Value& v) { v.setSigned(300); }, 0,
         "Value 300 for 'f' of type uint8 is out of range"},
        {"negative signed", [](Value& v) { v.setSigned(-1); }, 0,
         "Value -1 for 'f' of type uint8 is out of range"},
        {"negative enum", [](Value& v) { v.setEnum(-1, nullptr); }, 0,
         "Value -1 for 'f' of type uint8 is out of range"},
        {"negative float", [](Value& v) { v.setFloat(-0.5); }, 0,
         "Value -0.5 for 'f' of type uint8 is out of range"},
    };
    runNumberTable(uint8Rows, std::size(uint8Rows));

    const NumberRow<std::uint32_t> uint32Rows[] = {
        {"hex text", [](Value& v) { v.setString("0xFFFFFFFF"); }, 4294967295u, ""},
        {"text -1", [](Value& v) { v.setString("-1"); }, 0,
         "Value -1 for 'f' of type uint32 is out of range"},
        {"text -0 starts with a minus", [](Value& v) { v.setString("-0"); }, 0,
         "Value -0 for 'f' of type uint32 is out of range"},
        {"signed -1", [](Value& v) { v.setSigned(-1); }, 0,
         "Value -1 for 'f' of type uint32 is out of range"},
        {"unsigned 2^32", [](Value& v) { v.setUnsigned(4294967296ULL); }, 0,
         "Value 4294967296 for 'f' of type uint32 is out of range"},
        {"format", [](Value& v) { v.setString("0x"); }, 0,
         "Value 0x for 'f' of type uint32 is in an incorrect format"},
        {"blob", [](Value& v) { v.setBlob("ab", 2); }, 0,
         "Couldn't assign value to 'f' of type uint32 because the input is of an invalid type "
         "blob."},
    };
    runNumberTable(uint32Rows, std::size(uint32Rows));

    const NumberRow<std::uint64_t> uint64Rows[] = {
        {"max text", [](Value& v) { v.setString("18446744073709551615"); }, 18446744073709551615ULL,
         ""},
        // strtoull would negate " -1" to the maximum; a negative text is never accepted.
        {"minus after white space", [](Value& v) { v.setString(" -1"); }, 0,
         "Value  -1 for 'f' of type uint64 is out of range"},
        {"text overflow", [](Value& v) { v.setString("18446744073709551616"); }, 0,
         "Value 18446744073709551616 for 'f' of type uint64 is out of range"},
        // 2^64 compares equal to (double)UINT64_MAX but cannot be cast.
        {"float 2^64", [](Value& v) { v.setFloat(18446744073709551616.0); }, 0,
         "Value 1.84467e+19 for 'f' of type uint64 is out of range"},
    };
    runNumberTable(uint64Rows, std::size(uint64Rows));
}

TEST(ConverterIntegerTest, SignedWidths) {
    const NumberRow<std::int8_t> int8Rows[] = {
        {"min", [](Value& v) { v.setSigned(-128); }, -128, ""},
        {"above max", [](Value& v) { v.setUnsigned(128); }, 0,
         "Value 128 for 'f' of type int8 is out of range"},
    };
    runNumberTable(int8Rows, std::size(int8Rows));
    const NumberRow<std::int16_t> int16Rows[] = {
        {"text", [](Value& v) { v.setString("-32768"); }, -32768, ""},
        {"text above max", [](Value& v) { v.setString("32768"); }, 0,
         "Value 32768 for 'f' of type int16 is out of range"},
    };
    runNumberTable(int16Rows, std::size(int16Rows));
    const NumberRow<std::int64_t> int64Rows[] = {
        {"min text", [](Value& v) { v.setString("-9223372036854775808"); },
         std::numeric_limits<std::int64_t>::min(), ""},
        {"unsigned above max", [](Value& v) { v.setUnsigned(9223372036854775808ULL); }, 0,
         "Value 9223372036854775808 for 'f' of type int64 is out of range"},
        // 2^63 compares equal to (double)INT64_MAX but cannot be cast.
        {"float 2^63", [](Value& v) { v.setFloat(9223372036854775808.0); }, 0,
         "Value 9.22337e+18 for 'f' of type int64 is out of range"},
        {"float -2^63 is the minimum", [](Value& v) { v.setFloat(-9223372036854775808.0); },
         std::numeric_limits<std::int64_t>::min(), ""},
    };
    runNumberTable(int64Rows, std::size(int64Rows));
}

TEST(ConverterFloatingTest, DoubleAndFloat) {
    const NumberRow<double> doubleRows[] = {
        {"float", [](Value& v) { v.setFloat(0.25); }, 0.25, ""},
        {"signed", [](Value& v) { v.setSigned(-3); }, -3.0, ""},
        {"unsigned", [](Value& v) { v.setUnsigned(18446744073709551615ULL); },
         18446744073709551615.0, ""},
        {"enum", [](Value& v) { v.setEnum(4, nullptr); }, 4.0, ""},
        {"text", [](Value& v) { v.setString(" 1.5e2"); }, 150.0, ""},
        {"hex text", [](Value& v) { v.setString("0x10"); }, 16.0, ""},
        {"underflow keeps the nearest value", [](Value& v) { v.setString("1e-400"); }, 0.0, ""},
        {"trailing characters", [](Value& v) { v.setString("1.5x"); }, 0,
         "Value 1.5x for 'f' of type double is in an incorrect format"},
        {"overflow", [](Value& v) { v.setString("1e400"); }, 0,
         "Value 1e400 for 'f' of type double is out of range"},
        {"infinity text", [](Value& v) { v.setString("inf"); }, 0,
         "Value inf for 'f' of type double is out of range"},
        {"NaN text", [](Value& v) { v.setString("nan"); }, 0,
         "Value nan for 'f' of type double is out of range"},
        {"NaN float", [](Value& v) { v.setFloat(std::numeric_limits<double>::quiet_NaN()); }, 0,
         "Value nan for 'f' of type double is out of range"},
        {"infinite float", [](Value& v) { v.setFloat(std::numeric_limits<double>::infinity()); }, 0,
         "Value inf for 'f' of type double is out of range"},
        {"bool", [](Value& v) { v.setBool(false); }, 0,
         "Couldn't assign value to 'f' of type double because the input is of an invalid type "
         "bool."},
        {"empty", [](Value&) {}, 0, "A value for 'f' is required."},
    };
    runNumberTable(doubleRows, std::size(doubleRows));

    const NumberRow<float> floatRows[] = {
        {"float", [](Value& v) { v.setFloat(0.5); }, 0.5f, ""},
        {"above float max", [](Value& v) { v.setFloat(1e39); }, 0,
         "Value 1e+39 for 'f' of type float is out of range"},
        {"text above float max", [](Value& v) { v.setString("1e39"); }, 0,
         "Value 1e39 for 'f' of type float is out of range"},
    };
    runNumberTable(floatRows, std::size(floatRows));
}

TEST(ConverterBoolTest, Rules) {
    const NumberRow<bool> rows[] = {
        {"bool", [](Value& v) { v.setBool(true); }, true, ""},
        {"true", [](Value& v) { v.setString("true"); }, true, ""},
        {"1", [](Value& v) { v.setString("1"); }, true, ""},
        {"false", [](Value& v) { v.setString("false"); }, false, ""},
        {"0", [](Value& v) { v.setString("0"); }, false, ""},
        {"case-sensitive", [](Value& v) { v.setString("TRUE"); }, false,
         "Value TRUE for 'f' of type bool is in an incorrect format. Options are \"true\", "
         "\"false\", \"1\", \"0\"."},
        {"numbers are not bools", [](Value& v) { v.setSigned(1); }, false,
         "Couldn't assign value to 'f' of type bool because the input is of an invalid type "
         "signed."},
        {"empty", [](Value&) {}, false, "A value for 'f' is required."},
    };
    runNumberTable(rows, std::size(rows));
}

class ConverterEnumTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registry.beginEnum<Color>("Color")
            .value("Red", Color::Red)
            .value("Green", Color::Green)
            .finish();
        color = registry.findTypeByName("Color");
        ASSERT_NE(color, nullptr);
    }
    TypeRegistry registry;
    const TypeDescriptor* color = nullptr;
};

TEST_F(ConverterEnumTest, EnumField) {
    struct Row {
        const char* reason;
        MakeValue make;
        Color expected;
        const char* error;
    };
    const Row rows[] = {
        {"name", [](Value& v) { v.setString("Green"); }, Color::Green, ""},
        {"number text", [](Value& v) { v.setString("2"); }, Color::Green, ""},
        {"hex number text", [](Value& v) { v.setString("0x1"); }, Color::Red, ""},
        {"signed", [](Value& v) { v.setSigned(1); }, Color::Red, ""},
        {"low 32 bits", [](Value& v) { v.setSigned(0x100000002LL); }, Color::Green, ""},
        {"enum of any type", [](Value& v) { v.setEnum(2, nullptr); }, Color::Green, ""},
        {"unknown word", [](Value& v) { v.setString("Purple"); }, Color::Red,
         "Purple is not a valid Color enumeration value for 'f'."},
        {"names are case-sensitive", [](Value& v) { v.setString("green"); }, Color::Red,
         "green is not a valid Color enumeration value for 'f'."},
        {"unknown number text", [](Value& v) { v.setString("7"); }, Color::Red,
         "7 is not a valid Color enumeration value for 'f'."},
        {"unknown unsigned", [](Value& v) { v.setUnsigned(9); }, Color::Red,
         "9 is not a valid Color enumeration value for 'f'."},
        {"unknown enum number", [](Value& v) { v.setEnum(3, nullptr); }, Color::Red,
         "3 is not a valid Color enumeration value for 'f'."},
        {"bool", [](Value& v) { v.setBool(true); }, Color::Red,
         "Couldn't assign value to 'f' of enum type because the input is of an invalid type "
         "bool."},
        {"empty", [](Value&) {}, Color::Red, "A value for 'f' is required."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        Color native = Color::Red;
        EXPECT_EQ(convert(row.make, native, color, &registry), row.error);
        EXPECT_EQ(native, row.expected);
    }
}

TEST_F(ConverterEnumTest, StringField) {
    struct Row {
        const char* reason;
        MakeValue make;
        const char* expected;
        const char* error;
    };
    const Row rows[] = {
        {"text", [](Value& v) { v.setString("abc"); }, "abc", ""},
        {"enum gives its name", [](Value& v) { v.setEnum(2, &staticTypeIdOf<Color>()); }, "Green",
         ""},
        {"enum number unknown", [](Value& v) { v.setEnum(7, &staticTypeIdOf<Color>()); }, "",
         "7 is not a valid enumeration value for 'f'."},
        {"enum type unknown", [](Value& v) { v.setEnum(1, nullptr); }, "",
         "1 is not a valid enumeration value for 'f'."},
        {"number", [](Value& v) { v.setSigned(3); }, "",
         "Couldn't assign value to 'f' because the input is not a string."},
        {"empty", [](Value&) {}, "", "A value for 'f' is required."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        std::string native;
        EXPECT_EQ(convert(row.make, native, nullptr, &registry), row.error);
        EXPECT_EQ(native, row.expected);
    }
}

TEST_F(ConverterEnumTest, ToValueKinds) {
    ValueResult result;
    const Color green = Color::Green;
    converterFor<Color>().toValue(result, &green, color, &registry);
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result.value().kind(), ValueKind::Enum);
    EXPECT_EQ(result.value().asEnum().number, 2);
    EXPECT_EQ(result.value().asEnum().typeId, &staticTypeIdOf<Color>());

    const std::uint8_t small = 200;
    converterFor<std::uint8_t>().toValue(result, &small, nullptr, nullptr);
    EXPECT_EQ(result.value().kind(), ValueKind::Unsigned);
    EXPECT_EQ(result.value().asUnsigned(), 200u);

    const std::int16_t negative = -3;
    converterFor<std::int16_t>().toValue(result, &negative, nullptr, nullptr);
    EXPECT_EQ(result.value().kind(), ValueKind::Signed);
    EXPECT_EQ(result.value().asSigned(), -3);

    const float half = 0.5f;
    converterFor<float>().toValue(result, &half, nullptr, nullptr);
    EXPECT_EQ(result.value().kind(), ValueKind::Float);
    EXPECT_EQ(result.value().asFloat(), 0.5);

    const std::string text = "hello";
    converterFor<std::string>().toValue(result, &text, nullptr, nullptr);
    EXPECT_EQ(result.value().asString(), "hello");
}

TEST(ConverterObjectTest, DeepCopiesAnyKind) {
    Value input;
    input.member("b").setString("text");
    input.member("a").append().setSigned(1);
    Value native;
    native.setBool(true);
    ValueResult result;
    converterFor<Value>().toNative(result, &native, input, "f", nullptr, nullptr, 0);
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(native.kind(), ValueKind::Structure);
    EXPECT_EQ(native.find("b").asString(), "text");
    EXPECT_EQ(native.find("a").at(0).asSigned(), 1);
    EXPECT_NE(native.context(), input.context());  // a copy, not a view

    // An empty input leaves the native value empty.
    const Value empty;
    converterFor<Value>().toNative(result, &native, empty, "f", nullptr, nullptr, 0);
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(native.isEmpty());
}

TEST(ConverterSharedTest, FirstFailureWins) {
    ValueResult result;
    result.fail("earlier");
    std::int32_t native = 5;
    Value value;
    value.setSigned(7);
    converterFor<std::int32_t>().toNative(result, &native, value, "f", nullptr, nullptr, 0);
    std::string text = "keep";
    converterFor<std::string>().toNative(result, &text, value, "f", nullptr, nullptr, 0);
    EXPECT_EQ(result.error(), "earlier");
    EXPECT_EQ(native, 5);
    EXPECT_EQ(text, "keep");
}

}  // namespace
}  // namespace mox
