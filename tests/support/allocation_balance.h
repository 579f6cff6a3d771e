// File: tests/support/allocation_balance.h
//
// Checks on the library's allocation layer (plugin/entry/allocation.h) shared by suites that
// own host memory.
//
// `LayerBalance` counts the layer's blocks still live since it was made: a test that owns host
// memory ends with `liveBlocks() == 0`.
//
// `ScribbleFreedBlocks` installs, for its lifetime, hooks that overwrite every block with 0xDD
// just before it is freed, so a read of freed memory sees garbage in every build (not only
// under AddressSanitizer). The previous hooks come back when it is destroyed.
// REQUIRES: blocks allocated while it is installed are freed before it is destroyed (the
// hooks forward to the counting hooks, so blocks from either side are accepted).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "plugin/entry/allocation.h"

namespace mox::test {

class LayerBalance {
  public:
    LayerBalance() : start_(memoryStats()) {}
    std::int64_t liveBlocks() const {
        const MemoryStats now = memoryStats();
        return static_cast<std::int64_t>(now.allocations - start_.allocations) -
               static_cast<std::int64_t>(now.frees - start_.frees);
    }

  private:
    MemoryStats start_;
};

class ScribbleFreedBlocks {
  public:
    ScribbleFreedBlocks() : previous_(allocationHooks()) {
        base() = countingAllocationHooks();
        AllocationHooks hooks = base();
        hooks.free = &scribbleAndFree;
        setAllocationHooks(hooks);
    }
    ~ScribbleFreedBlocks() { setAllocationHooks(previous_); }
    ScribbleFreedBlocks(const ScribbleFreedBlocks&) = delete;
    ScribbleFreedBlocks& operator=(const ScribbleFreedBlocks&) = delete;

  private:
    static AllocationHooks& base() {
        static AllocationHooks hooks;
        return hooks;
    }
    static void scribbleAndFree(void* user, void* block) {
        if (block != nullptr) {
            std::memset(block, 0xDD, base().blockSize(user, block));
        }
        base().free(user, block);
    }

    AllocationHooks previous_;
};

}  // namespace mox::test
