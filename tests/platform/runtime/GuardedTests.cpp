#include <gtest/gtest.h>

#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/Guarded.h"

namespace zimlo {
namespace {

struct Account {
    long balance = 0;
    std::vector<std::string> entries;
};

// Two fields changed together from many threads stay consistent, and none of the changes is
// lost: every access went through the one lock.
TEST(Guarded, ChangesFromManyThreadsAreWholeAndNoneIsLost) {
    Guarded<Account> account;
    constexpr int kThreads = 8, kChanges = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&account, t] {
            for (int i = 0; i < kChanges; ++i) {
                auto locked = account.lock();
                locked->balance += t;
                locked->entries.push_back(std::to_string(t));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const auto& readOnly = account;
    auto locked = readOnly.lock();
    EXPECT_EQ(locked->entries.size(), static_cast<size_t>(kThreads * kChanges));
    long expected = 0;
    for (const auto& entry : locked->entries) expected += std::stol(entry);
    EXPECT_EQ(locked->balance, expected);
    EXPECT_EQ(expected, static_cast<long>(kChanges) * (kThreads * (kThreads - 1) / 2));
}

TEST(Guarded, AConditionVariableWaitsOnTheHeldLock) {
    Guarded<bool> done(false);
    std::condition_variable changed;
    std::thread worker([&] {
        *done.lock() = true;
        changed.notify_all();
    });
    {
        auto locked = done.lock();
        changed.wait(locked.lock(), [&] { return *locked; });
        EXPECT_TRUE(*locked);
    }
    worker.join();
}

}  // namespace
}  // namespace zimlo
