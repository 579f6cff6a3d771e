// File: platform/heap.h
//
// The runtime heap's block-size query, which the C standard does not offer
// (_msize on Windows, malloc_usable_size with glibc). Any thread.
#pragma once

#include <cstddef>

namespace mox::platform {

// The usable size of a block from malloc/realloc/strdup; 0 for null. (Non-const: GCC treats a
// const pointer to fresh memory as a read of uninitialised bytes.)
std::size_t heapBlockSize(void* block);

}  // namespace mox::platform
