#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace zimlo {

using Task = std::function<void()>;

// Handle to work scheduled for later. Cancelling before it runs means it never runs;
// cancelling afterwards has no effect.
class DelayedWork {
  public:
    void cancel() { cancelled_.store(true); }
    bool isCancelled() const { return cancelled_.load(); }

  private:
    std::atomic<bool> cancelled_{false};
};

using DelayedWorkHandle = std::shared_ptr<DelayedWork>;

}  // namespace zimlo
