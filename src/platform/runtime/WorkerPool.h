#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/runtime/Task.h"

namespace zimlo {

// A few threads of its own (all named `name`, at most 15 bytes kept) running tasks in the order
// they were submitted, several at a time. For background work that must not take threads
// other code relies on (Qt's global pool also serves its painter).
//
// Destroying the pool drops the tasks that have not started and waits for the running ones.
class WorkerPool {
  public:
    WorkerPool(std::string_view name, std::size_t threads);
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void async(Task task);
    // Tasks submitted and not started yet.
    std::size_t pending() const;

  private:
    void run();

    mutable std::mutex mutex_;  // guards: ready_, stopping_
    std::condition_variable wake_;
    std::deque<Task> ready_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace zimlo
