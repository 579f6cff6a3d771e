#include "platform/heap.h"

#include <malloc.h>

namespace mox::platform {

std::size_t heapBlockSize(void* block) {
    return block == nullptr ? 0 : ::malloc_usable_size(block);
}

}  // namespace mox::platform
