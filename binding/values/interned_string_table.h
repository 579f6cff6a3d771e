// File: binding/values/interned_string_table.h
//
// `InternedStringTable`: the string intern table of one value tree (owned by its
// `ValueContext`): a hash set of `InternedString` entries keyed by the FNV-1a hash of their
// text, with separate chaining. It starts with 8 buckets and doubles when it holds more entries
// than buckets. Entries, their texts and the bucket arrays come from the tree's pool (a bucket
// array of exactly a page takes a page from the page provider), so the table holds nothing
// the pool does not free with itself (binding/small_object_pool.h, binding/page_provider.h).
//
// Equal texts give the same entry (as long as the entry lives); each intern() adds one
// reference, each release() drops one, and the entry is erased when none is left. The empty
// text is never stored: it maps to the static emptyInternedString(), which is never counted.
//
// Not thread-safe (one tree, one thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/values/interned_string.h"

namespace mox {

class SmallObjectPool;

class InternedStringTable {
  public:
    static constexpr std::size_t kInitialBuckets = 8;

    // `pool` must outlive the table.
    explicit InternedStringTable(SmallObjectPool& pool) noexcept : pool_(pool) {}
    // Drops the entries that are left, whatever their counts, without destroying them one by
    // one: all their storage is the pool's and goes with it.
    ~InternedStringTable();
    InternedStringTable(const InternedStringTable&) = delete;
    InternedStringTable& operator=(const InternedStringTable&) = delete;

    // The entry of `text` with one more reference (added with the first one when missing).
    // `hash` must be fnv1a(text). Throws std::bad_alloc (the table is then unchanged).
    const InternedString* intern(std::string_view text, std::uint32_t hash);
    const InternedString* intern(std::string_view text);

    // Adds a reference to an entry of this table (or the empty entry: nothing happens).
    static void addRef(const InternedString* entry) noexcept;

    // Drops one reference; erases the entry at zero. The empty entry is ignored.
    void release(const InternedString* entry) noexcept;

    // The entry of `text` without adding a reference, or null.
    const InternedString* lookup(std::string_view text, std::uint32_t hash) const noexcept;

    std::size_t size() const noexcept { return count_; }
    std::size_t bucketCount() const noexcept { return bucketCount_; }

  private:
    void grow();
    InternedString** allocateBuckets(std::size_t count);
    void freeBuckets(InternedString** buckets, std::size_t count) noexcept;

    SmallObjectPool& pool_;
    InternedString** buckets_ = nullptr;  // null until the first entry
    std::size_t bucketCount_ = 0;
    std::size_t count_ = 0;
};

}  // namespace mox
