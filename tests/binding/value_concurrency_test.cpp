#include "binding/values/value.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "binding/values/page_provider.h"

namespace mox {
namespace {

// Trees built and destroyed on several threads at once share only the page provider; every
// thread must read back exactly what it stored, and every page must come back.
TEST(ValueConcurrency, TreesOnFourThreads) {
    const std::size_t pagesBefore = PageProvider::instance().pagesInUse();
    constexpr int kThreads = 4;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 30; ++round) {
                Value root;
                Value& list = root.member("list");
                for (int i = 0; i < 300; ++i) {
                    Value& item = list.append();
                    item.member("thread").setSigned(t);
                    item.member("index").setUnsigned(static_cast<std::uint64_t>(i));
                    item.member("label").setString("label" + std::to_string(i % 17));
                }
                Value copy(root);
                for (int i = 0; i < 300; ++i) {
                    const Value& item = copy.find("list").at(static_cast<std::size_t>(i));
                    if (item.find("thread").asSigned(-1) != t ||
                        item.find("index").asUnsigned(999) != static_cast<std::uint64_t>(i) ||
                        item.find("label").asString() != "label" + std::to_string(i % 17)) {
                        ++failures[static_cast<std::size_t>(t)];
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0) << "thread " << t;
    }
    EXPECT_EQ(PageProvider::instance().pagesInUse(), pagesBefore);
}

}  // namespace
}  // namespace mox
