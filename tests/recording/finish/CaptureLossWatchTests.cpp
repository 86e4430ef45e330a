#include <gtest/gtest.h>

#include "recording/CaptureLossWatch.h"

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

}  // namespace
}  // namespace zimlo::recording
