#include "platform/runtime/SerialQueue.h"

#include "platform/runtime/AppIdentity.h"
#include "platform/runtime/Threads.h"

namespace zimlo {

SerialQueue::SerialQueue(std::string_view suffix) : label_(queueLabel(suffix)) {
    thread_ = startThread(threadNameForSuffix(suffix), [this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (isCurrent()) {
        // The last owner let go from one of our own tasks: the thread cannot join itself, and
        // once that task returns it must not touch this object again. It takes the waiting
        // tasks along and runs them before it ends.
        {
            std::lock_guard lock(mutex_);
            remains_->ready.swap(ready_);
        }
        remains_->destroyed = true;
        letGo(std::move(thread_));
    } else {
        thread_.join();
    }
}

std::string SerialQueue::threadNameForSuffix(std::string_view suffix) {
    while (!suffix.empty() && suffix.front() == '.') suffix.remove_prefix(1);
    if (suffix.starts_with("mac.")) suffix.remove_prefix(4);
    std::string name(suffix.substr(0, 15));
    return name.empty() ? std::string("zimlo-queue") : name;
}

void SerialQueue::async(Task task) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(task));
    }
    wake_.notify_one();
}

DelayedWorkHandle SerialQueue::asyncAfter(double seconds, Task task) {
    auto handle = std::make_shared<DelayedWork>();
    auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(std::max(0.0, seconds)));
    {
        std::lock_guard lock(mutex_);
        delayed_.emplace(due, [handle, task = std::move(task)] {
            if (!handle->isCancelled()) task();
        });
    }
    wake_.notify_one();
    return handle;
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::mutex doneMutex;  // guards: done
    std::condition_variable doneSignal;
    bool done = false;
    async([&] {
        task();
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
}

void SerialQueue::run() {
    Remains remains;
    remains_ = &remains;
    std::unique_lock lock(mutex_);
    for (;;) {
        // Delayed tasks that fell due join the ready ones in due order.
        auto now = Clock::now();
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            ready_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        if (!ready_.empty()) {
            Task task = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // captured state is released off the lock
            if (remains.destroyed) {
                // The queue is gone (the task, or what it held, was its last owner); the lock,
                // not held now, is left alone.
                for (Task& waiting : remains.ready) {
                    waiting();
                    waiting = nullptr;
                }
                return;
            }
            lock.lock();
            continue;
        }
        if (stopping_) return;
        if (delayed_.empty()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, delayed_.begin()->first);
        }
    }
}

}  // namespace zimlo
