#include "platform/portal/StreamTally.h"

#include <algorithm>
#include <cmath>

namespace zimlo::portal {

void StreamTally::pooled(bool added) {
    pooled_ = added ? pooled_ + 1 : std::max<uint64_t>(pooled_, 1) - 1;
    counts_.pool = std::max(counts_.pool, pooled_);
}

void StreamTally::buffer(std::optional<uint64_t> sequence) {
    ++counts_.buffers;
    if (!sequence) return;
    ++counts_.numbered;
    // A number that does not grow is a producer that started counting again: no gap.
    if (lastSequence_ && *sequence > *lastSequence_ + 1)
        counts_.unsent += *sequence - *lastSequence_ - 1;
    lastSequence_ = sequence;
}

void StreamTally::stamp(double seconds, double interval) {
    const std::optional<double> last = lastStamp_;
    if (!last || seconds > *last) lastStamp_ = seconds;
    if (!last || seconds <= *last || !(interval > 0)) return;
    const double step = seconds - *last;
    if (step < 0.75 * interval) {
        ++counts_.shortSteps;
    } else if (step > 1.5 * interval) {
        ++counts_.longSteps;
        counts_.emptyIntervals += static_cast<uint64_t>(std::lround(step / interval)) - 1;
    } else {
        usualStepSeconds_ += step;
        ++usualSteps_;
        counts_.meanStepMicroseconds =
            static_cast<uint64_t>(std::lround(usualStepSeconds_ / usualSteps_ * 1e6));
    }
}

std::vector<screen::SourceCount> StreamTally::named() const {
    return {{"pool", counts_.pool},
            {"buffers", counts_.buffers},
            {"numbered", counts_.numbered},
            {"unsent", counts_.unsent},
            {"superseded", counts_.superseded},
            {"blank", counts_.blank},
            {"stale", counts_.stale},
            {"paced out", counts_.pacedOut},
            {"admitted", counts_.admitted},
            {"short steps", counts_.shortSteps},
            {"long steps", counts_.longSteps},
            {"empty intervals", counts_.emptyIntervals},
            {"mean step us", counts_.meanStepMicroseconds}};
}

}  // namespace zimlo::portal
