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
// Larger requests are not put in the 18 classes. Up to kMaxPageBlockSize bytes (a page less
// its header: collection element arrays, long interned texts, intern bucket arrays) they come
// from page classes: a page carved into 32, 16, 8, 4, 2 slots or kept whole, slot sizes
// multiples of 16, freed one by one like the small classes. blockSizeFor() tells a caller the
// whole slot it gets, so a growing array can use it all. Beyond that, allocate() takes the
// block from the general heap (operator new) and keeps it on a list of the pool's, so that
// destroying the pool frees it too; heapBlocksInUse() counts them.
//
// So destroying the pool releases everything allocated from it, at any size: a tree whose
// values hold nothing else (blob bytes are the exception, see binding/value_context.h) is
// dropped without a walk over its nodes.
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
    // Each page starts with a header (list links, slot counts): two pointers and 8 bytes.
    static constexpr std::size_t kPageHeaderSize = (2 * sizeof(void*) + 8 + 7) & ~std::size_t{7};
    static constexpr std::size_t kPageClassCount = 6;
    // The largest page-class block: a whole page less its header, rounded down to 16.
    static constexpr std::size_t kMaxPageBlockSize =
        (kPageSize - kPageHeaderSize) & ~std::size_t{15};

    // The usable size of the block that allocate(size) returns: size rounded up to its small
    // or page class; larger sizes unchanged.
    static std::size_t blockSizeFor(std::size_t size) noexcept;

    SmallObjectPool() noexcept;
    ~SmallObjectPool();
    SmallObjectPool(const SmallObjectPool&) = delete;
    SmallObjectPool& operator=(const SmallObjectPool&) = delete;

    // A block of at least `size` bytes (size 0 counts as 1), aligned to 8. Throws
    // std::bad_alloc.
    void* allocate(std::size_t size);
    // Frees a block from allocate() of this pool; `size` must be the size asked for.
    void deallocate(void* block, std::size_t size) noexcept;

    // Pages this pool holds from the page provider (inline blocks not counted).
    std::size_t pagesInUse() const noexcept { return pagesInUse_; }
    // Blocks of more than kMaxPageBlockSize bytes currently allocated on the general heap.
    std::size_t heapBlocksInUse() const noexcept { return heapBlocksInUse_; }

    struct PageHeader;

    struct HeapBlock;

  private:
    struct PageClass {
        // Pages with at least one free or never-used slot, and pages with none (doubly linked
        // through their headers; every page of the class is on exactly one of the lists).
        PageHeader* available = nullptr;
        PageHeader* full = nullptr;
        std::uint16_t slotSize = 0;
        std::uint16_t pageCapacity = 0;
    };
    struct SizeClass {
        PageClass pages;
        // The inline block: slots in use, first free slot, slots handed out at least once.
        std::uint16_t inlineUsed = 0;
        std::uint16_t inlineFirstFree = 0;
        std::uint16_t inlineCarved = 0;
        std::uint16_t inlineCapacity = 0;
        alignas(8) unsigned char inlineBlock[kInlineBlockSize];
    };

    void* allocateFromPages(PageClass& pageClass);
    void freeToPage(PageClass& pageClass, void* block) noexcept;
    void* allocateFromHeap(std::size_t size);
    void freeToHeap(void* block) noexcept;

    SizeClass classes_[kClassCount];
    PageClass pageClasses_[kPageClassCount];
    HeapBlock* heapBlocks_ = nullptr;
    std::size_t pagesInUse_ = 0;
    std::size_t heapBlocksInUse_ = 0;
};

// A standard allocator over a pool, so that a standard container (an interned text) takes its
// storage from the tree's pool, at any size, as with SmallObjectPool::allocate. Copies share
// the pool, which must outlive every container that uses it; a container may be destroyed
// before the pool or simply abandoned with it (the pool frees all its blocks).
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
