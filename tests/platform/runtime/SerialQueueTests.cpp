#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/runtime/FirstErrorSlot.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/Threads.h"
#include "platform/runtime/WaitGroup.h"

using namespace zimlo;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrderOnANamedThread) {
    SerialQueue queue(".mac.screen-stream");
    EXPECT_EQ(queue.label(), "com.zimlo.recorder.mac.screen-stream");

    std::vector<int> order;
    std::atomic<int> concurrent{0};
    std::atomic<bool> overlapped{false};
    std::string threadName;
    std::vector<std::thread> producers;
    // Many producers: per-producer order must hold and no two tasks may overlap.
    std::mutex orderMutex;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 100; ++i) {
                queue.async([&, p, i] {
                    if (concurrent.fetch_add(1) != 0) overlapped = true;
                    {
                        std::lock_guard lock(orderMutex);
                        order.push_back(p * 1000 + i);
                    }
                    concurrent.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : producers) t.join();
    queue.sync([&] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        threadName = name;
        EXPECT_TRUE(queue.isCurrent());
    });
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 400u);
    std::vector<int> last(4, -1);
    for (int value : order) {
        int p = value / 1000, i = value % 1000;
        EXPECT_EQ(i, last[p] + 1);
        last[p] = i;
    }
    EXPECT_EQ(threadName, "screen-stream");
    EXPECT_EQ(SerialQueue::threadNameForSuffix(".mac.screen-preview.render"), "screen-preview.");
    EXPECT_EQ(SerialQueue::threadNameForSuffix(".compositor.render"), "compositor.rend");
}

TEST(SerialQueue, DelayedTasksRunWhenDueAndCancelledOnesNever) {
    SerialQueue queue(".test");
    std::mutex m;
    std::vector<std::string> events;
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration lateDelay{};
    auto record = [&](std::string what) {
        std::lock_guard lock(m);
        events.push_back(std::move(what));
    };
    queue.asyncAfter(0.15, [&] {
        lateDelay = std::chrono::steady_clock::now() - start;
        record("late");
    });
    auto cancelled = queue.asyncAfter(0.05, [&] { record("cancelled"); });
    queue.asyncAfter(0.05, [&] { record("early"); });
    queue.async([&] { record("now"); });
    cancelled->cancel();
    std::this_thread::sleep_for(300ms);
    queue.sync([] {});
    std::lock_guard lock(m);
    EXPECT_EQ(events, (std::vector<std::string>{"now", "early", "late"}));
    EXPECT_GE(lateDelay, 150ms);
}

TEST(SerialQueue, DestructionDrainsSubmittedWork) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue(".drain");
        for (int i = 0; i < 50; ++i)
            queue.async([&] {
                std::this_thread::sleep_for(1ms);
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 50);
}

// A callback's captures may hold the last owner of the queue it runs on: the queue then goes
// from its own thread, whose loop must not touch it again, and the tasks queued after that one
// still run.
TEST(SerialQueue, ALastOwnerLettingGoFromItsOwnTaskLeavesTheWaitingTasksToRun) {
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        auto queue = std::make_shared<SerialQueue>(".let-go");
        std::promise<void> open;
        queue->async([gate = open.get_future().share()] { gate.wait(); });
        queue->async([owner = queue]() mutable { owner.reset(); });
        auto after = std::make_shared<std::atomic<int>>(0);
        auto last = std::make_shared<std::promise<void>>();
        auto ran = last->get_future();
        for (int i = 0; i < 5; ++i) queue->async([after] { ++*after; });
        queue->async([last] { last->set_value(); });
        queue.reset();
        open.set_value();
        ASSERT_EQ(ran.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(after->load(), 5);
        // The thread, let go, ends by itself.
        ASSERT_TRUE(waitForLetGoThreads(5000ms));
    }
}

TEST(WaitGroup, WaitTimesOutWhileWorkIsOutstandingAndNotifiesAtZero) {
    WaitGroup group;
    EXPECT_TRUE(group.wait(0.0));  // nothing entered

    std::atomic<int> notified{0};
    group.enter();
    group.enter();
    group.notify([&] { ++notified; });
    EXPECT_FALSE(group.wait(0.05));
    std::thread worker([&] {
        std::this_thread::sleep_for(30ms);
        group.leave();
        group.leave();
    });
    EXPECT_TRUE(group.wait(5.0));
    worker.join();
    EXPECT_EQ(notified.load(), 1);
    group.notify([&] { ++notified; });  // already zero: runs at once
    EXPECT_EQ(notified.load(), 2);
    EXPECT_THROW(group.leave(), std::logic_error);
}

TEST(FirstErrorSlot, KeepsTheFirstOfConcurrentErrors) {
    FirstErrorSlot<std::string> slot;
    EXPECT_FALSE(slot.hasError());
    std::vector<std::thread> threads;
    std::atomic<int> winners{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            if (slot.offer("error " + std::to_string(i))) ++winners;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(winners.load(), 1);
    auto kept = slot.value();
    ASSERT_TRUE(kept);
    EXPECT_FALSE(slot.offer("later"));
    EXPECT_EQ(slot.value(), kept);
}
