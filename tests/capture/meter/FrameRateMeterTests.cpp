#include <gtest/gtest.h>

#include "capture/FrameRateMeter.h"

namespace zimlo::capture {
namespace {

using Reading = FrameRateMeter::Reading;

// Times in 600ths of a second, so that frame intervals add up exactly.
media::MediaTime at(int64_t ticks) { return media::MediaTime::make(ticks, 600); }

// Pictures every `interval` ticks from `from` up to (not including) `to`; the readings it gave.
std::vector<Reading> feed(FrameRateMeter& meter, int64_t from, int64_t to, int64_t interval,
                          int width = 1280, int height = 720) {
    std::vector<Reading> readings;
    for (int64_t t = from; t < to; t += interval)
        if (auto reading = meter.count(at(t), width, height)) readings.push_back(*reading);
    return readings;
}

TEST(FrameRateMeter, ReportsTheSizeAtOnceAndTheRateOncePerChangedWindow) {
    FrameRateMeter meter;
    // 30 pictures a second (every 20 ticks). The first gives the size; the rate follows once a
    // whole second has passed.
    auto readings = feed(meter, 0, 620, 20);
    ASSERT_EQ(readings.size(), 2u);
    EXPECT_EQ(readings[0], (Reading{1280, 720, std::nullopt}));
    EXPECT_EQ(readings[1], (Reading{1280, 720, 30.0}));

    // The same rate again says nothing; 20 a second (every 30 ticks) is reported.
    EXPECT_TRUE(feed(meter, 620, 1800, 20).empty());
    readings = feed(meter, 1800, 3030, 30);
    ASSERT_EQ(readings.size(), 1u);
    ASSERT_TRUE(readings[0].framesPerSecond);
    EXPECT_NEAR(*readings[0].framesPerSecond, 20.0, 0.7);

    // A new size is reported with the last known rate, without waiting for the window.
    auto resized = meter.count(at(3040), 800, 600);
    ASSERT_TRUE(resized);
    EXPECT_EQ(resized->width, 800);
    EXPECT_EQ(resized->height, 600);
    EXPECT_EQ(resized->framesPerSecond, readings[0].framesPerSecond);

    // The stream stopped for ten seconds and started again: the gap is no rate and the size no
    // news, so nothing is said before a whole new window.
    meter.restartWindow();
    EXPECT_TRUE(feed(meter, 9040, 9620, 30, 800, 600).empty());
}

TEST(FrameRateMeter, AStillScreenMeasuresTheGapAndResetStartsAfresh) {
    FrameRateMeter meter;
    feed(meter, 0, 620, 20);  // 30 a second; the last window opened at 600
    // Then one picture a second (a still screen repeating itself).
    EXPECT_FALSE(meter.count(at(900), 1280, 720)) << "half a second is no window";
    auto reading = meter.count(at(1800), 1280, 720);
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->framesPerSecond, 1.0);  // two new pictures in two seconds

    meter.reset();
    auto fresh = meter.count(at(6000), 1280, 720);
    ASSERT_TRUE(fresh) << "after a reset the size is news again";
    EXPECT_FALSE(fresh->framesPerSecond);
}

}  // namespace
}  // namespace zimlo::capture
