// File: binding/values/value_context.h
//
// `ValueContext`: the storage shared by all values of one tree: the tree's small-object pool
// (binding/small_object_pool.h) and its string intern table (binding/interned_string_table.h).
// The tree's root creates it on the first operation that needs storage or a string and
// destroys it with itself; destroying the context frees everything the tree still holds in it.
// Values reach it through `Value::context()`; code outside binding/ rarely needs it except to
// tell whether two values belong to the same tree.
//
// Aligned to 64 bytes: a value keeps its kind and ownership flag in the low bits of its
// context pointer. Each context lives in one page of the page provider (binding/page_provider.h).
//
// Not thread-safe (one tree, one thread); different contexts are independent.
#pragma once

#include <cstddef>
#include <new>
#include <string_view>
#include <utility>

#include "binding/values/interned_string_table.h"
#include "binding/values/small_object_pool.h"

namespace mox {

class alignas(64) ValueContext {
  public:
    ValueContext() noexcept : strings_(pool_) {}
    ~ValueContext() = default;

    // A context takes one page of the page provider rather than general-heap storage, so
    // that a tree whose parts all fit the pool makes no general-heap allocation at all.
    static void* operator new(std::size_t size);
    static void operator delete(void* context) noexcept;
    ValueContext(const ValueContext&) = delete;
    ValueContext& operator=(const ValueContext&) = delete;

    // Raw storage from the pool (binding/small_object_pool.h), any size. Throws std::bad_alloc.
    void* allocate(std::size_t size) { return pool_.allocate(size); }
    void deallocate(void* block, std::size_t size) noexcept { pool_.deallocate(block, size); }

    // Constructs/destroys a T in pool storage.
    template <typename T, typename... Args>
    T* create(Args&&... args) {
        void* slot = pool_.allocate(sizeof(T));
        try {
            return new (slot) T(std::forward<Args>(args)...);
        } catch (...) {
            pool_.deallocate(slot, sizeof(T));
            throw;
        }
    }
    template <typename T>
    void destroy(T* object) noexcept {
        object->~T();
        pool_.deallocate(object, sizeof(T));
    }

    // Interning (see InternedStringTable).
    const InternedString* intern(std::string_view text) { return strings_.intern(text); }
    const InternedString* intern(std::string_view text, std::uint32_t hash) {
        return strings_.intern(text, hash);
    }
    void release(const InternedString* entry) noexcept { strings_.release(entry); }

    SmallObjectPool& pool() noexcept { return pool_; }
    const SmallObjectPool& pool() const noexcept { return pool_; }
    InternedStringTable& strings() noexcept { return strings_; }
    const InternedStringTable& strings() const noexcept { return strings_; }

    // Blob values alive in the tree. Blob bytes are the one part of a tree outside the pool
    // (a ValueBytes keeps them on the general heap); when there are none, the root drops the
    // context wholesale without walking the tree.
    std::size_t blobsInUse() const noexcept { return blobsInUse_; }

  private:
    friend class Value;

    SmallObjectPool pool_;
    InternedStringTable strings_;
    std::size_t blobsInUse_ = 0;
};

}  // namespace mox
