// parseJson: one table of texts with the whole resulting tree or the exact message, then the
// nesting bound, which must hold without RapidJSON's iterative mode.
#include "formats/json_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "binding/values/nesting_limit.h"
#include "tests/formats/value_text.h"

namespace mox {
namespace {

struct JsonRow {
    const char* reason;
    const char* input;
    const char* expected;  // test::resultText
};

TEST(JsonReaderTest, ReadsTextsIntoValues) {
    const JsonRow rows[] = {
        {"root null is a success", "null", "~"},
        {"bools", "[true,false]", "[true,false]"},
        {"small numbers are unsigned", "[0,7]", "[u0,u7]"},
        {"negative is signed", "-7", "i-7"},
        {"minus zero is signed", "-0", "i0"},
        {"fraction and exponent are floats", "[7.0,1e2,-1.5]", "[f7,f100,f-1.5]"},
        {"largest unsigned", "18446744073709551615", "u18446744073709551615"},
        {"2^64 is a float", "18446744073709551616", "f1.8446744073709552e+19"},
        {"smallest signed", "-9223372036854775808", "i-9223372036854775808"},
        {"below the signed range is a float", "-9223372036854775809", "f-9.2233720368547758e+18"},
        {"unescaping", R"("a\"\\\/\n\u00e9\ud83d\ude00")",
         "'a\"\\x5c/\\x0a\\xc3\\xa9\\xf0\\x9f\\x98\\x80'"},
        {"escaped NUL ends a string", R"(["a\u0000b"])", "['a']"},
        {"escaped NUL ends a key", R"({"k\u0000x":1})", "{k:u1}"},
        {"non-ASCII bytes are copied through", "\"\xff\xfe\"", "'\\xff\\xfe'"},
        {"members in name order", R"({"b":1,"a":{"c":[]}})", "{a:{c:[]},b:u1}"},
        {"whitespace around the root", " \t\r\n{} \n", "{}"},
        {"repeated key: later scalar replaces", R"({"a":1,"a":"x"})", "{a:'x'}"},
        {"repeated key: arrays append", R"({"a":[1],"a":[2]})", "{a:[u1,u2]}"},
        {"repeated key: objects merge, later member wins",
         R"({"a":{"x":1,"y":2},"a":{"y":3,"z":4}})", "{a:{x:u1,y:u3,z:u4}}"},
        {"repeated key: null keeps the member", R"({"a":1,"a":null})", "{a:u1}"},
        {"repeated key: array replaces a scalar", R"({"a":1,"a":[2]})", "{a:[u2]}"},
        {"nulls inside an array stay elements", "[null,1]", "[~,u1]"},
        // Failures: RapidJSON's own texts and offsets.
        {"empty text", "", "error: Error: The document is empty. at offset 0."},
        {"only whitespace", "   ", "error: Error: The document is empty. at offset 3."},
        {"root followed by a letter", "{} x",
         "error: Error: The document root must not be followed by other values. at offset 3."},
        {"lone closing bracket", "]", "error: Error: Invalid value. at offset 0."},
        {"missing comma", R"({"a":1 "b":2})",
         "error: Error: Missing a comma or '}' after an object member. at offset 7."},
        {"trailing comma", "[1,]", "error: Error: Invalid value. at offset 3."},
        {"comment", "/* x */ 1", "error: Error: Invalid value. at offset 0."},
        {"NaN literal", "NaN", "error: Error: Invalid value. at offset 0."},
        {"bad escape", R"("\x")", "error: Error: Invalid escape character in string. at offset 1."},
        {"lone surrogate", R"("\ud800")",
         "error: Error: The surrogate pair in string is invalid. at offset 1."},
        {"raw control character", "\"a\x01\"",
         "error: Error: Invalid escape character in string. at offset 2."},
        {"number too big for a double", "1e400",
         "error: Error: Number too big to be stored in double. at offset 0."},
        {"missing fraction digit", "1.",
         "error: Error: Miss fraction part in number. at offset 2."},
        {"missing exponent digit", "1e", "error: Error: Miss exponent in number. at offset 2."},
        {"unterminated string", "\"abc",
         "error: Error: Missing a closing quotation mark in string. at offset 4."},
    };
    for (const JsonRow& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(test::resultText(parseJson(row.input)), row.expected);
    }
}

TEST(JsonReaderTest, StringObjectEndsAtItsFirstNul) {
    const std::string text("[1]\0garbage", 11);
    EXPECT_EQ(test::resultText(parseJson(text)), "[u1]");
    EXPECT_EQ(test::resultText(parseJson(static_cast<const char*>(nullptr))),
              "error: Error: The document is empty. at offset 0.");
}

TEST(JsonReaderTest, RefusesNestingDeeperThanTheBound) {
    const std::string accepted =
        std::string(kMaxNestingDepth, '[') + std::string(kMaxNestingDepth, ']');
    EXPECT_TRUE(parseJson(accepted).ok());

    // A few hundred kilobytes of brackets would exhaust the stack of RapidJSON's recursive
    // reader; the builder stops it at the 257th level, named by the bracket's offset.
    const std::string deepArrays(300000, '[');
    EXPECT_EQ(test::resultText(parseJson(deepArrays)),
              "error: Error: The document nests deeper than 256 levels. at offset 256.");
    std::string deepObjects;
    for (std::uint32_t i = 0; i < kMaxNestingDepth + 1; ++i) {
        deepObjects += "{\"k\":";
    }
    EXPECT_EQ(test::resultText(parseJson(deepObjects)),
              "error: Error: The document nests deeper than 256 levels. at offset 1280.");
}

}  // namespace
}  // namespace mox
