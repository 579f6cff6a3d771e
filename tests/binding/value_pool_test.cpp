#include "binding/values/small_object_pool.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "binding/values/page_provider.h"
#include "binding/values/value.h"
#include "binding/values/value_context.h"

namespace mox {
namespace {

TEST(SmallObjectPool, SizesShareAClassAfterRoundingAndSlotsAreReused) {
    SmallObjectPool pool;
    const struct {
        std::size_t first;
        std::size_t second;
        bool sameClass;
    } cases[] = {{5, 8, true}, {1, 4, true}, {0, 3, true}, {69, 72, true}, {8, 9, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
        void* block = pool.allocate(c.first);
        pool.deallocate(block, c.first);
        void* again = pool.allocate(c.second);
        EXPECT_EQ(again == block, c.sameClass);
        pool.deallocate(again, c.second);
    }
}

TEST(SmallObjectPool, InlineBlockFirstThenPagesThatGoBackWhenEmpty) {
    const std::size_t providerPages = PageProvider::instance().pagesInUse();
    SmallObjectPool pool;
    constexpr std::size_t kSize = 16;
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < SmallObjectPool::kInlineBlockSize / kSize; ++i) {
        blocks.push_back(pool.allocate(kSize));
    }
    EXPECT_EQ(pool.pagesInUse(), 0u);  // the 144-byte inline block served these
    // Fill more than two pages of this class.
    for (int i = 0; i < 600; ++i) {
        blocks.push_back(pool.allocate(kSize));
        reinterpret_cast<unsigned char*>(blocks.back())[kSize - 1] = 0x5A;  // writable
    }
    EXPECT_EQ(pool.pagesInUse(), 3u);
    EXPECT_EQ(PageProvider::instance().pagesInUse(), providerPages + 3);
    EXPECT_EQ(std::set<void*>(blocks.begin(), blocks.end()).size(), blocks.size());
    for (void* block : blocks) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
    }
    // Free everything but the inline block: each page goes back as its last slot is freed.
    for (std::size_t i = 9; i < blocks.size(); ++i) {
        pool.deallocate(blocks[i], kSize);
    }
    EXPECT_EQ(pool.pagesInUse(), 0u);
    EXPECT_EQ(PageProvider::instance().pagesInUse(), providerPages);
    blocks.resize(9);
    // A full page that gets a free slot is used again before a new page is taken.
    for (int i = 0; i < 300; ++i) {
        blocks.push_back(pool.allocate(kSize));
    }
    const std::size_t pages = pool.pagesInUse();
    pool.deallocate(blocks[20], kSize);
    EXPECT_EQ(pool.allocate(kSize), blocks[20]);
    EXPECT_EQ(pool.pagesInUse(), pages);
    // The pool's destructor returns the pages still in use.
}

TEST(SmallObjectPool, LargeBlocksGoToTheGeneralHeap) {
    SmallObjectPool pool;
    void* block = pool.allocate(SmallObjectPool::kMaxPooledSize + 1);
    EXPECT_EQ(pool.heapBlocksInUse(), 1u);
    EXPECT_EQ(pool.pagesInUse(), 0u);
    pool.deallocate(block, SmallObjectPool::kMaxPooledSize + 1);
    EXPECT_EQ(pool.heapBlocksInUse(), 0u);
}

// Runs a test with the provider's reserve of free regions set to `reserve` and restores it.
class PageProviderTest : public ::testing::Test {
  protected:
    void useReserve(std::size_t reserve) { previous_ = provider.setRegionReserve(reserve); }
    void TearDown() override { provider.setRegionReserve(previous_); }

    PageProvider& provider = PageProvider::instance();

  private:
    std::size_t previous_ = PageProvider::kDefaultRegionReserve;
};

TEST_F(PageProviderTest, ReleasesARegionWhenAllSixteenPagesAreBack) {
    useReserve(0);
    // Use up any partly used region first, so the next 16 pages come from one new region.
    std::vector<void*> filler;
    while (provider.pagesInUse() != provider.regionsInUse() * PageProvider::kPagesPerRegion) {
        filler.push_back(provider.acquirePage());
    }
    const std::size_t regions = provider.regionsInUse();
    std::vector<void*> pages;
    for (std::size_t i = 0; i < PageProvider::kPagesPerRegion; ++i) {
        pages.push_back(provider.acquirePage());
        ASSERT_NE(pages.back(), nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pages.back()) % PageProvider::kPageSize, 0u);
    }
    EXPECT_EQ(provider.regionsInUse(), regions + 1);
    for (std::size_t i = 0; i + 1 < pages.size(); ++i) {
        provider.releasePage(pages[i]);
        EXPECT_EQ(provider.regionsInUse(), regions + 1) << "page " << i;
    }
    // Pages come back to the region they belong to: a released page is handed out again.
    void* again = provider.acquirePage();
    EXPECT_EQ(provider.regionsInUse(), regions + 1);
    provider.releasePage(again);
    provider.releasePage(pages.back());
    EXPECT_EQ(provider.regionsInUse(), regions);
    provider.releasePages(filler.data(), filler.size());
}

TEST_F(PageProviderTest, KeepsUpToTheReserveOfFreeRegions) {
    useReserve(0);
    const std::size_t regions = provider.regionsInUse();
    useReserve(1);
    std::vector<void*> pages;
    for (std::size_t i = 0; i < 3 * PageProvider::kPagesPerRegion; ++i) {
        pages.push_back(provider.acquirePage());
    }
    const std::size_t held = provider.regionsInUse();
    EXPECT_GE(held, regions + 3);
    provider.releasePages(pages.data(), pages.size());
    EXPECT_EQ(provider.reservedRegions(), 1u);  // one kept, the others released
    EXPECT_EQ(provider.regionsInUse(), regions + 1);
    // The kept region serves the next pages without a new one.
    void* page = provider.acquirePage();
    EXPECT_EQ(provider.regionsInUse(), regions + 1);
    EXPECT_EQ(provider.reservedRegions(), 0u);
    provider.releasePage(page);
    EXPECT_EQ(provider.reservedRegions(), 1u);
    useReserve(0);  // lowering the reserve releases the excess at once
    EXPECT_EQ(provider.regionsInUse(), regions);
}

TEST(ValuePools, TreesGiveTheirPagesBack) {
    PageProvider& provider = PageProvider::instance();
    const std::size_t before = provider.pagesInUse();
    {
        Value root;
        Value& big = root.member("big");
        for (int i = 0; i < 2000; ++i) {
            Value& item = big.member("name" + std::to_string(i));
            item.setString("text" + std::to_string(i % 10));
        }
        const SmallObjectPool& pool = root.context()->pool();
        EXPECT_GT(pool.pagesInUse(), 0u);
        // The pool's pages and the context's own page.
        EXPECT_EQ(provider.pagesInUse(), before + pool.pagesInUse() + 1);
        // Resetting a subtree frees its slots one by one; emptied pages go back at once.
        big.reset();
        EXPECT_EQ(pool.pagesInUse(), 0u);
        EXPECT_EQ(root.context()->strings().size(), 1u);  // "big" only
        for (int i = 0; i < 500; ++i) {
            big.append().setString("again" + std::to_string(i));
        }
        EXPECT_GT(pool.pagesInUse(), 0u);
    }
    EXPECT_EQ(provider.pagesInUse(), before);
}

// A record-like tree of long member names and texts, with more distinct texts than the intern
// table's first buckets, keeps every part in its own storage: texts in the pool, the grown
// bucket array in a page, nothing on the general heap.
TEST(ValuePools, InternedTextsAndBucketsStayOutOfTheGeneralHeap) {
    Value root;
    for (int i = 0; i < 40; ++i) {
        root.member("AConfigurationKeyNumber" + std::to_string(i))
            .setString("a value longer than any inline buffer " + std::to_string(i));
    }
    const ValueContext& context = *root.context();
    EXPECT_EQ(context.strings().size(), 80u);
    EXPECT_EQ(context.pool().heapBlocksInUse(), 0u);
    const InternedString* text = root.find("AConfigurationKeyNumber7").asInterned();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text.get_allocator().pool(), &context.pool());
}

}  // namespace
}  // namespace mox
