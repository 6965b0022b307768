// At most N places per key: taken and given back from any thread, and a
// place may outlive the limit it came from.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/PerKeyLimit.h"

namespace Korrafin::Test {
namespace {

TEST(PerKeyLimit, EachKeyHoldsAtMostItsLimitAndReleasedPlacesComeBack) {
    PerKeyLimit limit(3);
    std::vector<PerKeyLimit::Slot> a;
    for (int i = 0; i < 3; ++i) {
        a.push_back(limit.tryAcquire("10.0.0.1"));
        EXPECT_TRUE(a.back());
    }
    EXPECT_FALSE(limit.tryAcquire("10.0.0.1")) << "the fourth is refused";
    EXPECT_TRUE(limit.tryAcquire("10.0.0.2")) << "another key is not affected (and gives its place back at once)";
    EXPECT_EQ(limit.held("10.0.0.2"), 0u);

    a[0].release();
    a[0].release();  // once only
    EXPECT_EQ(limit.held("10.0.0.1"), 2u);
    PerKeyLimit::Slot moved = std::move(a[1]);
    EXPECT_FALSE(a[1]);
    EXPECT_EQ(limit.held("10.0.0.1"), 2u) << "a move keeps the place";
    a.clear();
    EXPECT_EQ(limit.held("10.0.0.1"), 1u);
    moved = limit.tryAcquire("10.0.0.3");  // the old place goes back
    EXPECT_EQ(limit.held("10.0.0.1"), 0u);
    EXPECT_EQ(limit.held("10.0.0.3"), 1u);
}

TEST(PerKeyLimit, PlacesTakenAndGivenBackConcurrentlyAddUp) {
    PerKeyLimit limit(16);
    std::vector<std::thread> threads;
    std::atomic<int> over{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                auto s = limit.tryAcquire("k");
                if (s && limit.held("k") > 16) ++over;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(over.load(), 0);
    EXPECT_EQ(limit.held("k"), 0u);
}

TEST(PerKeyLimit, APlaceMayOutliveItsLimit) {
    PerKeyLimit::Slot s;
    {
        PerKeyLimit limit(1);
        s = limit.tryAcquire("k");
        ASSERT_TRUE(s);
    }
    s.release();  // must not touch freed memory
    EXPECT_FALSE(s);
}

}  // namespace
}  // namespace Korrafin::Test
