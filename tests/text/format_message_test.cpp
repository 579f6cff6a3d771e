#include "text/format_message.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace mox {
namespace {

// One formatted result and what it must be. The call is made where the table is built so
// that every row can use its own argument types.
struct Case {
    std::string actual;
    std::string expected;
    const char* reason;
};

void expectCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(c.actual, c.expected);
    }
}

TEST(FormatMessage, NumberedPlaceholders) {
    expectCases({
        {formatMessage("Index %1 is out of range", 12), "Index 12 is out of range",
         "a numbered placeholder takes its argument"},
        {formatMessage("%2 before %1", "one", std::string("two")), "two before one",
         "placeholders may name arguments in any order"},
        {formatMessage("%1 %1", 3), "3 3", "an argument may be used twice"},
        {formatMessage("%1d", 7), "7d", "the numbered form ends after its digits"},
        {formatMessage("[%5d]", 42), "[   42]", "5 exceeds one argument: read as a width"},
        {formatMessage("%5d", 1, 2, 3, 4, 5), "5d", "with five arguments %5 is argument 5"},
        {formatMessage("%3$d", 1, 2), "  1d",
         "3 exceeds two arguments: a width of 3, then '$' is no letter for an int"},
        {formatMessage("%1", std::uint64_t{18446744073709551615u}), "18446744073709551615",
         "a numbered 64-bit unsigned value gets ll"},
        {formatMessage("%1", std::int64_t{INT64_MIN}), "-9223372036854775808",
         "a numbered 64-bit signed value gets ll"},
        {formatMessage("%1", 4000000000u), "4000000000",
         "a numbered 32-bit unsigned value prints unsigned"},
        {formatMessage("%1 %2 %3", true, static_cast<short>(-3), std::uint16_t{65535}),
         "1 -3 65535", "bool and 16-bit integers widen to int"},
        {formatMessage("%1 %2", 0.5f, 1e100), "0.5 1e+100", "float widens; doubles default to g"},
        {formatMessage("%1%2", 'A', static_cast<unsigned char>('b')), "Ab",
         "8-bit characters default to c"},
        {formatMessage("%1", std::size_t{SIZE_MAX}), std::to_string(SIZE_MAX),
         "size_t maps by its width on this target"},
        {formatMessage("%1", LONG_MIN), std::to_string(LONG_MIN),
         "long maps by its width on this target"},
        {formatMessage("%2 %d %d", 1, 2), "2 1 2",
         "the numbered form does not move the sequential counter"},
    });
}

TEST(FormatMessage, PrintfConversions) {
    const char text[] = "plain";
    expectCases({
        {formatMessage("Error: %s at offset %u.", "Invalid value.", 7u),
         "Error: Invalid value. at offset 7.", "sequential conversions"},
        {formatMessage("100%% of %d", 3), "100% of 3", "two percent signs write one"},
        {formatMessage("%x", 1.5), "1.5", "x is not for doubles: g is used"},
        {formatMessage("%s", 42), "42", "s is not for ints: d is used"},
        {formatMessage("%u", -1), "4294967295", "u prints an int unsigned"},
        {formatMessage("%#x %X %o", 255, 255, 8), "0xff FF 10", "flags and radix letters"},
        {formatMessage("%+d|% d|%-4d|%04d", 5, 5, 5, 5), "+5| 5|5   |0005", "flags and widths"},
        {formatMessage("%08.3f %.2e", 3.14159, 12345.0), "0003.142 1.23e+04",
         "double conversions with precision"},
        {formatMessage("%hhx %hd", 511, 65537), "ff 1", "h and hh are kept for ints"},
        {formatMessage("%lld %ld %zu", 5, -1, 7), "5 -1 7",
         "a modifier that does not fit an int is replaced, not passed to printf"},
        {formatMessage("%d %x", std::int64_t{-4294967296}, std::uint64_t{UINT64_MAX}),
         "-4294967296 ffffffffffffffff", "64-bit values print in full without a written ll"},
        {formatMessage("%hd", std::int64_t{70000}), "70000", "h does not truncate a 64-bit value"},
        {formatMessage("%c%c%d%lc", 'A', std::int64_t{66}, 'A', 'C'), "AB65C",
         "c for characters and 64-bit values, d for a character, l dropped from c"},
        {formatMessage("%Lf %lf", 1.5, 2.5), "1.500000 2.500000",
         "L would read a long double: dropped for a double"},
        {formatMessage("%ls|%5s|%-5s|%.2s", "wide", "ab", "cd", "xyz"), "wide|   ab|cd   |xy",
         "texts with width, precision and a dropped l"},
        {formatMessage("%s %s", std::string("object"), std::string_view("viewed", 4)),
         "object view", "string objects print their character data"},
        {formatMessage("[%6.3s][%-6s]", std::string_view("abcdef"), std::string("ab")),
         "[   abc][ab    ]", "string objects keep width and a smaller precision"},
        {formatMessage("%s|%d", text, 1), "plain|1", "a char array is text"},
        {formatMessage("%s", static_cast<const char*>(nullptr)), "(null)",
         "a null text prints a marker instead of crashing"},
        {formatMessage("a%nb%d", 5, 6), "ab6", "n writes nothing and consumes its argument"},
        {formatMessage("%1$n%2$d", 5, 6), "6", "n by position writes nothing"},
    });
}

TEST(FormatMessage, StarsAndPositions) {
    expectCases({
        {formatMessage("[%*d]", 5, 42), "[   42]", "star width takes the next argument"},
        {formatMessage("[%-*d]", 5, 42), "[42   ]", "star width with a flag"},
        {formatMessage("[%*d]", -5, 42), "[42   ]", "a negative star width aligns left"},
        {formatMessage("%.*f", 2, 3.14159), "3.14", "star precision"},
        {formatMessage("[%*.*f]", 7, 2, 3.14159), "[   3.14]", "star width and precision"},
        {formatMessage("%.*f", -1, 0.5), "0.500000", "a negative star precision counts as none"},
        {formatMessage("[%2$*1$d]", 6, 42), "[    42]", "positioned value and star width"},
        {formatMessage("%1$.*2$f", 3.14159, 2), "3.14", "positioned star precision"},
        {formatMessage("%2$s %1$s", "a", "b"), "b a", "positions in any order"},
        {formatMessage("%1$d %d", 1, 2), "1 1",
         "a positioned conversion does not move the sequential counter"},
        {formatMessage("[%*s]", static_cast<char>(4), "ab"), "[  ab]",
         "an 8-bit character may give a star width"},
        {formatMessage("[%*s|%.*s]", 4, std::string_view("ab"), 1, std::string("xyz")), "[  ab|x]",
         "stars with string objects"},
    });
}

TEST(FormatMessage, MalformedFormatsStopOutput) {
    const std::string longestFlags(57, '0');  // "%" + 57 flags + "d" is 59 characters
    const std::string tooManyFlags(58, '0');
    expectCases({
        {formatMessage("a %d b"), "a ", "a conversion without arguments stops"},
        {formatMessage("%d %d!", 1), "1 ", "a missing sequential argument stops"},
        {formatMessage("abc %"), "abc ", "a lone percent at the end stops"},
        {formatMessage("abc %5.2"), "abc ", "a conversion cut by the end stops"},
        {formatMessage("x%*dy", 1.5, 2), "x", "a star naming a double stops"},
        {formatMessage("x%*dy", std::int64_t{1}, 2), "x", "a star naming a 64-bit value stops"},
        {formatMessage("x%*1dy", 3, 4), "x", "a star with a number but no $ stops"},
        {formatMessage("x%*0$dy", 3, 4), "x", "a star naming argument 0 stops"},
        {formatMessage("x%*3$dy", 3, 4), "x", "a star naming a missing argument stops"},
        {formatMessage(("<%" + longestFlags + "d>").c_str(), 7), "<7>",
         "a 59-character conversion is accepted"},
        {formatMessage(("<%" + tooManyFlags + "d>").c_str(), 7), "<",
         "a 60-character conversion stops"},
        {formatMessage(nullptr, 1), "", "a null format gives nothing"},
        {formatMessage(""), "", "an empty format gives nothing"},
    });
}

TEST(FormatMessage, CutsAt4095Bytes) {
    const std::string big(5000, 'a');
    expectCases({
        {formatMessage("%s", big), std::string(4095, 'a'), "a long argument is cut"},
        {formatMessage(big.c_str()), std::string(4095, 'a'), "long literal text is cut"},
        {formatMessage("%s%d", std::string(4094, 'b'), 123), std::string(4094, 'b') + "1",
         "a piece that does not fit is cut and ends the output"},
        {formatMessage("%s%%", std::string(4095, 'c')), std::string(4095, 'c'),
         "nothing is written once the buffer is full"},
        {formatMessage("[%5000d]", 1), "[" + std::string(4094, ' '), "a wide field is cut"},
    });
}

TEST(FormatMessageInto, BoundsTheCallerBuffer) {
    struct IntoCase {
        std::size_t size;
        const char* expected;
        const char* reason;
    };
    const IntoCase cases[] = {
        {1, "", "room for the NUL only"},
        {4, "ab1", "cut inside the value"},
        {6, "ab123", "exactly fits"},
        {64, "ab12345!", "room to spare"},
    };
    for (const IntoCase& c : cases) {
        SCOPED_TRACE(c.reason);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        const std::size_t written = formatMessageInto(buffer, c.size, "ab%d!", 12345);
        EXPECT_STREQ(buffer, c.expected);
        EXPECT_EQ(written, std::strlen(c.expected));
    }
    char untouched = 'x';
    EXPECT_EQ(formatMessageInto(&untouched, 0, "abc"), 0u);
    EXPECT_EQ(untouched, 'x');
}

TEST(FormatMessage, PointersUseP) {
    int object = 0;
    const void* pointer = &object;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%p", const_cast<void*>(pointer));
    expectCases({
        {formatMessage("%1", pointer), expected, "numbered pointer"},
        {formatMessage("%d", const_cast<void*>(pointer)), expected, "d is not for pointers"},
    });
}

TEST(JoinQuoted, QuotesAndSeparates) {
    struct JoinCase {
        std::vector<std::string> items;
        std::string_view separator;
        std::string_view quote;
        std::string expected;
        const char* reason;
    };
    const JoinCase cases[] = {
        {{}, ",", "'", "", "an empty list gives an empty string"},
        {{"a"}, ",", "'", "'a'", "one item has no separator"},
        {{"a", "b", "c"}, ",", "'", "'a','b','c'", "the help's separator"},
        {{"", "x"}, ", ", "\"", "\"\", \"x\"", "empty items are still quoted"},
        {{"a", "b"}, "", "", "ab", "empty quote and separator"},
    };
    for (const JoinCase& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(joinQuoted(c.items, c.separator, c.quote), c.expected);
    }
}

}  // namespace
}  // namespace mox
