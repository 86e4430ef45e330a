#include "recording/CaptureLossWatch.h"

#include <algorithm>

namespace zimlo::recording {

void CaptureLossWatch::count(double seconds, CaptureFrameCounts totals) {
    if (!readings_.empty()) {
        const Reading& last = readings_.back();
        if (totals.taken < last.totals.taken || totals.lost < last.totals.lost ||
            seconds < last.seconds)
            readings_.clear();
    }
    readings_.push_back({seconds, totals});
    // Keep one reading at least a window old, and none older than needed for it.
    while (readings_.size() > 2 && seconds - readings_[1].seconds >= limits_.windowSeconds)
        readings_.pop_front();
}

CaptureFrameCounts CaptureLossWatch::lastWindow() const {
    if (readings_.size() < 2) return {};
    const CaptureFrameCounts& first = readings_.front().totals;
    const CaptureFrameCounts& last = readings_.back().totals;
    return {last.taken - first.taken, last.lost - first.lost};
}

CaptureLossWatch::Verdict CaptureLossWatch::verdict() const {
    if (readings_.size() < 2 ||
        readings_.back().seconds - readings_.front().seconds < limits_.windowSeconds)
        return Verdict::unknown;
    const CaptureFrameCounts window = lastWindow();
    const double pictures = static_cast<double>(window.taken + window.lost);
    const bool losing = window.lost >= std::max<uint64_t>(limits_.minLost, 1) &&
                        static_cast<double>(window.lost) > limits_.lossShare * pictures;
    return losing ? Verdict::losing : Verdict::keepingUp;
}

}  // namespace zimlo::recording
