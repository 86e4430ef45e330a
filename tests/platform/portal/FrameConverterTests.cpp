// Shared-memory screen-cast pictures into the frames the capture layer delivers.
#include <gtest/gtest.h>

#include <vector>

#include "platform/portal/FrameConverter.h"
#include "platform/portal/FramePacer.h"

namespace zimlo::portal {
namespace {

struct Picture {
    int width, height, stride;
    std::vector<uint8_t> bytes;
    SourcePixelFormat format;

    // Every pixel (r, g, b); the fourth byte holds `fourth` (garbage in the x formats).
    Picture(int w, int h, SourcePixelFormat f, uint8_t r, uint8_t g, uint8_t b, uint8_t fourth = 7,
            int padding = 0)
        : width(w), height(h), stride(w * 4 + padding), bytes(stride * h, 0xee), format(f) {
        const bool bgr = f == SourcePixelFormat::BGRx || f == SourcePixelFormat::BGRA;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) set(x, y, r, g, b, fourth, bgr);
    }
    void set(int x, int y, uint8_t r, uint8_t g, uint8_t b, uint8_t fourth, bool bgr) {
        uint8_t* p = bytes.data() + y * stride + x * 4;
        p[0] = bgr ? b : r;
        p[1] = g;
        p[2] = bgr ? r : b;
        p[3] = fourth;
    }
    SourcePicture view() const { return {bytes.data(), width, height, stride, format}; }
};

std::array<int, 4> bgraAt(const media::PixelBuffer& out, int x, int y) {
    const uint8_t* p = out.data() + static_cast<size_t>(y) * out.stride() + 4 * x;
    return {p[0], p[1], p[2], p[3]};
}

TEST(FrameConverter, CopiesEveryLayoutToOpaqueBGRA) {
    FrameConverter converter;
    for (auto format : {SourcePixelFormat::BGRx, SourcePixelFormat::BGRA, SourcePixelFormat::RGBx,
                        SourcePixelFormat::RGBA}) {
        // Rows padded past the picture's width, as compositors do.
        Picture picture(6, 4, format, 200, 100, 50, 0, 8);
        picture.set(5, 3, 1, 2, 3, 0, format <= SourcePixelFormat::BGRA);
        media::PixelBuffer out(6, 4, media::PixelFormat::BGRA);
        ASSERT_TRUE(converter.convert(picture.view(), std::nullopt, out));
        EXPECT_EQ(bgraAt(out, 0, 0), (std::array<int, 4>{50, 100, 200, 255}));
        EXPECT_EQ(bgraAt(out, 5, 3), (std::array<int, 4>{3, 2, 1, 255}));
    }
}

TEST(FrameConverter, TakesOnlyTheCroppedAreaAndClampsCropsToThePicture) {
    FrameConverter converter;
    Picture picture(8, 6, SourcePixelFormat::BGRx, 0, 0, 0);
    // A marked 4 × 2 area at (3, 2); the rest black.
    for (int y = 2; y < 4; ++y)
        for (int x = 3; x < 7; ++x) picture.set(x, y, 10 * x, 20 * y, 90, 0, true);
    media::PixelBuffer out(4, 2, media::PixelFormat::BGRA);
    ASSERT_TRUE(converter.convert(picture.view(), PixelRect{3, 2, 4, 2}, out));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(bgraAt(out, x, y), (std::array<int, 4>{90, 20 * (y + 2), 10 * (x + 3), 255}));

    EXPECT_EQ(visibleArea(8, 6, PixelRect{6, 4, 10, 10}), (PixelRect{6, 4, 2, 2}));
    EXPECT_EQ(visibleArea(8, 6, PixelRect{-2, -2, 4, 4}), (PixelRect{0, 0, 2, 2}));
    EXPECT_EQ(visibleArea(8, 6, PixelRect{20, 20, 4, 4}), (PixelRect{0, 0, 8, 6}));
    EXPECT_EQ(visibleArea(8, 6, PixelRect{1, 1, 0, 3}), (PixelRect{0, 0, 8, 6}));
    EXPECT_EQ(visibleArea(8, 6, std::nullopt), (PixelRect{0, 0, 8, 6}));
}

TEST(FrameConverter, ScalesAnotherShapeToFitCentredOnBlack) {
    FrameConverter converter;
    // A 4:3 output in a 16:9 frame: bars left and right.
    Picture picture(320, 240, SourcePixelFormat::RGBx, 250, 30, 30);
    media::PixelBuffer out(640, 360, media::PixelFormat::BGRA);
    ASSERT_TRUE(converter.convert(picture.view(), std::nullopt, out));
    EXPECT_EQ(bgraAt(out, 10, 180), (std::array<int, 4>{0, 0, 0, 255}));
    EXPECT_EQ(bgraAt(out, 629, 180), (std::array<int, 4>{0, 0, 0, 255}));
    const auto inside = bgraAt(out, 320, 180);
    EXPECT_NEAR(inside[0], 30, 3);
    EXPECT_NEAR(inside[1], 30, 3);
    EXPECT_NEAR(inside[2], 250, 3);
    EXPECT_EQ(inside[3], 255);
    EXPECT_NEAR(bgraAt(out, 81, 0)[2], 250, 3);  // 480 wide from x = 80
    EXPECT_EQ(bgraAt(out, 78, 100)[2], 0);

    // Shrinking by area keeps thin lines as a blend instead of dropping them.
    Picture lines(400, 400, SourcePixelFormat::BGRx, 0, 0, 0);
    for (int y = 0; y < 400; y += 4)
        for (int x = 0; x < 400; ++x) lines.set(x, y, 255, 255, 255, 0, true);
    media::PixelBuffer small(100, 100, media::PixelFormat::BGRA);
    ASSERT_TRUE(converter.convert(lines.view(), std::nullopt, small));
    EXPECT_NEAR(bgraAt(small, 50, 50)[1], 64, 12);
}

// Luma of the pixel and the chroma pair of its 2 × 2 block.
std::array<int, 3> yuvAt(const media::PixelBuffer& out, int x, int y) {
    const uint8_t* chroma = out.data(1) + static_cast<size_t>(y / 2) * out.stride(1) + (x & ~1);
    return {out.data(0)[static_cast<size_t>(y) * out.stride(0) + x], chroma[0], chroma[1]};
}

TEST(FrameConverter, WritesNV12InBT709VideoRangeForTheEncoder) {
    FrameConverter converter;
    // Expected from the BT.709 video-range equations, rounded.
    struct Case {
        uint8_t r, g, b;
        std::array<int, 3> yuv;
    };
    const Case cases[] = {{255, 0, 0, {63, 102, 240}}, {0, 255, 0, {173, 42, 26}},
                          {0, 0, 255, {32, 240, 118}}, {255, 255, 255, {235, 128, 128}},
                          {0, 0, 0, {16, 128, 128}},   {128, 128, 128, {126, 128, 128}}};
    for (const auto& c : cases) {
        for (auto format : {SourcePixelFormat::BGRx, SourcePixelFormat::RGBA}) {
            Picture picture(8, 6, format, c.r, c.g, c.b, 0, 4);
            media::PixelBuffer out(8, 6, media::PixelFormat::NV12VideoRange);
            ASSERT_TRUE(converter.convert(picture.view(), std::nullopt, out));
            const auto got = yuvAt(out, 5, 3);
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(got[i], c.yuv[i], 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        }
    }

    // Scaled into a frame of another shape: the same colours, video-range black bars.
    Picture red(300, 300, SourcePixelFormat::BGRx, 255, 0, 0);
    media::PixelBuffer wide(320, 180, media::PixelFormat::NV12VideoRange);
    ASSERT_TRUE(converter.convert(red.view(), std::nullopt, wide));
    const auto inside = yuvAt(wide, 160, 90);
    EXPECT_NEAR(inside[0], 63, 2);
    EXPECT_NEAR(inside[1], 102, 2);
    EXPECT_NEAR(inside[2], 240, 2);
    EXPECT_EQ(yuvAt(wide, 10, 90), (std::array<int, 3>{16, 128, 128}));
    EXPECT_EQ(yuvAt(wide, 300, 170), (std::array<int, 3>{16, 128, 128}));

    media::PixelBuffer odd(7, 6, media::PixelFormat::NV12VideoRange);
    EXPECT_FALSE(converter.convert(red.view(), std::nullopt, odd));
}

TEST(FrameConverter, RefusesPicturesItCannotRead) {
    FrameConverter converter;
    media::PixelBuffer out(4, 4, media::PixelFormat::BGRA);
    Picture picture(4, 4, SourcePixelFormat::BGRx, 1, 2, 3);
    SourcePicture tooNarrow = picture.view();
    tooNarrow.stride = 12;
    EXPECT_FALSE(converter.convert(tooNarrow, std::nullopt, out));
    SourcePicture empty = picture.view();
    empty.data = nullptr;
    EXPECT_FALSE(converter.convert(empty, std::nullopt, out));
    media::PixelBuffer fullRange(4, 4, media::PixelFormat::NV12FullRange);
    EXPECT_FALSE(converter.convert(picture.view(), std::nullopt, fullRange));
}

TEST(FramePacer, KeepsTheFrameRateWithoutLosingFramesToJitterOrStalls) {
    const double interval = 1.0 / 30;
    auto admitted = [&](const std::vector<double>& times) {
        FramePacer pacer;
        int count = 0;
        for (double t : times) count += pacer.admit(t, interval) ? 1 : 0;
        return count;
    };
    // A 60 Hz compositor: every other frame.
    std::vector<double> sixty;
    for (int i = 0; i < 120; ++i) sixty.push_back(i / 60.0);
    EXPECT_EQ(admitted(sixty), 60);
    // 30 Hz with up to a quarter interval of jitter either way: all of them.
    std::vector<double> jittered;
    for (int i = 0; i < 60; ++i) jittered.push_back(i * interval + ((i % 3) - 1) * 0.007);
    EXPECT_EQ(admitted(jittered), 60);
    // A stall, then two frames close together: both kept.
    EXPECT_EQ(admitted({0.0, 0.033, 0.100, 0.105, 0.133}), 5);
    // A burst never buys more than one frame of credit.
    EXPECT_EQ(admitted({0.0, 0.5, 0.501, 0.502, 0.503}), 3);
}

}  // namespace
}  // namespace zimlo::portal
