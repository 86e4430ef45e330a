#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/runtime/Task.h"

namespace zimlo {

// A serial queue: one thread of its own running tasks one at a time in the order they were
// submitted. The label is the application identifier plus a suffix such as ".mac.screen-stream";
// the thread is named after the suffix (Linux keeps 15 bytes of a thread name).
//
// Destroying the queue runs the tasks already submitted (not the delayed ones that are not
// due yet), then joins the thread. When the last owner lets go from one of the queue's own
// tasks, the thread runs the waiting tasks after that one and ends by itself.
class SerialQueue {
  public:
    explicit SerialQueue(std::string_view suffix);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    void async(Task task);
    // Runs `task` on the queue after `seconds`; the returned handle cancels it.
    DelayedWorkHandle asyncAfter(double seconds, Task task);
    // Runs `task` on the queue and waits for it. Called from the queue itself it runs inline.
    void sync(const Task& task);

    // True when called from a task running on this queue.
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Thread name used for a suffix: leading dots and a "mac." prefix dropped, cut to 15 bytes.
    static std::string threadNameForSuffix(std::string_view suffix);

  private:
    // What the thread keeps of the queue once a task of its own destroyed it: the tasks that
    // were still waiting. Lives on the thread's stack.
    struct Remains {
        bool destroyed = false;
        std::deque<Task> ready;
    };

    void run();

    using Clock = std::chrono::steady_clock;
    std::string label_;
    std::mutex mutex_;  // guards: ready_, delayed_, stopping_
    std::condition_variable wake_;
    std::deque<Task> ready_;
    std::multimap<Clock::time_point, Task> delayed_;
    bool stopping_ = false;
    Remains* remains_ = nullptr;  // set by run(), read by the destructor on the queue's thread
    std::thread thread_;
};

}  // namespace zimlo
