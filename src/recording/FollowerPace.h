#pragma once

#include <optional>

namespace zimlo::recording {

// Whether the composition following a recording keeps pace with it: over a window of wall time
// in which it had work waiting all along, it must compose at least a given share of that time.
// One that cannot (the machine has no time to spare for it) only falls further behind; what it
// saves at the stop shrinks while it costs the capture the caches and memory it shares.
class FollowerPace {
  public:
    struct Limits {
        // Long enough that short bursts of other work are averaged out: over 5 s windows,
        // compositions whose lag stayed within about 10 s all along dipped to 0.40-0.47 here,
        // were stopped, and left the whole movie to the stop.
        double windowSeconds = 20;
        // Movie seconds composed per second of the window. One at 0.65-0.75 (1080p30 with camera
        // window and subtitles here) still leaves the stop only a third of the movie to compose;
        // those that cost the capture pictures ran at 0.05-0.22.
        double minimumPace = 0.5;
        double backlogSeconds = 2;  // work waiting: what it may compose and has not
    };

    FollowerPace() = default;
    explicit FollowerPace(Limits limits) : limits_(limits) {}

    // At `seconds` (a steady clock) it had composed `composed` movie seconds of `allowed`.
    void count(double seconds, double composed, double allowed);
    // Whether the last whole window found it composing too slowly.
    bool fallingBehind() const { return fallingBehind_; }
    // Movie seconds composed per second over that window.
    double lastPace() const { return lastPace_; }
    void reset() { *this = FollowerPace(limits_); }

  private:
    struct Reading {
        double seconds = 0;
        double composed = 0;
    };
    Limits limits_;
    std::optional<Reading> windowStart_;
    bool fallingBehind_ = false;
    double lastPace_ = 0;
};

}  // namespace zimlo::recording
