#include "capture/FrameRateMeter.h"

#include <algorithm>
#include <cmath>

namespace zimlo::capture {

std::optional<FrameRateMeter::Reading> FrameRateMeter::count(media::MediaTime time, int width,
                                                             int height) {
    std::optional<Reading> reading;
    if (width != reportedWidth_ || height != reportedHeight_) {
        reportedWidth_ = width;
        reportedHeight_ = height;
        reading = Reading{width, height, reportedRate_};
    }
    if (!windowStart_) {
        windowStart_ = time;
        framesInWindow_ = 1;
        return reading;
    }
    ++framesInWindow_;
    const double elapsed = (time - *windowStart_).seconds();
    if (elapsed < 1.0) return reading;
    // The window's first picture opened it: the others came within `elapsed`.
    const double rate = std::max(framesInWindow_ - 1, 0) / elapsed;
    windowStart_ = time;
    framesInWindow_ = 1;
    if (!reportedRate_ || std::fabs(*reportedRate_ - rate) >= 1.0) {
        reportedRate_ = rate;
        reading = Reading{width, height, rate};
    }
    return reading;
}

}  // namespace zimlo::capture
