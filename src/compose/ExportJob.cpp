#include "compose/ExportJob.h"

#include <algorithm>

namespace zimlo::compose {

void ExportJob::cancel() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        handler = std::move(handler_);
    }
    if (handler) handler();
}

bool ExportJob::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void ExportJob::setCancelHandler(std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_) {
            handler_ = std::move(handler);
            return;
        }
    }
    if (handler) handler();
}

namespace {
constexpr double kLeastFraction = 0.03;
constexpr double kLeastSeconds = 1.0;
}  // namespace

void RemainingTimeEstimate::start(double now) {
    started_ = now;
    fraction_ = 0;
    reachedAt_ = now;
}

void RemainingTimeEstimate::update(double fraction, double now) {
    if (!started_) start(now);
    fraction = std::clamp(fraction, 0.0, 1.0);
    if (fraction < fraction_) return;
    fraction_ = fraction;
    reachedAt_ = now;
}

std::optional<double> RemainingTimeEstimate::secondsLeft(double now) const {
    if (!started_) return std::nullopt;
    const double worked = reachedAt_ - *started_;
    if (fraction_ < kLeastFraction || worked < kLeastSeconds) return std::nullopt;
    const double total = worked / fraction_;
    // Between two reports the estimate counts down with the clock.
    return std::max(0.0, total - worked - (now - reachedAt_));
}

}  // namespace zimlo::compose
