#include "binding/values/small_object_pool.h"

#include <gtest/gtest.h>

#include <cstring>
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

// Past the 18 small classes, blocks up to a page (less its header) come from page classes
// and larger ones from the general heap, which the pool still owns: the block left allocated
// at the end is freed by the pool's destructor (the leak check of the asan preset sees it).
TEST(SmallObjectPool, LargerBlocksComeFromPageClassesThenTheHeap) {
    constexpr std::size_t kMax = SmallObjectPool::kMaxPageBlockSize;
    enum class Source { Small, Pages, Heap };
    const struct {
        std::size_t size;
        std::size_t blockSize;
        Source source;
        const char* reason;
    } cases[] = {
        {0, 4, Source::Small, "size 0 counts as 1"},
        {72, 72, Source::Small, "the largest small class"},
        {73, 112, Source::Pages, "just past the small classes: 32 slots a page"},
        {113, 240, Source::Pages, "the next class: 16 slots a page"},
        {2033, kMax, Source::Pages, "past half a page: the page less its header"},
        {kMax, kMax, Source::Pages, "the largest page-class block"},
        {kMax + 1, kMax + 1, Source::Heap, "more than a page class holds"},
    };
    SmallObjectPool pool;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(SmallObjectPool::blockSizeFor(c.size), c.blockSize);
        void* block = pool.allocate(c.size);
        std::memset(block, 0x5A, c.blockSize);  // the whole block is usable
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
        EXPECT_EQ(pool.pagesInUse(), c.source == Source::Pages ? 1u : 0u);
        EXPECT_EQ(pool.heapBlocksInUse(), c.source == Source::Heap ? 1u : 0u);
        pool.deallocate(block, c.size);
        EXPECT_EQ(pool.pagesInUse(), 0u);
        EXPECT_EQ(pool.heapBlocksInUse(), 0u);
    }
    EXPECT_NE(pool.allocate(kMax + 1), nullptr);
    EXPECT_NE(pool.allocate(3 * kMax), nullptr);
    EXPECT_EQ(pool.heapBlocksInUse(), 2u);
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
