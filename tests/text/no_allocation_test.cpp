// Proves that formatting into a caller buffer allocates nothing.
//
// The global allocation functions are replaced for this test executable (it holds only the
// formatter's tests). The replacements forward to malloc/free and count only on a thread that
// has armed the counter, so every other allocation behaves exactly as before.
#include "text/format_message.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

// These replacements pair malloc with free themselves; GCC, seeing through the inlined
// bodies, would otherwise report free() on memory from operator new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

thread_local bool countingArmed = false;
thread_local std::size_t countedAllocations = 0;

void* countedAllocate(std::size_t size) {
    if (countingArmed) {
        ++countedAllocations;
    }
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* block = countedAllocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

namespace mox {
namespace {

TEST(FormatMessageInto, AllocatesNothing) {
    const std::string text(300, 't');
    const std::string_view view(text.data(), 100);
    const std::string tooLong(5000, 'x');
    const char array[] = "array";
    char buffer[kFormatBufferSize];

    // The counter sees allocations: a string longer than any small-string buffer allocates.
    countingArmed = true;
    countedAllocations = 0;
    const std::string probe(text);
    countingArmed = false;
    ASSERT_EQ(countedAllocations, 1u);

    countingArmed = true;
    countedAllocations = 0;
    std::size_t total = 0;
    total += formatMessageInto(buffer, sizeof buffer, "%1 %2 %3", text, view, array);
    total += formatMessageInto(buffer, sizeof buffer, "%s %*.*f %-8x %1$s", "c", 10, 3, 2.5, 7u);
    total += formatMessageInto(buffer, sizeof buffer, "%2 %1 %p", std::uint64_t{1},
                               std::int64_t{-2}, static_cast<const void*>(buffer));
    total += formatMessageInto(buffer, sizeof buffer, "%s%s", tooLong, "cut");
    total += formatMessageInto(buffer, sizeof buffer, "%.*f|%*d|%*.*e", INT_MAX, 1.5, INT_MAX, 1,
                               INT_MAX, INT_MAX, 2.5);
    countingArmed = false;
    EXPECT_EQ(countedAllocations, 0u);
    EXPECT_GT(total, 0u);
}

}  // namespace
}  // namespace mox
