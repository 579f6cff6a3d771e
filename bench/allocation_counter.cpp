#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "plugin/entry/allocation.h"

namespace {
std::atomic<std::uint64_t> gHeapAllocations{0};
}

void* operator new(std::size_t size) {
    gHeapAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
// Over-aligned types go through the aligned forms; they are heap allocations too.
void* operator new(std::size_t size, std::align_val_t alignment) {
    gHeapAllocations.fetch_add(1, std::memory_order_relaxed);
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* block = std::aligned_alloc(align, rounded == 0 ? align : rounded)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}
void operator delete(void* block, std::align_val_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
    std::free(block);
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

namespace mox::bench {

std::uint64_t heapAllocationCount() {
    return gHeapAllocations.load();
}

AllocationSnapshot takeAllocationSnapshot() {
    return {heapAllocationCount(), memoryStats().allocations};
}

void reportAllocations(benchmark::State& state, const AllocationSnapshot& start) {
    const AllocationSnapshot end = takeAllocationSnapshot();
    const double iterations = static_cast<double>(state.iterations() == 0 ? 1 : state.iterations());
    state.counters["heap_allocs"] = static_cast<double>(end.heap - start.heap) / iterations;
    state.counters["layer_allocs"] = static_cast<double>(end.layer - start.layer) / iterations;
}

}  // namespace mox::bench
