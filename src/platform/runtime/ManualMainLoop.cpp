#include "platform/runtime/ManualMainLoop.h"

#include <stdexcept>

namespace zimlo {

ManualMainLoop::ManualMainLoop() : mainThread_(std::this_thread::get_id()) {}

void ManualMainLoop::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void ManualMainLoop::postAfter(std::chrono::milliseconds delay, Task task) {
    {
        std::lock_guard lock(mutex_);
        delayed_.emplace(Clock::now() + delay, std::move(task));
    }
    wake_.notify_all();
}

bool ManualMainLoop::takeDue(Task& task) {
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
        ready_.push_back(std::move(delayed_.begin()->second));
        delayed_.erase(delayed_.begin());
    }
    if (ready_.empty()) return false;
    task = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

int ManualMainLoop::runPending() {
    if (!isMainThread()) throw std::logic_error("ManualMainLoop pumped off the main thread");
    int count = 0;
    Task task;
    while (takeDue(task)) {
        task();
        task = nullptr;
        ++count;
    }
    return count;
}

bool ManualMainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                              std::chrono::milliseconds recheck) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        runPending();
        if (done()) return true;
        auto now = Clock::now();
        if (now >= deadline) return false;
        std::unique_lock lock(mutex_);
        auto until = deadline;
        if (!delayed_.empty() && delayed_.begin()->first < until) until = delayed_.begin()->first;
        // Wake for new work, and every `recheck` for state set by other threads.
        if (now + recheck < until) until = now + recheck;
        wake_.wait_until(lock, until, [&] { return !ready_.empty(); });
    }
}

void ManualMainLoop::runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

}  // namespace zimlo
