#include "platform/runtime/WorkerPool.h"

#include <algorithm>

#include "platform/runtime/Threads.h"

namespace zimlo {

WorkerPool::WorkerPool(std::string_view name, std::size_t threads) {
    for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i)
        threads_.push_back(startThread(name, [this] { run(); }));
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        ready_.clear();
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
        if (thread.get_id() == std::this_thread::get_id())
            letGo(std::move(thread));  // the last owner let go from a task: it cannot join itself
        else
            thread.join();
    }
}

void WorkerPool::async(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        ready_.push_back(std::move(task));
    }
    wake_.notify_one();
}

std::size_t WorkerPool::pending() const {
    std::lock_guard lock(mutex_);
    return ready_.size();
}

void WorkerPool::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
        if (stopping_) return;
        Task task = std::move(ready_.front());
        ready_.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // whatever it holds goes before the lock is taken again
        lock.lock();
    }
}

}  // namespace zimlo
