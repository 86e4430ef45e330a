#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/runtime/Task.h"

namespace zimlo {

// Counts outstanding pieces of work: enter before each, leave when it ends, then wait for
// all of them (with a time limit) or be notified when the count reaches zero.
class WaitGroup {
  public:
    void enter();
    void leave();
    // Waits until every entered piece has left. Returns false when `seconds` ran out first.
    bool wait(double seconds);
    void wait();
    // Runs `task` once the count is zero: at once if it is zero now, otherwise on the thread
    // whose `leave` brings it to zero.
    void notify(Task task);

  private:
    std::mutex mutex_;  // guards: count_, waiting_
    std::condition_variable zero_;
    int count_ = 0;
    std::vector<Task> waiting_;
};

}  // namespace zimlo
