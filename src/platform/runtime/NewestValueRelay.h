#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/runtime/Task.h"
#include "platform/runtime/WeakOwner.h"

namespace zimlo {

// Hands the newest of a stream of values (frames, pictures) to a consumer that runs elsewhere,
// a serial queue or the main queue, with one delivery waiting at a time: a value offered while
// another still waits replaces it. However far the consumer falls behind, one value is kept and
// the consumer always gets the newest.
//
// Offering is safe from any thread. Deliveries hold the relay weakly: once it is closed or gone
// no delivery starts (one already running finishes).
template <typename Value>
class NewestValueRelay : public std::enable_shared_from_this<NewestValueRelay<Value>> {
  public:
    // Runs a task where the consumer lives, e.g. [queue](Task t) { queue->async(std::move(t)); }.
    using Schedule = std::function<void(Task)>;
    using Consumer = std::function<void(Value)>;

    static std::shared_ptr<NewestValueRelay> create(Schedule schedule, Consumer consumer) {
        return std::shared_ptr<NewestValueRelay>(
            new NewestValueRelay(std::move(schedule), std::move(consumer)));
    }

    // False when `value` replaced an older one that had not been delivered yet (that one is
    // dropped) or the relay is closed.
    bool offer(Value value) {
        bool replaced = false;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return false;
            replaced = waiting_.has_value();
            waiting_ = std::move(value);
            if (scheduled_) return !replaced;
            scheduled_ = true;
        }
        // Outside the lock: a schedule may run the task at once.
        schedule_(weakly(this->shared_from_this(), [](NewestValueRelay& self) { self.deliver(); }));
        return !replaced;
    }

    // Drops the waiting value; nothing is delivered from now on.
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        waiting_.reset();
    }

  private:
    NewestValueRelay(Schedule schedule, Consumer consumer)
        : schedule_(std::move(schedule)), consumer_(std::move(consumer)) {}

    void deliver() {
        std::optional<Value> value;
        {
            std::lock_guard lock(mutex_);
            // A value offered while the consumer runs schedules the next delivery.
            scheduled_ = false;
            if (closed_) return;
            value.swap(waiting_);
        }
        if (value) consumer_(std::move(*value));
    }

    const Schedule schedule_;
    const Consumer consumer_;
    std::mutex mutex_;  // guards: waiting_, scheduled_, closed_
    std::optional<Value> waiting_;
    bool scheduled_ = false;
    bool closed_ = false;
};

}  // namespace zimlo
