#include <gtest/gtest.h>

#include <vector>

#include "platform/x11/Resampler.h"

namespace zimlo::x11 {
namespace {

struct Image {
    int w, h;
    std::vector<uint8_t> px;
    Image(int width, int height)
        : w(width), h(height), px(static_cast<size_t>(width) * height * 4) {}
    uint8_t* at(int x, int y) { return px.data() + (static_cast<size_t>(y) * w + x) * 4; }
};

Image resize(Image& src, int w, int h) {
    Image out(w, h);
    Resampler().resize(src.px.data(), src.w, src.h, src.w * 4, out.px.data(), w, h, w * 4);
    return out;
}

TEST(Resampler, AveragesCoveredAreaWhenShrinkingAndKeepsFlatColoursExact) {
    // 2 × 2 blocks of 0 and 200 shrink to their mean.
    Image checker(8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            checker.at(x, y)[0] = checker.at(x, y)[1] = checker.at(x, y)[2] = ((x + y) % 2) * 200;
    Image half = resize(checker, 4, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(half.at(x, y)[1], 100);
            EXPECT_EQ(half.at(x, y)[3], 255);
        }

    // Odd ratios (1920 → 1280, 1080 → 720) keep a flat colour exactly, alpha opaque.
    Image flat(1920, 1080);
    for (int i = 0; i < 1920 * 1080; ++i) {
        flat.px[i * 4] = 12;
        flat.px[i * 4 + 1] = 200;
        flat.px[i * 4 + 2] = 255;
    }
    Image small = resize(flat, 1280, 720);
    for (int i : {0, 1279, 640 * 720 + 3, 1280 * 720 - 1}) {
        EXPECT_EQ(small.px[i * 4], 12);
        EXPECT_EQ(small.px[i * 4 + 1], 200);
        EXPECT_EQ(small.px[i * 4 + 2], 255);
        EXPECT_EQ(small.px[i * 4 + 3], 255);
    }
}

TEST(Resampler, InterpolatesWhenGrowingAndCopiesAtTheSameSize) {
    Image two(2, 1);
    two.at(0, 0)[2] = 0;
    two.at(1, 0)[2] = 240;
    Image wide = resize(two, 8, 1);
    EXPECT_EQ(wide.at(0, 0)[2], 0);
    EXPECT_EQ(wide.at(7, 0)[2], 240);
    for (int x = 1; x < 8; ++x) EXPECT_GE(wide.at(x, 0)[2], wide.at(x - 1, 0)[2]);
    EXPECT_GT(wide.at(4, 0)[2], 60);
    EXPECT_LT(wide.at(4, 0)[2], 200);

    Image same = resize(two, 2, 1);
    EXPECT_EQ(same.at(1, 0)[2], 240);
    EXPECT_EQ(same.at(1, 0)[3], 255);
}

}  // namespace
}  // namespace zimlo::x11
