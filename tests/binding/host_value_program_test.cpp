// Fixed inputs through the host value fuzzer's entry point (tests/support/host_value_program.h), so
// the cases the fuzzer is built around stay covered in every test run.
#include "support/host_value_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mox::fuzz {
namespace {

struct ProgramCase {
    const char* reason;
    std::vector<std::uint8_t> program;
    bool fromHostOk;
    const char* error;  // expected fromHost message, or null
};

const char* const kIncompatible =
    "Couldn't assign value to '<value>' of type object because the input is of an "
    "incompatible type ''.";
const char* const kTooDeep =
    "Couldn't assign value to '<value>' because the input is nested more than 256 levels deep.";

TEST(HostValueProgram, FixedProgramsConvertReleaseAndRoundTrip) {
    const ProgramCase cases[] = {
        {"no bytes: an empty value", {}, true, nullptr},
        {"signed scalar", {2, 1, 2, 3, 4, 5, 6, 7, 0x80}, true, nullptr},
        {"NaN float round-trips bit for bit", {4, 0x01, 0, 0, 0, 0, 0, 0xF8, 0x7F}, true, nullptr},
        {"borrowed string whose length disagrees, with an inner NUL",
         {5, 4, 200, 'a', 0, 'b', 'c'},
         true,
         nullptr},
        {"owned string and owned blob in a collection",
         {9, 2, 6, 2, 1, 'h', 'i', 8, 3, 1, 0, 2},
         true,
         nullptr},
        {"structure with owned, borrowed and null names, one repeated",
         {10, 4,                                  // structure of 4 members:
          0,  1, 'a', 1, 1,                       // owned name "a": bool
          1,  1, 'a', 3, 1, 0, 0, 0, 0, 0, 0, 0,  // borrowed "a" again: unsigned
          2,  0, 0,                               // null name: empty
          1,  1, 'b', 0},                         // borrowed "b": empty
         true,
         nullptr},
        {"null text, null blob and null arrays with counts are mended",
         {9, 4, 12, 1, 5, 15, 0, 9, 13, 0, 3, 0, 0, 0, 13, 1, 9, 0, 0, 0},
         true,
         nullptr},
        {"out-of-range kind at the root", {11, 0, 0, 0, 0}, false, kIncompatible},
        {"out-of-range kind after a converted element",
         {9, 2, 1, 1, 11, 0xFF, 0xFF, 0xFF, 0xFF},
         false,
         kIncompatible},
        {"out-of-range kind as a member value",
         {10, 1, 0, 1, 'k', 11, 7, 0, 0, 0},
         false,
         kIncompatible},
        {"chain of 200 collections converts", {14, 0, 2, 9}, true, nullptr},
        {"chain of 300 collections is refused", {14, 100, 1, 1}, false, kTooDeep},
        {"program cut off in the middle of a structure", {10, 5, 0, 9, 'x'}, true, nullptr},
    };
    for (const ProgramCase& c : cases) {
        SCOPED_TRACE(c.reason);
        const HostValueRunOutcome outcome = runHostValueProgram(c.program.data(), c.program.size());
        EXPECT_EQ(outcome.fromHostOk, c.fromHostOk);
        EXPECT_EQ(outcome.fromHostError, c.error != nullptr ? c.error : "");
        EXPECT_TRUE(outcome.toHostOk) << "the partial or full result converts back";
        if (c.fromHostOk) {
            EXPECT_TRUE(outcome.roundTripEqual);
        }
    }
}

}  // namespace
}  // namespace mox::fuzz
