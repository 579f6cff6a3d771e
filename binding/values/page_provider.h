// File: binding/values/page_provider.h
//
// `PageProvider`: the one process-wide source of 4096-byte pages for the value pools
// (binding/small_object_pool.h). It reserves 64 KB regions from the operating system
// (platform/pages.h), splits each into 16 pages, hands pages out one at a time, remembers the
// region of every page, and gives a region back to the system as soon as all 16 of its pages
// have been returned - except that it keeps a small reserve of wholly free regions
// (kDefaultRegionReserve, adjustable with setRegionReserve) for the next trees. Trees are built
// and torn down for every request; without the reserve each request would reserve fresh
// regions from the system and fault in every page again, which costs several times more than
// building the tree (measured by bench/value_tree_bench.cpp). With a reserve of 0 a process
// with no live value storage holds no regions.
//
// Created on first use and never destroyed (trees that outlive static destruction may still
// return pages). Every operation takes the provider's single mutex, so any thread may call.
//
// Example:
//   void* page = mox::PageProvider::instance().acquirePage();   // null when out of memory
//   ...
//   mox::PageProvider::instance().releasePage(page);
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace mox {

class PageProvider {
  public:
    static constexpr std::size_t kPageSize = 4096;
    static constexpr std::size_t kPagesPerRegion = 16;
    // Wholly free regions kept by default: 4 MB, enough that a tree read from a document of
    // a few MB is built and torn down again without going back to the system. With 1 MB, every
    // region past the first MB went back at each release and its pages faulted in again at
    // the next read, a fifth of a large read's time (bench/reader_bench.cpp).
    static constexpr std::size_t kDefaultRegionReserve = 64;

    // The process's provider, created on first use.
    static PageProvider& instance();

    // A page aligned to kPageSize, or null when the system has no memory for a new region.
    void* acquirePage() noexcept;
    // Returns a page from acquirePage. REQUIRES: the page is not already returned.
    void releasePage(void* page) noexcept;
    // Returns `count` pages under one lock.
    void releasePages(void* const* pages, std::size_t count) noexcept;

    // How many wholly free regions to keep instead of releasing them; lowering it releases
    // the excess at once. Returns the previous setting.
    std::size_t setRegionReserve(std::size_t regions) noexcept;

    // Counters for tests and diagnostics: regions held from the system (reserve included),
    // wholly free regions held as reserve, pages handed out.
    std::size_t regionsInUse() const;
    std::size_t reservedRegions() const;
    std::size_t pagesInUse() const;

    PageProvider(const PageProvider&) = delete;
    PageProvider& operator=(const PageProvider&) = delete;

  private:
    PageProvider() = default;
    ~PageProvider() = default;

    struct Region {
        // Bit i set: page i of the region is free.
        std::uint16_t freeMask = 0;
        // Position in partial_ while the region has free pages.
        std::size_t partialIndex = 0;
    };
    using RegionMap = std::map<std::uintptr_t, Region>;

    void releaseLocked(void* page) noexcept;
    void releaseRegion(RegionMap::iterator it) noexcept;
    void removePartial(Region& region) noexcept;

    mutable std::mutex mutex_;
    // Every region held, keyed by its base address (a page finds its region as the last base
    // not above it; the system does not always align regions to their size).
    RegionMap regions_;
    // Regions with at least one free page.
    std::vector<RegionMap::iterator> partial_;
    std::size_t pagesInUse_ = 0;
    std::size_t freeRegions_ = 0;
    std::size_t regionReserve_ = kDefaultRegionReserve;
};

}  // namespace mox
