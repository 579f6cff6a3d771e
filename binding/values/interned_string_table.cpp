#include "binding/values/interned_string_table.h"

#include <cstring>
#include <new>

#include "binding/values/byte_compare.h"
#include "binding/values/fnv1a.h"
#include "binding/values/page_provider.h"
#include "binding/values/small_object_pool.h"

namespace mox {

namespace {

bool sameText(const InternedString& entry, std::string_view text, std::uint32_t hash) noexcept {
    return entry.hash == hash && entry.text.size() == text.size() &&
           detail::equalBytes(entry.text.data(), text.data(), text.size());
}

}  // namespace

// Entries and their texts hold nothing but pool storage (PoolAllocator), which the pool frees
// with itself; so the entries are abandoned rather than destroyed one by one.
InternedStringTable::~InternedStringTable() {
    freeBuckets(buckets_, bucketCount_);
}

// A bucket array of exactly a page (512 buckets on 64-bit, 1024 on 32-bit) takes a whole page
// from the page provider, which the pool's page classes (a page less a header) cannot hold;
// the others come from the pool.
InternedString** InternedStringTable::allocateBuckets(std::size_t count) {
    const std::size_t bytes = count * sizeof(InternedString*);
    void* memory;
    if (bytes > SmallObjectPool::kMaxPageBlockSize && bytes <= PageProvider::kPageSize) {
        memory = PageProvider::instance().acquirePage();
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
    } else {
        memory = pool_.allocate(bytes);
    }
    auto** buckets = static_cast<InternedString**>(memory);
    for (std::size_t i = 0; i < count; ++i) {
        buckets[i] = nullptr;
    }
    return buckets;
}

void InternedStringTable::freeBuckets(InternedString** buckets, std::size_t count) noexcept {
    if (buckets == nullptr) {
        return;
    }
    const std::size_t bytes = count * sizeof(InternedString*);
    if (bytes > SmallObjectPool::kMaxPageBlockSize && bytes <= PageProvider::kPageSize) {
        PageProvider::instance().releasePage(buckets);
    } else {
        pool_.deallocate(buckets, bytes);
    }
}

const InternedString* InternedStringTable::lookup(std::string_view text,
                                                  std::uint32_t hash) const noexcept {
    if (text.empty()) {
        return &emptyInternedString();
    }
    if (buckets_ == nullptr) {
        return nullptr;
    }
    for (InternedString* entry = buckets_[hash & (bucketCount_ - 1)]; entry != nullptr;
         entry = entry->next) {
        if (sameText(*entry, text, hash)) {
            return entry;
        }
    }
    return nullptr;
}

const InternedString* InternedStringTable::intern(std::string_view text) {
    return intern(text, fnv1a(text));
}

const InternedString* InternedStringTable::intern(std::string_view text, std::uint32_t hash) {
    if (text.empty()) {
        return &emptyInternedString();
    }
    if (buckets_ == nullptr) {
        buckets_ = allocateBuckets(kInitialBuckets);
        bucketCount_ = kInitialBuckets;
    }
    InternedString*& head = buckets_[hash & (bucketCount_ - 1)];
    for (InternedString* entry = head; entry != nullptr; entry = entry->next) {
        if (sameText(*entry, text, hash)) {
            ++entry->refs;
            return entry;
        }
    }
    void* slot = pool_.allocate(sizeof(InternedString));
    InternedString* entry;
    try {
        entry = new (slot)
            InternedString{InternedText(text, PoolAllocator<char>(&pool_)), hash, 1, head};
    } catch (...) {
        pool_.deallocate(slot, sizeof(InternedString));
        throw;
    }
    head = entry;
    ++count_;
    if (count_ > bucketCount_) {
        try {
            grow();
        } catch (const std::bad_alloc&) {
            // A longer chain is still a correct table; growing is retried with the next entry.
        }
    }
    return entry;
}

void InternedStringTable::grow() {
    const std::size_t newCount = bucketCount_ * 2;
    InternedString** newBuckets = allocateBuckets(newCount);
    for (std::size_t i = 0; i < bucketCount_; ++i) {
        for (InternedString* entry = buckets_[i]; entry != nullptr;) {
            InternedString* next = entry->next;
            InternedString*& head = newBuckets[entry->hash & (newCount - 1)];
            entry->next = head;
            head = entry;
            entry = next;
        }
    }
    freeBuckets(buckets_, bucketCount_);
    buckets_ = newBuckets;
    bucketCount_ = newCount;
}

void InternedStringTable::addRef(const InternedString* entry) noexcept {
    if (entry != &emptyInternedString()) {
        ++const_cast<InternedString*>(entry)->refs;
    }
}

void InternedStringTable::release(const InternedString* entry) noexcept {
    if (entry == nullptr || entry == &emptyInternedString()) {
        return;
    }
    auto* mutableEntry = const_cast<InternedString*>(entry);
    if (--mutableEntry->refs != 0) {
        return;
    }
    InternedString** link = &buckets_[entry->hash & (bucketCount_ - 1)];
    while (*link != nullptr && *link != entry) {
        link = &(*link)->next;
    }
    if (*link == entry) {
        *link = entry->next;
    }
    --count_;
    mutableEntry->~InternedString();
    pool_.deallocate(mutableEntry, sizeof(InternedString));
}

}  // namespace mox
