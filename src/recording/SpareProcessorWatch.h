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
        // Idle cores the machine must have had over the window. Composing a 1080p30 recording
        // while it runs takes about 0.4 of a core here, so with less than 0.3 idle it could not
        // keep the pace it is held to; recording 1080p30 with the camera and subtitles leaves
        // about 0.5 idle on two cores, 1080p60 about 0.15.
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
