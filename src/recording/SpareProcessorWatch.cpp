#include "recording/SpareProcessorWatch.h"

namespace zimlo::recording {

void SpareProcessorWatch::count(double seconds, std::optional<ProcessorTimes> times) {
    if (!times || (!readings_.empty() && (seconds < readings_.back().seconds ||
                                          !idleCoresBetween(readings_.back().times, *times)))) {
        readings_.clear();
        if (!times) return;
    }
    readings_.push_back({seconds, *times});
    // Keep one reading at least a window old, and none older than needed for it.
    while (readings_.size() > 2 && seconds - readings_[1].seconds >= limits_.windowSeconds)
        readings_.pop_front();
}

std::optional<double> SpareProcessorWatch::idleCores() const {
    if (readings_.size() < 2) return std::nullopt;
    return idleCoresBetween(readings_.front().times, readings_.back().times);
}

SpareProcessorWatch::Verdict SpareProcessorWatch::verdict() const {
    const std::optional<double> idle = idleCores();
    if (!idle || readings_.back().seconds - readings_.front().seconds < limits_.windowSeconds)
        return Verdict::unknown;
    return *idle >= limits_.minimumIdleCores ? Verdict::enough : Verdict::tooLittle;
}

}  // namespace zimlo::recording
