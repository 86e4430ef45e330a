#pragma once

#include <algorithm>
#include <optional>

namespace zimlo::portal {

// Keeps frames that come faster than the frame rate out (a compositor may send its own refresh
// rate). Each admitted frame makes the next one due an interval later, but never earlier than
// an interval after it minus one interval of credit, so a frame that comes late after a stall
// does not cost the one right behind it; a quarter interval absorbs jitter.
class FramePacer {
  public:
    // `time`: the frame's time in seconds, increasing.
    bool admit(double time, double interval) {
        if (nextDue_ && time < *nextDue_ - interval / 4) return false;
        nextDue_ = std::max(nextDue_.value_or(time), time - interval) + interval;
        return true;
    }
    void reset() { nextDue_.reset(); }

  private:
    std::optional<double> nextDue_;
};

}  // namespace zimlo::portal
