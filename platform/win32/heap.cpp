#include "platform/heap.h"

#include <malloc.h>

namespace mox::platform {

std::size_t heapBlockSize(void* block) {
    return block == nullptr ? 0 : ::_msize(block);
}

}  // namespace mox::platform
