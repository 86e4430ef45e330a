#pragma once

#include <optional>

#include "platform/media/MediaTime.h"

namespace zimlo::capture {

// What the screen stream delivers, as the recording window's status line shows it: the size of
// its pictures and the rate of new ones, measured over windows of at least a second. Used on
// one queue (the screen queue).
class FrameRateMeter {
  public:
    struct Reading {
        int width = 0;
        int height = 0;
        std::optional<double> framesPerSecond;  // none before the first whole window

        friend bool operator==(const Reading&, const Reading&) = default;
    };

    // Counts a new picture taken at `time`. Returns a reading worth reporting: at once when the
    // size changes, and at the end of a window when the rate moved by a frame per second or
    // more since the last one reported.
    std::optional<Reading> count(media::MediaTime time, int width, int height);
    // Forgets everything (a new stream).
    void reset() { *this = FrameRateMeter(); }
    // Opens a new window and keeps what was reported (the same stream stopped and started
    // again: the stop is no slow delivery, the size no news).
    void restartWindow() {
        windowStart_.reset();
        framesInWindow_ = 0;
    }

  private:
    std::optional<media::MediaTime> windowStart_;
    int framesInWindow_ = 0;
    int reportedWidth_ = 0;
    int reportedHeight_ = 0;
    std::optional<double> reportedRate_;
};

}  // namespace zimlo::capture
