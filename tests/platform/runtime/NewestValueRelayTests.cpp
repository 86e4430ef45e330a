#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/runtime/NewestValueRelay.h"
#include "platform/runtime/SerialQueue.h"

namespace zimlo {
namespace {

using namespace std::chrono_literals;

// Tasks are kept until the test runs them, so it decides when the consumer gets its turn.
struct HeldTasks {
    std::vector<Task> tasks;
    NewestValueRelay<int>::Schedule schedule() {
        return [this](Task task) { tasks.push_back(std::move(task)); };
    }
    void runAll() {
        auto due = std::move(tasks);
        tasks.clear();
        for (auto& task : due) task();
    }
};

TEST(NewestValueRelay, OneDeliveryWaitsAtATimeAndItCarriesTheNewestValue) {
    HeldTasks held;
    std::vector<int> delivered;
    auto relay = NewestValueRelay<int>::create(held.schedule(),
                                               [&](int value) { delivered.push_back(value); });

    EXPECT_TRUE(relay->offer(1));
    EXPECT_FALSE(relay->offer(2));  // 1 was waiting and is dropped
    EXPECT_FALSE(relay->offer(3));
    EXPECT_EQ(held.tasks.size(), 1u);
    held.runAll();
    EXPECT_EQ(delivered, std::vector<int>{3});

    // After a delivery the next value schedules again.
    EXPECT_TRUE(relay->offer(4));
    EXPECT_EQ(held.tasks.size(), 1u);
    held.runAll();
    EXPECT_EQ(delivered, (std::vector<int>{3, 4}));
    held.runAll();
    EXPECT_EQ(delivered.size(), 2u);
}

TEST(NewestValueRelay, AValueOfferedWhileTheConsumerRunsIsDeliveredNext) {
    HeldTasks held;
    std::vector<int> delivered;
    std::shared_ptr<NewestValueRelay<int>> relay;
    relay = NewestValueRelay<int>::create(held.schedule(), [&](int value) {
        delivered.push_back(value);
        if (value == 1) {
            EXPECT_TRUE(relay->offer(2));  // arrives during the delivery
        }
    });
    relay->offer(1);
    held.runAll();
    ASSERT_EQ(held.tasks.size(), 1u);
    held.runAll();
    EXPECT_EQ(delivered, (std::vector<int>{1, 2}));

    // A schedule that runs the task at once (the consumer's own queue) works too.
    std::vector<int> inline_delivered;
    auto direct = NewestValueRelay<int>::create(
        [](Task task) { task(); }, [&](int value) { inline_delivered.push_back(value); });
    EXPECT_TRUE(direct->offer(7));
    EXPECT_TRUE(direct->offer(8));
    EXPECT_EQ(inline_delivered, (std::vector<int>{7, 8}));
}

TEST(NewestValueRelay, NothingIsDeliveredOnceClosedOrGone) {
    HeldTasks held;
    int deliveries = 0;
    auto relay = NewestValueRelay<int>::create(held.schedule(), [&](int) { ++deliveries; });
    relay->offer(1);
    relay->close();
    EXPECT_FALSE(relay->offer(2));
    held.runAll();
    EXPECT_EQ(deliveries, 0);
    EXPECT_TRUE(held.tasks.empty());

    auto dropped = NewestValueRelay<int>::create(held.schedule(), [&](int) { ++deliveries; });
    dropped->offer(1);
    dropped.reset();  // the waiting task holds the relay weakly
    held.runAll();
    EXPECT_EQ(deliveries, 0);
}

// A fast producer and a slow consumer on a real queue: the consumer sees rising values ending
// with the last one, and every value is either delivered or reported as dropped.
TEST(NewestValueRelay, AFastProducerAndASlowConsumerLoseOnlyStaleValues) {
    SerialQueue queue(".test.relay");
    std::vector<int> delivered;  // on the queue
    std::atomic<int> last{-1};
    auto relay =
        NewestValueRelay<int>::create([&queue](Task task) { queue.async(std::move(task)); },
                                      [&](int value) {
                                          delivered.push_back(value);
                                          std::this_thread::sleep_for(1ms);
                                          last = value;
                                      });
    constexpr int kValues = 2000;
    int dropped = 0;
    for (int value = 0; value < kValues; ++value) {
        if (!relay->offer(value)) ++dropped;
        if (value % 100 == 0) std::this_thread::sleep_for(2ms);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (last != kValues - 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    queue.sync([] {});
    ASSERT_EQ(last, kValues - 1);
    EXPECT_EQ(static_cast<int>(delivered.size()) + dropped, kValues);
    EXPECT_GT(dropped, 0);
    for (size_t i = 1; i < delivered.size(); ++i) ASSERT_LT(delivered[i - 1], delivered[i]);
}

}  // namespace
}  // namespace zimlo
