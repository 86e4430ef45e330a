#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/runtime/MainQueue.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/WeakOwner.h"
#include "support/TestMain.h"

using namespace zimlo;
using namespace std::chrono_literals;

TEST(MainQueue, TasksPostedFromOtherThreadsRunOnTheMainThreadInOrder) {
    std::vector<int> order;
    std::atomic<bool> allOnMain{true};
    SerialQueue queue(".poster");
    for (int i = 0; i < 20; ++i) {
        queue.async([&, i] {
            EXPECT_FALSE(MainQueue::isMainThread());
            MainQueue::post([&, i] {
                if (!MainQueue::isMainThread()) allOnMain = false;
                order.push_back(i);
            });
        });
    }
    ASSERT_TRUE(test::pumpUntil([&] { return order.size() == 20; }));
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
}

TEST(MainQueue, DelayedWorkWaitsItsTimeAndCancelledWorkNeverRuns) {
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration ranAfter{};
    bool ran = false, cancelledRan = false;
    MainQueue::postAfter(0.12, [&] {
        ran = true;
        ranAfter = std::chrono::steady_clock::now() - start;
    });
    auto cancelled = MainQueue::postAfter(0.05, [&] { cancelledRan = true; });
    test::mainLoop().runPending();
    EXPECT_FALSE(ran);
    cancelled->cancel();
    ASSERT_TRUE(test::pumpUntil([&] { return ran; }, 2s));
    test::mainLoop().runFor(100ms);
    EXPECT_GE(ranAfter, 120ms);
    EXPECT_FALSE(cancelledRan);
}

namespace {
struct Counter {
    int* total;
};
}  // namespace

TEST(WeakOwner, CallbackDoesNothingOnceItsOwnerIsGone) {
    int total = 0;
    auto owner = std::make_shared<Counter>(Counter{&total});
    auto callback = weakly(owner, [](Counter& self, int by) { *self.total += by; });
    callback(2);
    EXPECT_EQ(total, 2);

    // A completion posted while the owner lives but delivered after it is gone.
    MainQueue::post([callback] { callback(5); });
    owner.reset();
    EXPECT_EQ(test::mainLoop().runPending(), 1);
    EXPECT_EQ(total, 2);
}
