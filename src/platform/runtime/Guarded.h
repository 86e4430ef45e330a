#pragma once

#include <mutex>
#include <utility>

namespace zimlo {

// A value that can be reached only under its own lock, so no code path can forget to take it:
//
//   Guarded<State> state;
//   state.lock()->stopping = true;          // one statement under the lock
//   {
//       auto locked = state.lock();         // several, under one lock
//       if (locked->status == Status::writing) locked->status = Status::completed;
//   }
//   auto locked = state.lock();             // waiting for a change
//   changed.wait(locked.lock(), [&] { return locked->finished; });
template <typename T>
class Guarded {
  public:
    // Holds the lock while it lives; it is the only way to the value.
    template <typename Value>
    class Locked {
      public:
        Value* operator->() const { return value_; }
        Value& operator*() const { return *value_; }
        // The held lock, for a condition variable to release while it waits.
        std::unique_lock<std::mutex>& lock() { return lock_; }

      private:
        friend class Guarded;
        Locked(Value& value, std::mutex& mutex) : lock_(mutex), value_(&value) {}

        std::unique_lock<std::mutex> lock_;
        Value* value_;
    };

    template <typename... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    Locked<T> lock() { return Locked<T>(value_, mutex_); }
    Locked<const T> lock() const { return Locked<const T>(value_, mutex_); }

  private:
    mutable std::mutex mutex_;  // guards: value_, reached only through lock()
    T value_;
};

}  // namespace zimlo
