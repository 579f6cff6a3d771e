// File: binding/values/small_object_pool.h
//
// `SmallObjectPool`: the allocator behind one value tree (owned by its `ValueContext`). Blocks
// are freed one by one (kFreesBlocksOneByOne): a freed slot is reused by the next allocation of
// its size class, and a page whose last slot is freed goes straight back to the process's
// `PageProvider`. Destroying the pool returns every page at once, whatever is still allocated
// in it (no destructors run; the owner destroys its objects first where they hold resources).
//
// Sizes are raised to the next multiple of 4 bytes; 18 size classes cover 4 to 72 bytes. Each
// class starts with a 144-byte block inside the pool object and then takes whole 4096-byte
// pages. Slots of a page are equal; free slots form a list linked by 16-bit slot indices kept
// in the free slots themselves; the page header holds the count of slots in use and the index
// of the first free slot. Slots are aligned to 8 bytes.
//
// Larger requests (over 72 bytes: collection element arrays, intern table bucket arrays) are
// not pooled: allocate() forwards them to the general heap (operator new) and deallocate()
// gives them back there; heapBlocksInUse() counts them.
//
// Not thread-safe: one tree, one thread at a time (the page provider has its own lock).
#pragma once

#include <cstddef>
#include <cstdint>

namespace mox {

class SmallObjectPool {
  public:
    static constexpr bool kFreesBlocksOneByOne = true;
    static constexpr std::size_t kGranule = 4;
    static constexpr std::size_t kClassCount = 18;
    static constexpr std::size_t kMaxPooledSize = kGranule * kClassCount;  // 72
    static constexpr std::size_t kInlineBlockSize = 144;
    static constexpr std::size_t kPageSize = 4096;

    SmallObjectPool() noexcept;
    ~SmallObjectPool();
    SmallObjectPool(const SmallObjectPool&) = delete;
    SmallObjectPool& operator=(const SmallObjectPool&) = delete;

    // A block of at least `size` bytes (size 0 counts as 1). Throws std::bad_alloc.
    void* allocate(std::size_t size);
    // Frees a block from allocate() of this pool; `size` must be the size asked for.
    void deallocate(void* block, std::size_t size) noexcept;

    // Pages this pool holds from the page provider (inline blocks not counted).
    std::size_t pagesInUse() const noexcept { return pagesInUse_; }
    // Blocks of more than kMaxPooledSize bytes currently allocated on the general heap.
    std::size_t heapBlocksInUse() const noexcept { return heapBlocksInUse_; }

    struct PageHeader;

  private:
    struct SizeClass {
        // Pages with at least one free or never-used slot, and pages with none (doubly linked
        // through their headers; every page of the class is on exactly one of the lists).
        PageHeader* available = nullptr;
        PageHeader* full = nullptr;
        std::uint16_t slotSize = 0;
        std::uint16_t pageCapacity = 0;
        // The inline block: slots in use, first free slot, slots handed out at least once.
        std::uint16_t inlineUsed = 0;
        std::uint16_t inlineFirstFree = 0;
        std::uint16_t inlineCarved = 0;
        std::uint16_t inlineCapacity = 0;
        alignas(8) unsigned char inlineBlock[kInlineBlockSize];
    };

    void* allocateFromPages(SizeClass& sizeClass);
    void freeToPage(SizeClass& sizeClass, void* block) noexcept;

    SizeClass classes_[kClassCount];
    std::size_t pagesInUse_ = 0;
    std::size_t heapBlocksInUse_ = 0;
};

// A standard allocator over a pool, so that a standard container (an interned text) takes its
// storage from the tree's pool: blocks up to kMaxPooledSize come from the pool's size classes,
// larger ones from the general heap, as with SmallObjectPool::allocate. Copies share the pool,
// which must outlive every container that uses it; a container must be destroyed (or its
// storage released) before the pool, unless all its blocks are pooled and it is simply
// abandoned with the pool.
template <class T>
class PoolAllocator {
  public:
    using value_type = T;

    explicit PoolAllocator(SmallObjectPool* pool) noexcept : pool_(pool) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) noexcept : pool_(other.pool()) {}

    T* allocate(std::size_t count) { return static_cast<T*>(pool_->allocate(count * sizeof(T))); }
    void deallocate(T* block, std::size_t count) noexcept {
        pool_->deallocate(block, count * sizeof(T));
    }

    SmallObjectPool* pool() const noexcept { return pool_; }

    template <class U>
    friend bool operator==(const PoolAllocator& a, const PoolAllocator<U>& b) noexcept {
        return a.pool_ == b.pool();
    }

  private:
    SmallObjectPool* pool_;
};

}  // namespace mox
