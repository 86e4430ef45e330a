#pragma once

#include <optional>

#include "platform/media/MediaTime.h"

namespace zimlo {

// Frames per second of a capture and a recording; the raw value is the stored form.
enum class CaptureFrameRate : int {
    fps24 = 24,
    fps30 = 30,
    fps60 = 60,
    fps120 = 120,
};

inline int rawValue(CaptureFrameRate rate) { return static_cast<int>(rate); }

// Only exactly 24, 30, 60 or 120 name a frame rate.
inline std::optional<CaptureFrameRate> captureFrameRateFromRaw(int raw) {
    switch (raw) {
        case 24:
            return CaptureFrameRate::fps24;
        case 30:
            return CaptureFrameRate::fps30;
        case 60:
            return CaptureFrameRate::fps60;
        case 120:
            return CaptureFrameRate::fps120;
        default:
            return std::nullopt;
    }
}

// One frame: value 1 over a timescale of the frame rate.
inline media::MediaTime frameDuration(CaptureFrameRate rate) {
    return media::MediaTime::make(1, rawValue(rate));
}

}  // namespace zimlo
