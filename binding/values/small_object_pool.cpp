#include "binding/values/small_object_pool.h"

#include <cstring>
#include <new>

#include "binding/values/page_provider.h"

namespace mox {

// Sits at the start of every page; the slots follow it.
struct SmallObjectPool::PageHeader {
    PageHeader* prev;
    PageHeader* next;
    std::uint16_t used;       // slots in use
    std::uint16_t firstFree;  // first slot of the free list, kNoSlot when the list is empty
    std::uint16_t carved;     // slots handed out at least once (the rest were never touched)
    std::uint16_t capacity;
};

namespace {

using PageHeader = SmallObjectPool::PageHeader;

constexpr std::uint16_t kNoSlot = 0xFFFF;
constexpr std::size_t kHeaderSize = SmallObjectPool::kPageHeaderSize;
static_assert(kHeaderSize == ((sizeof(PageHeader) + 7) & ~std::size_t{7}));
static_assert(SmallObjectPool::kPageSize == PageProvider::kPageSize);
static_assert((SmallObjectPool::kPageSize - kHeaderSize) / SmallObjectPool::kGranule < kNoSlot);

// The page classes' slots per page, largest slots last. Slot sizes are multiples of 16 (whole
// values for element arrays); after the 8-aligned header every slot is 8-byte aligned.
constexpr std::size_t kSlotsPerPage[SmallObjectPool::kPageClassCount] = {32, 16, 8, 4, 2, 1};

constexpr std::size_t pageSlotSize(std::size_t classIndex) noexcept {
    return ((SmallObjectPool::kPageSize - kHeaderSize) / kSlotsPerPage[classIndex]) &
           ~std::size_t{15};
}

static_assert(pageSlotSize(0) > SmallObjectPool::kMaxPooledSize);
static_assert(pageSlotSize(SmallObjectPool::kPageClassCount - 1) ==
              SmallObjectPool::kMaxPageBlockSize);

// The page class that serves `size` (kMaxPooledSize < size <= kMaxPageBlockSize).
std::size_t pageClassIndex(std::size_t size) noexcept {
    std::size_t index = 0;
    while (pageSlotSize(index) < size) {
        ++index;
    }
    return index;
}

unsigned char* slotsOf(PageHeader* page) noexcept {
    return reinterpret_cast<unsigned char*>(page) + kHeaderSize;
}

std::uint16_t readLink(const unsigned char* slot) noexcept {
    std::uint16_t link;
    std::memcpy(&link, slot, sizeof link);
    return link;
}

void writeLink(unsigned char* slot, std::uint16_t link) noexcept {
    std::memcpy(slot, &link, sizeof link);
}

void unlink(PageHeader*& head, PageHeader* page) noexcept {
    if (page->prev != nullptr) {
        page->prev->next = page->next;
    } else {
        head = page->next;
    }
    if (page->next != nullptr) {
        page->next->prev = page->prev;
    }
    page->prev = nullptr;
    page->next = nullptr;
}

void pushFront(PageHeader*& head, PageHeader* page) noexcept {
    page->prev = nullptr;
    page->next = head;
    if (head != nullptr) {
        head->prev = page;
    }
    head = page;
}

}  // namespace

// Links a general-heap block into the pool's list. It takes the first kHeapHeaderSize bytes of
// the block, 16 on every target, so the caller's part keeps the heap's alignment.
struct SmallObjectPool::HeapBlock {
    HeapBlock* prev;
    HeapBlock* next;
};

namespace {

constexpr std::size_t kHeapHeaderSize = 16;
static_assert(sizeof(SmallObjectPool::HeapBlock) <= kHeapHeaderSize);

}  // namespace

SmallObjectPool::SmallObjectPool() noexcept {
    for (std::size_t i = 0; i < kClassCount; ++i) {
        SizeClass& sizeClass = classes_[i];
        const std::size_t slotSize = (i + 1) * kGranule;
        sizeClass.pages.slotSize = static_cast<std::uint16_t>(slotSize);
        sizeClass.pages.pageCapacity =
            static_cast<std::uint16_t>((kPageSize - kHeaderSize) / slotSize);
        sizeClass.inlineFirstFree = kNoSlot;
        sizeClass.inlineCapacity = static_cast<std::uint16_t>(kInlineBlockSize / slotSize);
    }
    for (std::size_t i = 0; i < kPageClassCount; ++i) {
        pageClasses_[i].slotSize = static_cast<std::uint16_t>(pageSlotSize(i));
        pageClasses_[i].pageCapacity = static_cast<std::uint16_t>(kSlotsPerPage[i]);
    }
}

SmallObjectPool::~SmallObjectPool() {
    while (heapBlocks_ != nullptr) {
        HeapBlock* next = heapBlocks_->next;
        ::operator delete(heapBlocks_);
        heapBlocks_ = next;
    }
    // Return every page in one call (one lock); collect the addresses in batches on the stack.
    constexpr std::size_t kBatch = 64;
    void* batch[kBatch];
    std::size_t count = 0;
    const auto collect = [&](PageClass& pageClass) {
        for (PageHeader* list : {pageClass.available, pageClass.full}) {
            while (list != nullptr) {
                PageHeader* next = list->next;
                batch[count++] = list;
                if (count == kBatch) {
                    PageProvider::instance().releasePages(batch, count);
                    count = 0;
                }
                list = next;
            }
        }
    };
    for (SizeClass& sizeClass : classes_) {
        collect(sizeClass.pages);
    }
    for (PageClass& pageClass : pageClasses_) {
        collect(pageClass);
    }
    PageProvider::instance().releasePages(batch, count);
}

std::size_t SmallObjectPool::blockSizeFor(std::size_t size) noexcept {
    if (size <= kMaxPooledSize) {
        return size == 0 ? kGranule : (size + kGranule - 1) & ~(kGranule - 1);
    }
    if (size <= kMaxPageBlockSize) {
        return pageSlotSize(pageClassIndex(size));
    }
    return size;
}

void* SmallObjectPool::allocateFromHeap(std::size_t size) {
    if (size > static_cast<std::size_t>(-1) - kHeapHeaderSize) {
        throw std::bad_alloc();
    }
    auto* memory = static_cast<unsigned char*>(::operator new(kHeapHeaderSize + size));
    auto* block = reinterpret_cast<HeapBlock*>(memory);
    block->prev = nullptr;
    block->next = heapBlocks_;
    if (heapBlocks_ != nullptr) {
        heapBlocks_->prev = block;
    }
    heapBlocks_ = block;
    ++heapBlocksInUse_;
    return memory + kHeapHeaderSize;
}

void SmallObjectPool::freeToHeap(void* memory) noexcept {
    auto* block =
        reinterpret_cast<HeapBlock*>(static_cast<unsigned char*>(memory) - kHeapHeaderSize);
    if (block->prev != nullptr) {
        block->prev->next = block->next;
    } else {
        heapBlocks_ = block->next;
    }
    if (block->next != nullptr) {
        block->next->prev = block->prev;
    }
    --heapBlocksInUse_;
    ::operator delete(block);
}

void* SmallObjectPool::allocate(std::size_t size) {
    if (size > kMaxPooledSize) {
        if (size <= kMaxPageBlockSize) {
            return allocateFromPages(pageClasses_[pageClassIndex(size)]);
        }
        return allocateFromHeap(size);
    }
    const std::size_t index = size == 0 ? 0 : (size - 1) / kGranule;
    SizeClass& sizeClass = classes_[index];
    if (sizeClass.inlineFirstFree != kNoSlot) {
        unsigned char* slot =
            sizeClass.inlineBlock + sizeClass.inlineFirstFree * sizeClass.pages.slotSize;
        sizeClass.inlineFirstFree = readLink(slot);
        ++sizeClass.inlineUsed;
        return slot;
    }
    if (sizeClass.inlineCarved < sizeClass.inlineCapacity) {
        unsigned char* slot =
            sizeClass.inlineBlock + sizeClass.inlineCarved * sizeClass.pages.slotSize;
        ++sizeClass.inlineCarved;
        ++sizeClass.inlineUsed;
        return slot;
    }
    return allocateFromPages(sizeClass.pages);
}

void* SmallObjectPool::allocateFromPages(PageClass& sizeClass) {
    PageHeader* page = sizeClass.available;
    if (page == nullptr) {
        void* memory = PageProvider::instance().acquirePage();
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
        page = static_cast<PageHeader*>(memory);
        page->used = 0;
        page->firstFree = kNoSlot;
        page->carved = 0;
        page->capacity = sizeClass.pageCapacity;
        pushFront(sizeClass.available, page);
        ++pagesInUse_;
    }
    unsigned char* slot;
    if (page->firstFree != kNoSlot) {
        slot = slotsOf(page) + page->firstFree * sizeClass.slotSize;
        page->firstFree = readLink(slot);
    } else {
        slot = slotsOf(page) + page->carved * sizeClass.slotSize;
        ++page->carved;
    }
    ++page->used;
    if (page->firstFree == kNoSlot && page->carved == page->capacity) {
        unlink(sizeClass.available, page);
        pushFront(sizeClass.full, page);
    }
    return slot;
}

void SmallObjectPool::deallocate(void* block, std::size_t size) noexcept {
    if (block == nullptr) {
        return;
    }
    if (size > kMaxPooledSize) {
        if (size <= kMaxPageBlockSize) {
            freeToPage(pageClasses_[pageClassIndex(size)], block);
        } else {
            freeToHeap(block);
        }
        return;
    }
    const std::size_t index = size == 0 ? 0 : (size - 1) / kGranule;
    SizeClass& sizeClass = classes_[index];
    auto* slot = static_cast<unsigned char*>(block);
    if (slot >= sizeClass.inlineBlock && slot < sizeClass.inlineBlock + kInlineBlockSize) {
        const auto slotIndex =
            static_cast<std::uint16_t>((slot - sizeClass.inlineBlock) / sizeClass.pages.slotSize);
        writeLink(slot, sizeClass.inlineFirstFree);
        sizeClass.inlineFirstFree = slotIndex;
        --sizeClass.inlineUsed;
        return;
    }
    freeToPage(sizeClass.pages, block);
}

void SmallObjectPool::freeToPage(PageClass& sizeClass, void* block) noexcept {
    auto* slot = static_cast<unsigned char*>(block);
    auto* page = reinterpret_cast<PageHeader*>(reinterpret_cast<std::uintptr_t>(block) &
                                               ~std::uintptr_t{kPageSize - 1});
    const bool wasFull = page->firstFree == kNoSlot && page->carved == page->capacity;
    const auto slotIndex = static_cast<std::uint16_t>((slot - slotsOf(page)) / sizeClass.slotSize);
    writeLink(slot, page->firstFree);
    page->firstFree = slotIndex;
    --page->used;
    if (page->used == 0) {
        unlink(wasFull ? sizeClass.full : sizeClass.available, page);
        --pagesInUse_;
        PageProvider::instance().releasePage(page);
        return;
    }
    if (wasFull) {
        unlink(sizeClass.full, page);
        pushFront(sizeClass.available, page);
    }
}

}  // namespace mox
