#include "platform/runtime/WaitGroup.h"

#include <chrono>
#include <stdexcept>

namespace zimlo {

void WaitGroup::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void WaitGroup::leave() {
    std::vector<Task> ready;
    {
        std::lock_guard lock(mutex_);
        if (count_ == 0) throw std::logic_error("WaitGroup::leave without a matching enter");
        if (--count_ == 0) ready.swap(waiting_);
    }
    zero_.notify_all();
    for (auto& task : ready) task();
}

bool WaitGroup::wait(double seconds) {
    std::unique_lock lock(mutex_);
    return zero_.wait_for(lock, std::chrono::duration<double>(seconds),
                          [&] { return count_ == 0; });
}

void WaitGroup::wait() {
    std::unique_lock lock(mutex_);
    zero_.wait(lock, [&] { return count_ == 0; });
}

void WaitGroup::notify(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (count_ > 0) {
            waiting_.push_back(std::move(task));
            return;
        }
    }
    task();
}

}  // namespace zimlo
