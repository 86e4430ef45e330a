#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/screen/CaptureStream.h"

namespace zimlo::portal {

// What a screen cast's PipeWire stream handed over and what became of it, so a picture missing
// from a recording can be placed: never sent by the compositor, lost between it and us, or
// left out here. Not thread-safe; the stream keeps it under a lock.
class StreamTally {
  public:
    struct Counts {
        uint64_t pool = 0;        // the most buffers the stream held at once (as negotiated)
        uint64_t buffers = 0;     // dequeued from the stream
        uint64_t numbered = 0;    // of those, with the producer's sequence number
        uint64_t unsent = 0;      // numbers skipped between two buffers: sent, never seen here
        uint64_t superseded = 0;  // a newer buffer was already waiting behind it
        uint64_t blank = 0;       // without a picture (a cursor move, marked corrupted)
        uint64_t stale = 0;       // stamped no later than the picture before
        uint64_t pacedOut = 0;    // came faster than the frame rate
        uint64_t admitted = 0;    // taken by the pacer
        // Between two pictures' stamps: steps under three quarters of a frame interval, steps
        // over one and a half, and the whole intervals those long steps left without a picture;
        // the mean of the other steps (the compositor's own pace), in microseconds.
        uint64_t shortSteps = 0;
        uint64_t longSteps = 0;
        uint64_t emptyIntervals = 0;
        uint64_t meanStepMicroseconds = 0;
    };

    // The stream's pool gained or lost a buffer.
    void pooled(bool added);
    // A buffer dequeued; `sequence` is its header's, when it has one.
    void buffer(std::optional<uint64_t> sequence);
    // A picture with its presentation time, before pacing.
    void stamp(double seconds, double interval);
    void superseded() { ++counts_.superseded; }
    void blank() { ++counts_.blank; }
    void stale() { ++counts_.stale; }
    void paced(bool admitted) { ++(admitted ? counts_.admitted : counts_.pacedOut); }

    const Counts& counts() const { return counts_; }
    std::vector<screen::SourceCount> named() const;
    // A new stream: counts and the last number and stamp start again.
    void reset() { *this = StreamTally(); }

  private:
    Counts counts_;
    uint64_t pooled_ = 0;
    uint64_t usualSteps_ = 0;
    double usualStepSeconds_ = 0;
    std::optional<uint64_t> lastSequence_;
    std::optional<double> lastStamp_;
};

}  // namespace zimlo::portal
