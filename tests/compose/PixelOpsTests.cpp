#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "compose/PixelOps.h"
#include "support/LogCapture.h"

namespace zimlo::compose {
namespace {

using media::PixelBuffer;
using media::PixelFormat;

// drawNV12 done the plain way, pixel by pixel and block by block: what the copies of whole runs
// must reproduce exactly.
void drawNV12Plainly(PixelBuffer& canvas, const PixelBuffer& layer, PixelRect from, int x, int y,
                     const uint8_t* mask) {
    const int x0 = std::max(0, x), x1 = std::min(canvas.width(), x + from.width);
    const int y0 = std::max(0, y), y1 = std::min(canvas.height(), y + from.height);
    if (x0 >= x1 || y0 >= y1) return;
    auto coverage = [&](int px, int py) -> unsigned {
        if (px < x0 || px >= x1 || py < y0 || py >= y1) return 0;
        return mask ? mask[static_cast<size_t>(py - y) * from.width + (px - x)] : 255u;
    };
    for (int py = y0; py < y1; ++py)
        for (int px = x0; px < x1; ++px) {
            const unsigned a = coverage(px, py);
            uint8_t& out = canvas.data(0)[static_cast<size_t>(py) * canvas.stride(0) + px];
            const uint8_t in = layer.data(
                0)[static_cast<size_t>(from.y + py - y) * layer.stride(0) + from.x + px - x];
            if (a != 0) out = static_cast<uint8_t>((in * a + out * (255 - a) + 127) / 255);
        }
    for (int by = y0 / 2; by < (y1 + 1) / 2; ++by)
        for (int bx = x0 / 2; bx < (x1 + 1) / 2; ++bx) {
            unsigned sum = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) sum += coverage(2 * bx + dx, 2 * by + dy);
            const unsigned whole =
                255u * std::min(2, canvas.height() - 2 * by) * std::min(2, canvas.width() - 2 * bx);
            if (sum == 0) continue;
            const int column =
                std::clamp((from.x + 2 * bx - x) >> 1, from.x / 2, (from.x + from.width - 1) / 2);
            const int row =
                std::clamp((from.y + 2 * by - y) >> 1, from.y / 2, (from.y + from.height - 1) / 2);
            const uint8_t* s =
                layer.data(1) + static_cast<size_t>(row) * layer.stride(1) + 2 * column;
            uint8_t* d = canvas.data(1) + static_cast<size_t>(by) * canvas.stride(1) + 2 * bx;
            for (int c = 0; c < 2; ++c)
                d[c] = sum >= whole ? s[c]
                                    : static_cast<uint8_t>(
                                          (s[c] * sum + d[c] * (whole - sum) + whole / 2) / whole);
        }
}

void fillRandomly(PixelBuffer& picture, std::mt19937& random) {
    std::uniform_int_distribution<int> value(0, 255);
    for (int plane = 0; plane < picture.planeCount(); ++plane) {
        const int rows = plane == 0 ? picture.height() : (picture.height() + 1) / 2;
        for (int row = 0; row < rows; ++row)
            for (int i = 0; i < picture.stride(plane); ++i)
                picture.data(plane)[static_cast<size_t>(row) * picture.stride(plane) + i] =
                    static_cast<uint8_t>(value(random));
    }
}

bool samePicture(const PixelBuffer& a, const PixelBuffer& b) {
    for (int plane = 0; plane < 2; ++plane) {
        const int rows = plane == 0 ? a.height() : (a.height() + 1) / 2;
        const size_t bytes = plane == 0 ? a.width() : 2 * static_cast<size_t>((a.width() + 1) / 2);
        for (int row = 0; row < rows; ++row)
            if (std::memcmp(a.data(plane) + static_cast<size_t>(row) * a.stride(plane),
                            b.data(plane) + static_cast<size_t>(row) * b.stride(plane), bytes))
                return false;
    }
    return true;
}

// Whole runs of a layer are copied at once; the picture is the same as drawing it pixel by pixel
// and block by block: rounded and ragged masks, no mask, odd and even places, canvases of odd
// size, layers cut at every edge.
TEST(PixelOps, DrawingLayersInRunsGivesThePlainPicture) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> place(-40, 120);
    for (int round = 0; round < 200; ++round) {
        const int canvasWidth = 97 + round % 3, canvasHeight = 75 + round % 2;
        PixelBuffer canvas(canvasWidth, canvasHeight, PixelFormat::NV12VideoRange);
        PixelBuffer layer(90, 64, PixelFormat::NV12VideoRange);
        fillRandomly(canvas, random);
        fillRandomly(layer, random);
        PixelBuffer plain = canvas;
        const PixelRect from{2 * (round % 4), 2 * (round % 3), 60 + round % 21, 40 + round % 17};
        std::vector<uint8_t> mask;
        switch (round % 4) {
            case 0:
                mask = roundedRectMask(from.width, from.height, 2.0 + round % 11);
                break;
            case 1:  // holes inside the rows, so they cannot be copied whole
                mask = roundedRectMask(from.width, from.height, 6);
                for (size_t i = 0; i < mask.size(); i += 37) mask[i] = static_cast<uint8_t>(i);
                break;
            case 2:
                mask.assign(static_cast<size_t>(from.width) * from.height, 255);
                break;
            default:
                break;  // no mask
        }
        const uint8_t* coverage = mask.empty() ? nullptr : mask.data();
        const int x = place(random), y = place(random) * 2 / 3;
        drawNV12(canvas, layer, from, x, y, coverage);
        drawNV12Plainly(plain, layer, from, x, y, coverage);
        ASSERT_TRUE(samePicture(canvas, plain))
            << "round " << round << " at " << x << "," << y << " from " << from.x << "," << from.y
            << " " << from.width << "x" << from.height;
    }
}

}  // namespace
// A picture that cannot be scaled leaves one log line for a run of failing frames, not one a
// frame, and another once it fails again after a success.
TEST(PixelOps, ScalingFailuresAreLoggedOncePerRun) {
    test::LogCapture captured(log::Level::warn);
    PixelBuffer source(64, 48, PixelFormat::BGRA);
    PixelBuffer target(32, 24, PixelFormat::NV12VideoRange);
    Scaler scaler;
    const PixelRect outside{40, 0, 64, 48};  // runs past the source's right edge
    for (int frame = 0; frame < 5; ++frame)
        EXPECT_FALSE(scaler.scale(source, outside, target, {0, 0, 32, 24}));
    EXPECT_TRUE(scaler.scale(source, {0, 0, 64, 48}, target, {0, 0, 32, 24}));
    EXPECT_FALSE(scaler.scale(source, {0, 0, 64, 48}, target, {1, 0, 30, 24}));  // odd NV12 start

    const auto lines = captured.linesWith("compose: scaling");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("64x48+40+0 of a 64x48 BGRA picture to 32x24+0+0 of a 32x24 NV12"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("out of bounds"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("even coordinates"), std::string::npos) << lines[1];
}

}  // namespace zimlo::compose
