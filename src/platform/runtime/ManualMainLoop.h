#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/runtime/MainQueue.h"

namespace zimlo {

// A main loop that its owner pumps: tests and command-line tools. The thread that creates it
// is the main thread.
class ManualMainLoop : public MainQueueBackend {
  public:
    ManualMainLoop();

    void post(Task task) override;
    void postAfter(std::chrono::milliseconds delay, Task task) override;
    bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }

    // Runs every task that is due now (and those they post that are due at once). Returns how
    // many ran. Must be called on the main thread.
    int runPending();
    // Pumps until `done` returns true or `timeout` passes; returns the last value of `done`.
    // `done` is checked after every task and, for state other threads set, every `recheck`: a
    // caller whose `done` only tasks on this loop change may pass a long one, and the loop then
    // sleeps until work comes instead of waking 50 times a second.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                  std::chrono::milliseconds recheck = std::chrono::milliseconds(20));
    // Pumps for the whole of `duration`.
    void runFor(std::chrono::milliseconds duration);

  private:
    using Clock = std::chrono::steady_clock;
    bool takeDue(Task& task);

    std::thread::id mainThread_;
    std::mutex mutex_;  // guards: ready_, delayed_
    std::condition_variable wake_;
    std::deque<Task> ready_;
    std::multimap<Clock::time_point, Task> delayed_;
};

}  // namespace zimlo
