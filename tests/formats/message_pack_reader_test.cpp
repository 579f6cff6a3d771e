// decodeMessagePack: one table of inputs with the whole resulting tree (or the exact message)
// and where reading stopped; then the bounds that keep hostile input from exhausting the host.
#include "formats/message_pack_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binding/values/nesting_limit.h"
#include "binding/values/small_object_pool.h"
#include "binding/values/value_context.h"
#include "tests/formats/value_text.h"

namespace mox {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string decode(const Bytes& bytes, std::size_t& consumed) {
    consumed = 12345;
    return test::resultText(decodeMessagePack(bytes.data(), bytes.size(), consumed));
}

struct DecodeRow {
    const char* reason;
    Bytes input;
    const char* expected;  // test::resultText
    std::size_t consumed;
};

TEST(MessagePackReaderTest, DecodesEachFormat) {
    const DecodeRow rows[] = {
        {"empty input", {}, "~", 0},
        {"positive fixint is signed", {0x05}, "i5", 1},
        {"uint 8 is unsigned", {0xcc, 0x05}, "u5", 2},
        {"negative fixint", {0xff}, "i-1", 1},
        {"negative fixint low end", {0xe0}, "i-32", 1},
        {"int 8 sign-extended", {0xd0, 0xff}, "i-1", 2},
        {"int 16 sign-extended", {0xd1, 0xff, 0x00}, "i-256", 3},
        {"int 32", {0xd2, 0x80, 0x00, 0x00, 0x00}, "i-2147483648", 5},
        {"int 64", {0xd3, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}, "i-2", 9},
        {"uint 16", {0xcd, 0x01, 0x00}, "u256", 3},
        {"uint 32", {0xce, 0xff, 0xff, 0xff, 0xff}, "u4294967295", 5},
        {"uint 64",
         {0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
         "u18446744073709551615",
         9},
        {"nil", {0xc0}, "~", 1},
        {"false and true", {0x92, 0xc2, 0xc3}, "[false,true]", 3},
        {"float 32 widened", {0xca, 0x3f, 0xc0, 0x00, 0x00}, "f1.5", 5},
        {"float 64",
         {0xcb, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18},
         "f3.1415926535897931",
         9},
        {"fixstr", {0xa2, 'h', 'i'}, "'hi'", 3},
        {"str 8 keeps bytes as they are", {0xd9, 0x03, 'a', 0x00, 0xff}, "'a\\x00\\xff'", 5},
        {"str 16", {0xda, 0x00, 0x01, 'x'}, "'x'", 4},
        {"str 32", {0xdb, 0x00, 0x00, 0x00, 0x01, 'x'}, "'x'", 6},
        {"bin 8", {0xc4, 0x02, 0x01, 0x02}, "b:0102", 4},
        {"bin 16 empty", {0xc5, 0x00, 0x00}, "b:", 3},
        {"bin 32", {0xc6, 0x00, 0x00, 0x00, 0x01, 0xab}, "b:ab", 6},
        {"fixarray with nil element", {0x92, 0x01, 0xc0}, "[i1,~]", 3},
        {"array 16", {0xdc, 0x00, 0x02, 0x01, 0x02}, "[i1,i2]", 5},
        {"array 32", {0xdd, 0x00, 0x00, 0x00, 0x01, 0x07}, "[i7]", 6},
        {"members come out in name order",
         {0x82, 0xa1, 'b', 0x01, 0xa1, 'a', 0x02},
         "{a:i2,b:i1}",
         7},
        {"map 16 with str 8 key", {0xde, 0x00, 0x01, 0xd9, 0x01, 'k', 0x05}, "{k:i5}", 7},
        {"map 32", {0xdf, 0x00, 0x00, 0x00, 0x01, 0xa1, 'k', 0xc3}, "{k:true}", 8},
        {"nested containers", {0x81, 0xa1, 'a', 0x92, 0x80, 0x91, 0x90}, "{a:[{},[[]]]}", 7},
        {"bytes after the item stay unread", {0x01, 0x02}, "i1", 1},
        {"array cut short by the end is a success", {0x93, 0x01}, "[i1]", 2},
        {"map cut after a key adds no member", {0x81, 0xa1, 'k'}, "{}", 3},
        {"huge array count with no elements", {0xdd, 0xff, 0xff, 0xff, 0xff}, "[]", 5},
        {"map 32 of 0x80000000 pairs does not wrap to zero items",
         {0xdf, 0x80, 0x00, 0x00, 0x00, 0xa1, 'k', 0x01},
         "{k:i1}",
         8},
        {"repeated key: later scalar replaces",
         {0x82, 0xa1, 'a', 0x01, 0xa1, 'a', 0xa1, 'x'},
         "{a:'x'}",
         8},
        {"repeated key: later nil keeps the member",
         {0x82, 0xa1, 'a', 0x01, 0xa1, 'a', 0xc0},
         "{a:i1}",
         7},
        {"repeated key: later array overwrites from index 0",
         {0x82, 0xa1, 'a', 0x93, 0x01, 0x02, 0x03, 0xa1, 'a', 0x91, 0x09},
         "{a:[i9,i2,i3]}",
         11},
        {"repeated key: later map merges",
         {0x82, 0xa1, 'a', 0x82, 0xa1, 'x', 0x01, 0xa1, 'y', 0x02, 0xa1, 'a', 0x81, 0xa1, 'y',
          0x03},
         "{a:{x:i1,y:i3}}",
         16},
        {"repeated key: scalar replaces a collection",
         {0x82, 0xa1, 'a', 0x91, 0x01, 0xa1, 'a', 0x07},
         "{a:i7}",
         8},
        // Failures.
        {"never-used byte", {0xc1}, "error: Invalid MessagePack data at position 1.", 1},
        {"fixext 1", {0xd4, 0x00, 0x00}, "error: Invalid MessagePack data at position 1.", 1},
        {"ext 8 inside an array",
         {0x91, 0xc7, 0x01, 0x00, 0x00},
         "error: Invalid MessagePack data at position 2.",
         2},
        {"integer key",
         {0x81, 0x01, 0x02},
         "error: Invalid MessagePack data at position 2. Map keys must be strings.",
         2},
        {"nil key",
         {0x82, 0xa1, 'a', 0x01, 0xc0, 0x01},
         "error: Invalid MessagePack data at position 5. Map keys must be strings.",
         5},
        {"uint 8 with nothing left",
         {0xcc},
         "error: Invalid MessagePack data. 8-bit integer value at position 1 is truncated.",
         1},
        {"uint 16 with one byte left",
         {0xcd, 0x01},
         "error: Invalid MessagePack data. 16-bit integer value at position 1 is truncated.",
         1},
        {"uint 16 alone",
         {0xcd},
         "error: Invalid MessagePack data. 16-bit integer value at position 1 is truncated.",
         1},
        {"float 32 cut short uses the 32-bit message",
         {0xca, 0x00, 0x00},
         "error: Invalid MessagePack data. 32-bit integer value at position 1 is truncated.",
         1},
        {"float 64 cut short uses the 64-bit message",
         {0xcb, 0x00},
         "error: Invalid MessagePack data. 64-bit integer value at position 1 is truncated.",
         1},
        {"array 32 count cut short",
         {0xdd, 0x00, 0x00},
         "error: Invalid MessagePack data. 32-bit integer value at position 1 is truncated.",
         1},
        {"fixstr content cut short",
         {0xa3, 0x61, 0x62},
         "error: Invalid MessagePack data. String of size 3 at position 1 is truncated.",
         1},
        {"key content cut short",
         {0x81, 0xd9, 0x05, 'a'},
         "error: Invalid MessagePack data. String of size 5 at position 3 is truncated.",
         3},
        {"bin content cut short",
         {0xc4, 0x04, 0x01},
         "error: Invalid MessagePack data. Raw bytes of size 4 at position 2 are truncated.",
         2},
        {"str 32 length near 2^32 does not wrap the check",
         {0xdb, 0xff, 0xff, 0xff, 0xff, 'a'},
         "error: Invalid MessagePack data. String of size 4294967295 at position 5 is truncated.",
         5},
        {"bin 32 length near 2^32 does not wrap the check",
         {0xc6, 0xff, 0xff, 0xff, 0xfe, 'a'},
         "error: Invalid MessagePack data. Raw bytes of size 4294967294 at position 5 are "
         "truncated.",
         5},
    };
    for (const DecodeRow& row : rows) {
        SCOPED_TRACE(row.reason);
        std::size_t consumed = 0;
        EXPECT_EQ(decode(row.input, consumed), row.expected);
        EXPECT_EQ(consumed, row.consumed);
    }
}

TEST(MessagePackReaderTest, RefusesNestingDeeperThanTheBound) {
    // 256 nested arrays are accepted, 257 are not: the message names the position just after
    // the format byte that opens the 257th level.
    Bytes accepted(kMaxNestingDepth, 0x91);
    accepted.push_back(0x01);
    std::size_t consumed = 0;
    const ValueResult ok = decodeMessagePack(accepted.data(), accepted.size(), consumed);
    EXPECT_TRUE(ok.ok()) << ok.error();
    EXPECT_EQ(consumed, accepted.size());

    Bytes deep(300000, 0x91);  // would exhaust the stack of any recursive walk
    const ValueResult refused = decodeMessagePack(deep.data(), deep.size(), consumed);
    EXPECT_EQ(test::resultText(refused),
              "error: Invalid MessagePack data at position 257. Containers nest deeper than 256 "
              "levels.");

    // Maps count as well: 256 arrays and then a map.
    Bytes mixed(kMaxNestingDepth, 0x91);
    mixed.push_back(0x80);
    const ValueResult map = decodeMessagePack(mixed.data(), mixed.size(), consumed);
    EXPECT_FALSE(map.ok());
}

// Arrays reserve their elements from the count they announce, which hostile input can inflate
// at every level. Nested arrays of the largest count, then one element at the bottom: what the
// tree holds must stay in proportion to the input (about 16 bytes of elements per input byte),
// not grow with count times depth.
TEST(MessagePackReaderTest, AnnouncedCountsReserveInProportionToTheInput) {
    const struct {
        const char* reason;
        std::size_t levels;
        std::uint8_t tail;  // the bottom array's content
    } rows[] = {
        {"deep nesting of huge counts", 200, 0x01},
        {"one huge count", 1, 0x01},
        {"huge counts with nothing inside", 200, 0xc0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        Bytes input;
        for (std::size_t i = 0; i < row.levels; ++i) {
            input.insert(input.end(), {0xdd, 0xff, 0xff, 0xff, 0xff});
        }
        input.push_back(row.tail);
        std::size_t consumed = 0;
        const ValueResult result = decodeMessagePack(input.data(), input.size(), consumed);
        ASSERT_TRUE(result.ok()) << result.error();
        EXPECT_EQ(consumed, input.size());
        // The outermost array may reserve one large block for the whole input; the levels
        // below it find the budget spent and take small blocks.
        const SmallObjectPool& pool = result.value().context()->pool();
        EXPECT_LE(pool.heapBlocksInUse(), 1u);
        EXPECT_LE(pool.pagesInUse() * SmallObjectPool::kPageSize,
                  16 * input.size() + 4 * SmallObjectPool::kPageSize);
    }
}

TEST(MessagePackReaderTest, LooksLikeMessagePack) {
    struct Row {
        Bytes input;
        bool expected;
    };
    const Row rows[] = {
        {{0x80}, true},  {{0x9f}, true},  {{0xdc}, true}, {{0xdf}, true},
        {{0xa0}, false}, {{0x7b}, false}, {{}, false},    {{0xde, 0x00}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input.empty() ? -1 : row.input[0]);
        EXPECT_EQ(looksLikeMessagePack(row.input.data(), row.input.size()), row.expected);
    }
    EXPECT_FALSE(looksLikeMessagePack(nullptr, 3));
}

}  // namespace
}  // namespace mox
