#pragma once

#include <chrono>
#include <memory>

#include "platform/runtime/Task.h"

namespace zimlo {

// Whatever runs the main thread's loop: Qt's event loop in the application, a loop the
// caller pumps in tests and command-line tools.
class MainQueueBackend {
  public:
    virtual ~MainQueueBackend() = default;
    virtual void post(Task task) = 0;
    virtual void postAfter(std::chrono::milliseconds delay, Task task) = 0;
    virtual bool isMainThread() const = 0;
};

// The main queue: every controller, store call and completion lives here. Posting is safe from
// any thread; tasks run on the main thread in the order they were posted.
namespace MainQueue {

// Binds the main queue to a loop. Done once at start-up, before anything posts.
void install(std::shared_ptr<MainQueueBackend> backend);
std::shared_ptr<MainQueueBackend> backend();

void post(Task task);
// Runs `task` on the main thread after `seconds`, unless the returned handle is cancelled first.
DelayedWorkHandle postAfter(double seconds, Task task);
bool isMainThread();

}  // namespace MainQueue

}  // namespace zimlo
