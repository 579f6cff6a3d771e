// The formatter against the runtime printf, and its cost for fields far wider than the output.
//
// Integers and texts are written by the formatter itself, doubles and pointers partly: every
// combination of flags, width, precision and value below must come out as the runtime's own
// snprintf prints it. Widths and precisions far beyond the 4095 visible bytes must give the
// bytes that an unbounded print would start with, without printing the rest.
#include "text/format_message.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mox {
namespace {

// What the runtime prints, cut at 4095 bytes like formatMessage.
template <class T>
std::string runtimePrint(const std::string& conversion, T value) {
    std::vector<char> buffer(kFormatBufferSize);
    const int length = std::snprintf(buffer.data(), buffer.size(), conversion.c_str(), value);
    if (length < 0) {
        return "<rejected>";
    }
    const std::size_t kept = static_cast<std::size_t>(length) < buffer.size()
                                 ? static_cast<std::size_t>(length)
                                 : buffer.size() - 1;
    return std::string(buffer.data(), kept);
}

// Every flag set (as a string) from "-+ #0" that C defines for `letter`. "+" and " " are left
// out for the unsigned conversions: C gives them no effect there, but not every runtime
// agrees (see UnsignedConversionsFollowC).
std::vector<std::string> flagSets(char letter) {
    std::vector<std::string> sets;
    const std::string flags = "-+ #0";
    for (unsigned mask = 0; mask < 32; ++mask) {
        std::string set;
        for (unsigned bit = 0; bit < 5; ++bit) {
            if ((mask & (1u << bit)) != 0) {
                set += flags[bit];
            }
        }
        const bool alternate = set.find('#') != std::string::npos;
        const bool zero = set.find('0') != std::string::npos;
        if (alternate && std::string("oxXaAeEfFgG").find(letter) == std::string::npos) {
            continue;  // "#" is undefined for d, i, u, c, s
        }
        if (zero && (letter == 'c' || letter == 's')) {
            continue;  // "0" is undefined for c and s
        }
        const bool sign = set.find_first_of("+ ") != std::string::npos;
        if (sign && std::string("ouxX").find(letter) != std::string::npos) {
            continue;
        }
        sets.push_back(set);
    }
    return sets;
}

TEST(FormatConversions, IntegersAndTextsPrintAsTheRuntimeDoes) {
    const int ints[] = {0, 1, -1, 42, -12345, INT_MAX, INT_MIN, 255, 65537};
    const long long wide[] = {0, -1, INT64_MAX, INT64_MIN, 4294967296ll};
    const char* const texts[] = {"", "a", "abcdef"};
    const char* const widths[] = {"", "2", "7"};  // "%1" would be the numbered form
    const char* const precisions[] = {"", ".0", ".1", ".4", "."};
    std::size_t compared = 0;
    for (char letter : std::string("diouxXcs")) {
        for (const std::string& flags : flagSets(letter)) {
            for (const char* width : widths) {
                for (const char* precision : precisions) {
                    if (letter == 'c' && *precision != '\0') {
                        continue;  // a precision is undefined for c
                    }
                    if (letter == 'o' && flags.find('#') != std::string::npos &&
                        (std::string(precision) == ".0" || std::string(precision) == ".")) {
                        continue;  // see UnsignedConversionsFollowC
                    }
                    const std::string conversion = std::string("%") + flags + width + precision;
                    if (letter == 's') {
                        for (const char* text : texts) {
                            const std::string full = conversion + 's';
                            EXPECT_EQ(formatMessage(full.c_str(), text), runtimePrint(full, text))
                                << full << " with \"" << text << "\"";
                            EXPECT_EQ(formatMessage(full.c_str(), std::string(text)),
                                      runtimePrint(full, text))
                                << full << " with a string object";
                            compared += 2;
                        }
                        continue;
                    }
                    for (const char* length : {"", "h", "hh"}) {
                        if (letter == 'c' && *length != '\0') {
                            continue;
                        }
                        const std::string full = conversion + length + letter;
                        for (int value : ints) {
                            EXPECT_EQ(formatMessage(full.c_str(), value), runtimePrint(full, value))
                                << full << " with " << value;
                            ++compared;
                        }
                    }
                    if (letter == 'c') {
                        continue;
                    }
                    const std::string full = conversion + "ll" + letter;
                    for (long long value : wide) {
                        EXPECT_EQ(formatMessage(full.c_str(), value), runtimePrint(full, value))
                            << full << " with " << value;
                        EXPECT_EQ(
                            formatMessage(full.c_str(), static_cast<unsigned long long>(value)),
                            runtimePrint(full, static_cast<unsigned long long>(value)))
                            << full << " with " << static_cast<unsigned long long>(value)
                            << " unsigned";
                        compared += 2;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 10000u);
}

// Where runtimes differ from C for integers, the formatter follows C on every platform.
TEST(FormatConversions, UnsignedConversionsFollowC) {
    struct Row {
        std::string actual;
        const char* expected;
        const char* reason;
    };
    const Row rows[] = {
        {formatMessage("[% u|%+u|% x|%+X|% o]", 5u, 5u, 255u, 255u, 8u), "[5|5|ff|FF|10]",
         "\"+\" and \" \" are for signed conversions only"},
        {formatMessage("[% 4u|%+-4x]", 0u, 1u), "[   0|1   ]", "nor do they take room in a field"},
        {formatMessage("[%#.0o|%#3.0o|%-#3.o]", 0u, 0u, 0u), "[0|  0|0  ]",
         "\"#o\" shows the zero even with precision 0"},
        {formatMessage("[%.0o|%#.0x|%#x]", 0u, 0u, 0u), "[||0]", "without \"#o\" it does not"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(row.actual, row.expected);
    }
}

// Fields wider or more precise than the runtime is handed directly (1100) are printed in
// part here; the result must still be the runtime's, byte for byte.
TEST(FormatConversions, WideFieldsOfDoublesPrintAsTheRuntimeDoes) {
    const double values[] = {1.5, -2.25, 0.0, 1e300, -4.9e-324, 0.1, INFINITY, -NAN};
    const char* const flagSet[] = {"", "-", "0", "+", "#", "-+", "0+", " ", "#0"};
    const char* const widths[] = {"", "1101", "3000", "5000"};
    const char* const precisions[] = {"", ".2", ".1101", ".3000", ".6000"};
    for (char letter : std::string("feEgGa")) {
        for (const char* flags : flagSet) {
            for (const char* width : widths) {
                for (const char* precision : precisions) {
                    const std::string conversion =
                        std::string("%") + flags + width + precision + letter;
                    for (double value : values) {
                        EXPECT_EQ(formatMessage(conversion.c_str(), value),
                                  runtimePrint(conversion, value))
                            << conversion << " with " << value;
                    }
                }
            }
        }
    }
    const void* pointer = &values;
    for (const char* conversion :
         {"%p", "%20p", "%-20p", "%.20p", "%3000p", "%-3000p", "%.1200p"}) {
        EXPECT_EQ(formatMessage(conversion, pointer), runtimePrint(conversion, pointer))
            << conversion;
    }
    // A "*" width or precision reaches the runtime as "*" (runtimes may print differently).
    char expected[kFormatBufferSize];
    for (int width : {20, 3000}) {
        std::snprintf(expected, sizeof expected, "%*p|%.*f", width, pointer, width, 0.5);
        EXPECT_EQ(formatMessage("%*p|%.*f", width, pointer, width, 0.5), expected) << width;
    }
}

// Widths and precisions up to INT_MAX cost no more than the 4095 bytes that can be seen, and
// those bytes are the ones the unbounded print would start with. (The runtime itself would
// take seconds and gigabytes for these, and rejects the ones longer than INT_MAX.)
TEST(FormatConversions, HugeFieldsGiveTheirVisibleStart) {
    const std::string spaces(4095, ' ');
    const std::string zeros(4095, '0');
    struct Row {
        std::string actual;
        std::string expected;
        const char* reason;
    };
    const Row rows[] = {
        {formatMessage("%2147483647d", 5), spaces, "a written width of INT_MAX"},
        {formatMessage("%-*d", INT_MAX, 5), "5" + spaces.substr(1), "a star width, left"},
        {formatMessage("%*d", INT_MIN, 5), "5" + spaces.substr(1),
         "the most negative star width aligns left"},
        {formatMessage("%02147483647d", -5), "-" + zeros.substr(1), "zeros after the sign"},
        {formatMessage("%+.2147483647d", 5), "+" + zeros.substr(1),
         "a precision of INT_MAX: longer than INT_MAX with its sign"},
        {formatMessage("%*.*d", 1000000010, 1000000000, 7), std::string(10, ' ') + zeros.substr(10),
         "width and precision both huge: the padding is their difference"},
        {formatMessage("%#.*x", INT_MAX, 255u), "0x" + zeros.substr(2),
         "the prefix comes before the zeros"},
        {formatMessage("%.*f", 1000000000, 1.5), "1.5" + zeros.substr(3),
         "a precision of 10^9 for f"},
        {formatMessage("%.*f", INT_MAX, 1.5), "1.5" + zeros.substr(3),
         "a precision of INT_MAX for f"},
        {formatMessage("%.*e", INT_MAX, -2.5), "-2.5" + zeros.substr(4),
         "e: the exponent lies beyond what is seen"},
        {formatMessage("%*.*f", 1000000010, 1000000000, 1.5),
         std::string(8, ' ') + "1.5" + zeros.substr(11),
         "a double's padding is the width less the whole piece"},
        {formatMessage("%0*.*f", 2000000000, 1000000000, -1.5), "-" + zeros.substr(1),
         "a double's zero padding follows its sign"},
        {formatMessage("%*.*e", INT_MAX, INT_MAX, 2.5), "2.5" + zeros.substr(3),
         "a piece longer than its width is not padded"},
        {formatMessage("%*f", INT_MAX, INFINITY), spaces, "inf is padded with spaces"},
        {formatMessage("%.*g", INT_MAX, 0.5), "0.5", "g drops the zeros a huge precision adds"},
        {formatMessage("%*s", INT_MAX, "ab"), spaces, "a text in a huge field"},
        {formatMessage("%-*s|", INT_MAX, std::string("ab")), "ab" + spaces.substr(2),
         "a string object in a huge left field"},
        {formatMessage("%.*s|", INT_MAX, "abc"), "abc|", "a huge precision of a text"},
        {formatMessage("%*c", INT_MAX, 'x'), spaces, "a character in a huge field"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(row.actual.size(), row.expected.size());
        EXPECT_EQ(row.actual, row.expected);
    }

    char small[8];
    EXPECT_EQ(formatMessageInto(small, sizeof small, "ab%*d", INT_MAX, 1), 7u);
    EXPECT_STREQ(small, "ab     ");
}

}  // namespace
}  // namespace mox
