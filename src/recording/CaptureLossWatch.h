#pragma once

#include <cstdint>
#include <deque>

namespace zimlo::recording {

// Running totals of the screen capture's pictures since its stream began.
struct CaptureFrameCounts {
    uint64_t taken = 0;  // delivered to the recording (still pictures included)
    uint64_t lost = 0;   // never recorded: a late grab, a full queue, an encoder behind

    friend bool operator==(const CaptureFrameCounts&, const CaptureFrameCounts&) = default;
};

// Whether the screen capture keeps up, judged from its running totals over the last few
// seconds: work that is only worth doing while the recording loses nothing (the movie composed
// while recording) starts and stays on that verdict.
class CaptureLossWatch {
  public:
    struct Limits {
        double windowSeconds = 3;
        // Losing: more than this share of the window's pictures lost, and at least minLost of
        // them (a lone late grab is no trend).
        double lossShare = 0.02;
        uint64_t minLost = 4;
    };
    enum class Verdict {
        unknown,    // less than a window seen
        keepingUp,  // the last window lost no more than the limits allow
        losing,
    };

    CaptureLossWatch() = default;
    explicit CaptureLossWatch(Limits limits) : limits_(limits) {}

    // The totals read at `seconds` (a steady clock). Totals that go back (a new stream or
    // writer) start the watch afresh from them.
    void count(double seconds, CaptureFrameCounts totals);
    Verdict verdict() const;
    // Pictures taken and lost over the span the verdict is drawn from.
    CaptureFrameCounts lastWindow() const;
    void reset() { readings_.clear(); }

  private:
    struct Reading {
        double seconds = 0;
        CaptureFrameCounts totals;
    };
    Limits limits_;
    std::deque<Reading> readings_;  // oldest first; the oldest is at least a window old
};

}  // namespace zimlo::recording
