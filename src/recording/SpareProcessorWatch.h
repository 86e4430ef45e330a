#pragma once

#include <deque>
#include <optional>

#include "platform/runtime/ProcessorTimes.h"

namespace zimlo::recording {

// How much processor time the machine leaves idle, over the last few seconds: work that may only
// use time nobody else wants (the movie composed while recording) starts only where there is
// enough of it. Below that it would compose too slowly to save anything at the stop, and its
// memory traffic alone costs the capture pictures.
class SpareProcessorWatch {
  public:
    struct Limits {
        double windowSeconds = 3;
        // Idle cores the machine must have had over the window. On two cores here, recording
        // 1080p30 with the camera window and subtitles left 0.3-0.55 idle, and the composition
        // started on it kept 0.65-0.75 of the recording's pace; 1080p60 left 0.12-0.15.
        double minimumIdleCores = 0.3;
    };
    enum class Verdict {
        unknown,  // less than a window seen, or the machine cannot say
        enough,
        tooLittle,
    };

    SpareProcessorWatch() = default;
    explicit SpareProcessorWatch(Limits limits) : limits_(limits) {}

    // The machine's processor times read at `seconds` (a steady clock); none: unreadable.
    void count(double seconds, std::optional<ProcessorTimes> times);
    Verdict verdict() const;
    // Idle cores over the span the verdict is drawn from.
    std::optional<double> idleCores() const;
    double minimumIdleCores() const { return limits_.minimumIdleCores; }
    void reset() { readings_.clear(); }

  private:
    struct Reading {
        double seconds = 0;
        ProcessorTimes times;
    };
    Limits limits_;
    std::deque<Reading> readings_;  // oldest first; the oldest is at least a window old
};

}  // namespace zimlo::recording
