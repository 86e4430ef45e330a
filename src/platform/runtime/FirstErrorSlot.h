#pragma once

#include <mutex>
#include <optional>
#include <utility>

namespace zimlo {

// Where concurrent tasks report failure: the first error offered is kept and later ones are
// ignored, so the user sees the cause rather than its knock-on effects.
template <typename Error>
class FirstErrorSlot {
  public:
    // Returns true when this error was the first and is now the one kept.
    bool offer(Error error) {
        std::lock_guard lock(mutex_);
        if (error_) return false;
        error_.emplace(std::move(error));
        return true;
    }

    std::optional<Error> value() const {
        std::lock_guard lock(mutex_);
        return error_;
    }

    bool hasError() const {
        std::lock_guard lock(mutex_);
        return error_.has_value();
    }

  private:
    mutable std::mutex mutex_;  // guards: error_
    std::optional<Error> error_;
};

}  // namespace zimlo
