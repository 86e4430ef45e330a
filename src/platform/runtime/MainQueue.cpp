#include "platform/runtime/MainQueue.h"

#include <mutex>
#include <stdexcept>

namespace zimlo::MainQueue {
namespace {

std::mutex installMutex;  // guards: installed
std::shared_ptr<MainQueueBackend> installed;

std::shared_ptr<MainQueueBackend> requireBackend() {
    auto current = backend();
    if (!current) throw std::logic_error("the main queue is used before a main loop was installed");
    return current;
}

}  // namespace

void install(std::shared_ptr<MainQueueBackend> loop) {
    std::lock_guard lock(installMutex);
    installed = std::move(loop);
}

std::shared_ptr<MainQueueBackend> backend() {
    std::lock_guard lock(installMutex);
    return installed;
}

void post(Task task) { requireBackend()->post(std::move(task)); }

DelayedWorkHandle postAfter(double seconds, Task task) {
    auto handle = std::make_shared<DelayedWork>();
    auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
    requireBackend()->postAfter(delay, [handle, task = std::move(task)] {
        if (!handle->isCancelled()) task();
    });
    return handle;
}

bool isMainThread() {
    auto current = backend();
    return current && current->isMainThread();
}

}  // namespace zimlo::MainQueue
