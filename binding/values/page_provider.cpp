#include "binding/values/page_provider.h"

#include <bit>
#include <new>

#include "platform/pages.h"

namespace mox {

namespace {

constexpr std::uint16_t kAllFree = 0xFFFF;
static_assert(PageProvider::kPageSize * PageProvider::kPagesPerRegion == platform::kRegionSize);

}  // namespace

PageProvider& PageProvider::instance() {
    // Never destroyed: values owned by static objects may return pages during exit. Kept in
    // the module's own storage rather than on the heap, so unloading the library takes it
    // along.
    alignas(PageProvider) static unsigned char storage[sizeof(PageProvider)];
    static PageProvider* const provider = new (storage) PageProvider();
    return *provider;
}

void* PageProvider::acquirePage() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (partial_.empty()) {
        // The system call stays under the lock: regions are taken rarely (once per 16 pages),
        // and holding the lock keeps two threads from reserving one region each for one page.
        void* base = platform::reserveRegion(platform::kRegionSize);
        if (base == nullptr) {
            return nullptr;
        }
        try {
            auto [it, inserted] =
                regions_.emplace(reinterpret_cast<std::uintptr_t>(base), Region{kAllFree, 0});
            (void)inserted;
            // partial_ never holds more entries than there are regions; keeping its capacity
            // at the region count lets releaseLocked push without allocating.
            partial_.reserve(regions_.size());
            partial_.push_back(it);
            it->second.partialIndex = partial_.size() - 1;
            ++freeRegions_;  // wholly free until its first page goes out just below
        } catch (...) {
            // The bookkeeping itself could not allocate: give the region back.
            regions_.erase(reinterpret_cast<std::uintptr_t>(base));
            platform::releaseRegion(base, platform::kRegionSize);
            return nullptr;
        }
    }
    RegionMap::iterator it = partial_.back();
    Region& region = it->second;
    if (region.freeMask == kAllFree) {
        --freeRegions_;  // a reserved region comes back into use
    }
    const unsigned index = static_cast<unsigned>(std::countr_zero(region.freeMask));
    region.freeMask = static_cast<std::uint16_t>(region.freeMask & ~(1u << index));
    if (region.freeMask == 0) {
        removePartial(region);
    }
    ++pagesInUse_;
    return reinterpret_cast<void*>(it->first + index * kPageSize);
}

void PageProvider::releasePage(void* page) noexcept {
    if (page == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    releaseLocked(page);
}

void PageProvider::releasePages(void* const* pages, std::size_t count) noexcept {
    if (count == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < count; ++i) {
        if (pages[i] != nullptr) {
            releaseLocked(pages[i]);
        }
    }
}

void PageProvider::releaseLocked(void* page) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(page);
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) {
        return;  // not ours; ignoring it is safer than corrupting the bookkeeping
    }
    --it;
    const std::uintptr_t offset = address - it->first;
    if (offset >= platform::kRegionSize || offset % kPageSize != 0) {
        return;
    }
    Region& region = it->second;
    const auto bit = static_cast<std::uint16_t>(1u << (offset / kPageSize));
    if ((region.freeMask & bit) != 0) {
        return;  // already free
    }
    const bool wasFull = region.freeMask == 0;
    region.freeMask = static_cast<std::uint16_t>(region.freeMask | bit);
    --pagesInUse_;
    if (wasFull) {
        // Cannot allocate: partial_'s capacity is at least the region count (acquirePage).
        partial_.push_back(it);
        region.partialIndex = partial_.size() - 1;
    }
    if (region.freeMask == kAllFree) {
        if (freeRegions_ < regionReserve_) {
            ++freeRegions_;
        } else {
            releaseRegion(it);
        }
    }
}

void PageProvider::releaseRegion(RegionMap::iterator it) noexcept {
    removePartial(it->second);
    void* base = reinterpret_cast<void*>(it->first);
    regions_.erase(it);
    platform::releaseRegion(base, platform::kRegionSize);
}

std::size_t PageProvider::setRegionReserve(std::size_t regions) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t previous = regionReserve_;
    regionReserve_ = regions;
    for (std::size_t i = partial_.size(); i > 0 && freeRegions_ > regionReserve_; --i) {
        if (i - 1 < partial_.size() && partial_[i - 1]->second.freeMask == kAllFree) {
            releaseRegion(partial_[i - 1]);
            --freeRegions_;
        }
    }
    if (regions_.empty()) {
        // Nothing held: the list's storage goes too (the next region reserves it again).
        std::vector<RegionMap::iterator>().swap(partial_);
    }
    return previous;
}

void PageProvider::removePartial(Region& region) noexcept {
    const std::size_t index = region.partialIndex;
    if (index + 1 != partial_.size()) {
        partial_[index] = partial_.back();
        partial_[index]->second.partialIndex = index;
    }
    partial_.pop_back();
}

std::size_t PageProvider::regionsInUse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return regions_.size();
}

std::size_t PageProvider::reservedRegions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return freeRegions_;
}

std::size_t PageProvider::pagesInUse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pagesInUse_;
}

}  // namespace mox
