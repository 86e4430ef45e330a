#include "recording/FollowerPace.h"

namespace zimlo::recording {

void FollowerPace::count(double seconds, double composed, double allowed) {
    // Caught up (or held back by what is not settled yet): its pace says nothing.
    if (allowed - composed < limits_.backlogSeconds ||
        (windowStart_ && seconds < windowStart_->seconds)) {
        windowStart_.reset();
        return;
    }
    // A composition begun again from the start (to encode otherwise, or to show a change that
    // reaches back) is judged from there: going back is not slowness.
    if (!windowStart_ || composed < windowStart_->composed) {
        windowStart_ = Reading{seconds, composed};
        return;
    }
    const double span = seconds - windowStart_->seconds;
    if (span < limits_.windowSeconds) return;
    lastPace_ = (composed - windowStart_->composed) / span;
    fallingBehind_ = lastPace_ < limits_.minimumPace;
    windowStart_ = Reading{seconds, composed};
}

}  // namespace zimlo::recording
