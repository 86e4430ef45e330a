#pragma once

#include <ctime>

#include "platform/media/MediaTime.h"

namespace zimlo::media {

// The one clock every capture source stamps its samples with (CLOCK_MONOTONIC, in
// nanoseconds), so screen, audio and camera samples share a timeline.
struct MonotonicClock {
    static constexpr int32_t kTimescale = 1'000'000'000;

    static MediaTime now() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return MediaTime::make(static_cast<int64_t>(ts.tv_sec) * kTimescale + ts.tv_nsec,
                               kTimescale);
    }
    static double nowSeconds() { return now().seconds(); }
};

}  // namespace zimlo::media
