// Counting what a screen cast's stream handed over, to place pictures missing from a movie.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/portal/StreamTally.h"

namespace zimlo::portal {
namespace {

TEST(StreamTally, CountsNumbersTheProducerSkippedButNotItsFreshStart) {
    StreamTally tally;
    for (uint64_t sequence : {10, 11, 14, 15}) tally.buffer(sequence);
    tally.buffer(std::nullopt);  // no header
    tally.buffer(0);             // the producer started again
    tally.buffer(1);
    tally.buffer(3);
    const auto& counts = tally.counts();
    EXPECT_EQ(counts.buffers, 8u);
    EXPECT_EQ(counts.numbered, 7u);
    EXPECT_EQ(counts.unsent, 3u);  // 12, 13 and 2
}

TEST(StreamTally, MeasuresTheStepsBetweenStampsInFrameIntervals) {
    const double interval = 1.0 / 30;
    StreamTally tally;
    tally.stamp(1.0, interval);
    tally.stamp(1.0 + interval, interval);
    tally.stamp(1.0 + 3 * interval + 0.004, interval);  // one interval left empty
    tally.stamp(1.0 + 3 * interval, interval);          // older: not a step
    tally.stamp(1.0 + 3 * interval + 0.010, interval);  // a short step
    tally.stamp(1.0 + 7 * interval, interval);          // three left empty
    tally.stamp(1.0 + 8 * interval + 0.010, interval);  // late, by less than half of one
    const auto& counts = tally.counts();
    EXPECT_EQ(counts.shortSteps, 1u);
    EXPECT_EQ(counts.longSteps, 2u);
    EXPECT_EQ(counts.emptyIntervals, 4u);
    // The usual steps: one interval, then one and 10 ms.
    EXPECT_EQ(counts.meanStepMicroseconds,
              static_cast<uint64_t>(std::lround((2 * interval + 0.010) / 2 * 1e6)));
}

TEST(StreamTally, NamesEveryCountAndStartsAgainForANewStream) {
    StreamTally tally;
    for (bool added : {true, true, true, false, true, false, false}) tally.pooled(added);
    tally.buffer(4);
    tally.superseded();
    tally.blank();
    tally.stale();
    tally.paced(true);
    tally.paced(true);
    tally.paced(false);
    auto value = [&](const std::string& name) -> std::optional<uint64_t> {
        for (const auto& count : tally.named())
            if (count.name == name) return count.value;
        return std::nullopt;
    };
    EXPECT_EQ(value("pool"), 3u);  // the most at once
    EXPECT_EQ(value("buffers"), 1u);
    EXPECT_EQ(value("superseded"), 1u);
    EXPECT_EQ(value("blank"), 1u);
    EXPECT_EQ(value("stale"), 1u);
    EXPECT_EQ(value("admitted"), 2u);
    EXPECT_EQ(value("paced out"), 1u);
    EXPECT_EQ(value("empty intervals"), 0u);

    tally.reset();
    tally.buffer(9);  // no gap from before the reset
    EXPECT_EQ(tally.counts().buffers, 1u);
    EXPECT_EQ(tally.counts().unsent, 0u);
    EXPECT_EQ(tally.counts().admitted, 0u);
}

}  // namespace
}  // namespace zimlo::portal
