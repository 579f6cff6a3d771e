// File: tests/support/packed_field.h
//
// Reading fields of byte-packed boundary records in assertions. The assertion macros bind
// references to their arguments, and a reference to a misaligned field is undefined; `field`
// copies the field into a properly aligned temporary first:
//   EXPECT_EQ(mox::test::field(record.count), 3u);
#pragma once

namespace mox::test {

template <class T>
T field(T value) {
    return value;
}

}  // namespace mox::test
