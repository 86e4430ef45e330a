#include <gtest/gtest.h>

#include "recording/CaptureLossWatch.h"
#include "recording/FollowerPace.h"
#include "recording/SpareProcessorWatch.h"

namespace zimlo::recording {
namespace {

using Verdict = CaptureLossWatch::Verdict;
// A five-second window, a 2 % share and at least 4 pictures.
const CaptureLossWatch::Limits kLimits{5, 0.02, 4};

// Feeds a capture of `rate` pictures a second that loses `lostPerSecond` of them, in quarter
// seconds from `from` to `to`, continuing the totals in `totals`.
void feed(CaptureLossWatch& watch, CaptureFrameCounts& totals, double from, double to,
          uint64_t rate, uint64_t lostPerSecond) {
    for (double t = from; t <= to + 1e-9; t += 0.25) {
        watch.count(t, totals);
        totals.taken += (rate - lostPerSecond) / 4;
        totals.lost += lostPerSecond / 4;
    }
}

// The verdict looks at the last window only: a capture that loses pictures is seen within a
// window of starting to, and one that recovers is trusted again a window later, while a lone
// late grab or a loss within the share allowed is no trend.
TEST(CaptureLossWatch, JudgesTheLastWindowOnly) {
    CaptureLossWatch watch(kLimits);
    CaptureFrameCounts totals;
    feed(watch, totals, 0, 4.5, 60, 0);
    EXPECT_EQ(watch.verdict(), Verdict::unknown) << "less than a window seen";
    feed(watch, totals, 4.75, 10, 60, 0);
    EXPECT_EQ(watch.verdict(), Verdict::keepingUp);

    // Three pictures lost at once (a stall): under the minimum count.
    totals.lost += 3;
    feed(watch, totals, 10.25, 12, 60, 0);
    EXPECT_EQ(watch.verdict(), Verdict::keepingUp);

    // 8 of 60 a second lost: seen within a window.
    feed(watch, totals, 12.25, 17.5, 60, 8);
    EXPECT_EQ(watch.verdict(), Verdict::losing);
    EXPECT_GE(watch.lastWindow().lost, 16u);
    EXPECT_GE(watch.lastWindow().taken + watch.lastWindow().lost, 280u);

    // Recovered: keeping up again once the losing seconds have left the window.
    feed(watch, totals, 17.75, 21, 60, 0);
    EXPECT_EQ(watch.verdict(), Verdict::losing) << "the window still holds the losses";
    feed(watch, totals, 21.25, 24, 60, 0);
    EXPECT_EQ(watch.verdict(), Verdict::keepingUp);

    // 1 of 100 a second: within the 2 % allowed however long it lasts.
    CaptureLossWatch steady(kLimits);
    CaptureFrameCounts steadyTotals;
    feed(steady, steadyTotals, 0, 30, 400, 4);
    EXPECT_EQ(steady.verdict(), Verdict::keepingUp);
}

// Totals that go back belong to a new stream or writer: the watch starts again from them
// rather than reading a huge difference, and needs a whole window before it judges.
TEST(CaptureLossWatch, StartsAgainWhenTheTotalsGoBack) {
    CaptureLossWatch watch(kLimits);
    CaptureFrameCounts totals{100000, 5000};
    feed(watch, totals, 0, 6, 30, 0);
    ASSERT_EQ(watch.verdict(), Verdict::keepingUp);
    CaptureFrameCounts fresh;
    feed(watch, fresh, 6.25, 8, 30, 0);
    EXPECT_EQ(watch.verdict(), Verdict::unknown);
    EXPECT_LT(watch.lastWindow().taken, 100u);
    feed(watch, fresh, 8.25, 12, 30, 0);
    EXPECT_EQ(watch.verdict(), Verdict::keepingUp);
}

// The pace counts only while work was waiting all along: a composition held back by what is not
// settled yet, or caught up, is not slow; one that composes half a second a second with a backlog
// is, and one that recovers is trusted again after a window.
TEST(FollowerPace, CountsOnlyWhileWorkWasWaiting) {
    FollowerPace pace({5, 0.8, 2});
    double composed = 0;
    // Caught up with a recording that runs on: never judged, however long.
    for (double t = 0; t <= 20; t += 0.25) pace.count(t, composed = t - 1, t);
    EXPECT_FALSE(pace.fallingBehind());
    // Held back by unsettled speech for 10 s, then released: it has a backlog and takes it at
    // twice the recording's pace.
    for (double t = 20.25; t <= 30; t += 0.25) pace.count(t, composed, 19);
    for (double t = 30.25; t <= 36; t += 0.25) pace.count(t, composed += 0.5, t);
    EXPECT_FALSE(pace.fallingBehind());
    // Half a second a second with work waiting: falling behind within a window.
    for (double t = 36.25; t <= 46; t += 0.25) pace.count(t, composed += 0.125, t);
    EXPECT_TRUE(pace.fallingBehind());
    EXPECT_NEAR(pace.lastPace(), 0.5, 0.01);
    // Faster again.
    for (double t = 46.25; t <= 52; t += 0.25) pace.count(t, composed += 0.5, t);
    EXPECT_FALSE(pace.fallingBehind());
    // Begun again from the start at full pace: the seconds it went back are not held against it.
    composed = 0;
    for (double t = 52.25; t <= 60; t += 0.25) pace.count(t, composed += 0.25, t);
    EXPECT_FALSE(pace.fallingBehind()) << pace.lastPace();
}

// Feeds a two-core machine that leaves `idleCores` idle, in quarter seconds from `from` to `to`.
void feed(SpareProcessorWatch& watch, ProcessorTimes& times, double from, double to,
          double idleCores) {
    for (double t = from; t <= to + 1e-9; t += 0.25) {
        watch.count(t, times);
        times.total += 50;  // two cores at 100 ticks a second
        times.idle += static_cast<uint64_t>(idleCores * 25);
    }
}

// The machine's idle time is judged over the last window only: a busy spell is seen, and so is
// its end; a machine that stops telling (or whose counters go back) is not judged until a whole
// window has been read again.
TEST(SpareProcessorWatch, JudgesTheLastWindowOfIdleTime) {
    using Spare = SpareProcessorWatch::Verdict;
    SpareProcessorWatch watch({3, 0.5});
    ProcessorTimes times{1000, 5000, 2};
    feed(watch, times, 0, 2.5, 1.2);
    EXPECT_EQ(watch.verdict(), Spare::unknown) << "less than a window seen";
    feed(watch, times, 2.75, 4, 1.2);
    EXPECT_EQ(watch.verdict(), Spare::enough);
    EXPECT_NEAR(*watch.idleCores(), 1.2, 0.01);

    // A recording at a rate the machine can only just capture: 0.2 of a core left.
    feed(watch, times, 4.25, 8, 0.2);
    EXPECT_EQ(watch.verdict(), Spare::tooLittle);
    EXPECT_NEAR(*watch.idleCores(), 0.2, 0.05);
    feed(watch, times, 8.25, 12, 1.0);
    EXPECT_EQ(watch.verdict(), Spare::enough);

    watch.count(12.25, std::nullopt);
    EXPECT_EQ(watch.verdict(), Spare::unknown);
    EXPECT_FALSE(watch.idleCores());
    ProcessorTimes rebooted{10, 20, 2};
    feed(watch, rebooted, 12.5, 14, 1.0);
    EXPECT_EQ(watch.verdict(), Spare::unknown);
    feed(watch, rebooted, 14.25, 16, 0.1);
    EXPECT_EQ(watch.verdict(), Spare::tooLittle);
}

}  // namespace
}  // namespace zimlo::recording
