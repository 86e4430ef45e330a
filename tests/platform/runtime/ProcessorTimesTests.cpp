#include <gtest/gtest.h>

#include <chrono>

#include "platform/runtime/ProcessorTimes.h"

namespace zimlo {
namespace {

// Two cores; the aggregate line is what counts, the per-core lines only say how many there are.
constexpr const char* kEarlier =
    "cpu  1000 200 300 4000 100 0 50 0 0 0\n"
    "cpu0 500 100 150 2000 50 0 25 0 0 0\n"
    "cpu1 500 100 150 2000 50 0 25 0 0 0\n"
    "intr 12345 0 0\n"
    "ctxt 99\n";
// 1,000 ticks later: 700 of them busy, 300 idle or waiting.
constexpr const char* kLater =
    "cpu  1500 250 400 4250 150 0 100 0 0 0\n"
    "cpu0 750 125 200 2125 75 0 50 0 0 0\n"
    "cpu1 750 125 200 2125 75 0 50 0 0 0\n";

// Idle time is idle plus waiting for input or output, as a share of every state, times the
// cores; readings that do not follow each other (a core brought online, a counter that went back,
// no time between them) give none rather than a wrong figure.
TEST(ProcessorTimes, IdleCoresBetweenTwoReadings) {
    const auto earlier = parseProcessorTimes(kEarlier);
    const auto later = parseProcessorTimes(kLater);
    ASSERT_TRUE(earlier && later);
    EXPECT_EQ(earlier->cores, 2);
    EXPECT_EQ(earlier->idle, 4100u);
    EXPECT_EQ(earlier->total, 5650u);
    const auto idle = idleCoresBetween(*earlier, *later);
    ASSERT_TRUE(idle);
    EXPECT_NEAR(*idle, 2 * 300.0 / 1000.0, 1e-9);

    EXPECT_FALSE(idleCoresBetween(*later, *earlier)) << "time went back";
    EXPECT_FALSE(idleCoresBetween(*earlier, *earlier)) << "no time between them";
    ProcessorTimes moreCores = *later;
    moreCores.cores = 4;
    EXPECT_FALSE(idleCoresBetween(*earlier, moreCores));

    EXPECT_FALSE(parseProcessorTimes("")) << "empty";
    EXPECT_FALSE(parseProcessorTimes("cpu  1 2 3\ncpu0 1 2 3\n")) << "too few fields";
    EXPECT_FALSE(parseProcessorTimes("cpu  1 2 x 4 5\ncpu0 1 2 3 4 5\n")) << "not a number";
    EXPECT_FALSE(parseProcessorTimes("cpu  1 2 3 4 5 6 7 8\n")) << "no core counted";
}

// This machine's own figures: a core kept busy by this thread is not counted idle.
TEST(ProcessorTimes, ReadsThisMachine) {
    const auto first = readProcessorTimes();
    ASSERT_TRUE(first) << "/proc/stat unreadable";
    EXPECT_GE(first->cores, 1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    volatile uint64_t spin = 0;
    while (std::chrono::steady_clock::now() < until) spin = spin + 1;
    const auto second = readProcessorTimes();
    ASSERT_TRUE(second);
    const auto idle = idleCoresBetween(*first, *second);
    ASSERT_TRUE(idle);
    EXPECT_LE(*idle, first->cores - 0.5) << "the spinning core counted as idle";
}

}  // namespace
}  // namespace zimlo
