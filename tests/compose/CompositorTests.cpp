#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <future>

#include "compose/PiPVideoCompositor.h"

namespace zimlo::compose {
namespace {

using media::MediaTime;
using media::PixelBuffer;
using media::PixelFormat;
using Colour = std::array<int, 3>;  // R G B

const Colour kRed{255, 0, 0}, kBlue{0, 0, 255}, kGreen{0, 255, 0}, kBlack{0, 0, 0},
    kGrey{128, 128, 128};

std::shared_ptr<PixelBuffer> solid(int w, int h, Colour c) {
    auto buffer = std::make_shared<PixelBuffer>(w, h, PixelFormat::BGRA);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = buffer->data() + y * buffer->stride() + 4 * x;
            p[0] = static_cast<uint8_t>(c[2]);
            p[1] = static_cast<uint8_t>(c[1]);
            p[2] = static_cast<uint8_t>(c[0]);
            p[3] = 255;
        }
    return buffer;
}

Colour at(const PixelBuffer& b, int x, int y) {
    const uint8_t* p = b.data() + y * b.stride() + 4 * x;
    return {p[2], p[1], p[0]};
}

constexpr TrackID kMain = 1, kCamera = 2;

struct Fixture {
    std::shared_ptr<PiPCompositionInstruction> instruction;
    std::unique_ptr<PiPVideoCompositor> compositor;

    Fixture(double w, double h, std::optional<TrackID> camera = kCamera,
            EmphasisFunction emphasis = {})
        : instruction(std::make_shared<PiPCompositionInstruction>(
              media::TimeRange{MediaTime::zero(), MediaTime::make(10, 1)}, kMain, camera)),
          compositor(std::make_unique<PiPVideoCompositor>(std::move(emphasis))) {
        instruction->canvas = {w, h};
    }

    VideoCompositionRequest::Result render(
        double t, std::map<TrackID, std::shared_ptr<const PixelBuffer>> frames,
        std::shared_ptr<const VideoCompositionInstruction> which = nullptr,
        PixelFormat output = PixelFormat::BGRA) {
        auto context = RenderContext::make(static_cast<int>(instruction->canvas.width),
                                           static_cast<int>(instruction->canvas.height), 2, output);
        std::promise<VideoCompositionRequest::Result> done;
        compositor->startVideoCompositionRequest(std::make_shared<VideoCompositionRequest>(
            MediaTime::fromSeconds(t, 600), which ? which : instruction, context, std::move(frames),
            [&done](VideoCompositionRequest::Result r) { done.set_value(std::move(r)); }));
        return done.get_future().get();
    }
    std::shared_ptr<PixelBuffer> frame(
        double t, std::map<TrackID, std::shared_ptr<const PixelBuffer>> frames) {
        auto result = render(t, std::move(frames));
        EXPECT_FALSE(result.error);
        return result.frame;
    }
};

MATCHER_P(Near, colour, "") {
    for (int c = 0; c < 3; ++c)
        if (std::abs(arg[c] - colour[c]) > 6) return false;
    return true;
}

TEST(PiPVideoCompositor, CameraWindowFollowsKeyframesWithRoundedCorners) {
    Fixture f(1000, 2000);
    f.instruction->pipAspect = AspectRatio::r1x1;
    f.instruction->pipKeyframes = {{0, {0.5, 0.5}, {0.3, 0.2}, 0}, {2, {0.2, 0.2}, {0.3, 0.2}, 0}};
    std::map<TrackID, std::shared_ptr<const PixelBuffer>> sources{{kMain, solid(100, 200, kRed)},
                                                                  {kCamera, solid(64, 48, kBlue)}};
    auto first = f.frame(1.999, sources);
    // 300 × 300 centred on (500, 1000): [350, 650) × [850, 1150).
    EXPECT_THAT(at(*first, 500, 1000), Near(kBlue));
    EXPECT_THAT(at(*first, 351, 1000), Near(kBlue));
    EXPECT_THAT(at(*first, 348, 1000), Near(kRed));
    EXPECT_THAT(at(*first, 500, 851), Near(kBlue));
    EXPECT_THAT(at(*first, 500, 1152), Near(kRed));
    // Radius 18: the corner pixel is left to the picture beneath, the one inside the arc is not.
    EXPECT_THAT(at(*first, 351, 851), Near(kRed));
    EXPECT_THAT(at(*first, 649, 1149), Near(kRed));
    EXPECT_THAT(at(*first, 356, 856), Near(kBlue));

    auto second = f.frame(2, sources);
    EXPECT_THAT(at(*second, 500, 1000), Near(kRed));
    EXPECT_THAT(at(*second, 200, 400), Near(kBlue));

    // Default aspect takes the keyframe's height: 300 × 400.
    f.instruction->pipAspect = AspectRatio::default_;
    auto tall = f.frame(0, sources);
    EXPECT_THAT(at(*tall, 500, 810), Near(kBlue));
    EXPECT_THAT(at(*tall, 500, 1190), Near(kBlue));
    // No camera frame (camera movie over): no window.
    auto noCamera = f.frame(0, {{kMain, sources[kMain]}});
    EXPECT_THAT(at(*noCamera, 500, 1000), Near(kRed));
}

TEST(PiPVideoCompositor, WindowPartlyOutsideTheCanvasIsCut) {
    Fixture f(200, 100);
    f.instruction->pipKeyframes = {{0, {1.0, 0.0}, {0.5, 0.5}, 0}};
    auto out = f.frame(0, {{kMain, solid(20, 10, kRed)}, {kCamera, solid(20, 10, kBlue)}});
    EXPECT_THAT(at(*out, 190, 10), Near(kBlue));
    EXPECT_THAT(at(*out, 140, 10), Near(kRed));
}

TEST(PiPVideoCompositor, SplitScreenRegionsInBothOrders) {
    Fixture f(100, 200);
    f.instruction->isSplitScreenEnabled = true;
    std::map<TrackID, std::shared_ptr<const PixelBuffer>> sources{{kMain, solid(160, 90, kRed)},
                                                                  {kCamera, solid(40, 40, kBlue)}};
    auto frontTop = f.frame(0, sources);
    EXPECT_THAT(at(*frontTop, 50, 99), Near(kBlue));
    EXPECT_THAT(at(*frontTop, 50, 100), Near(kRed));
    EXPECT_THAT(at(*frontTop, 0, 199), Near(kRed));

    // 0.8 is clamped to 0.72: the main picture takes the top 144 rows.
    f.instruction->splitScreenKeyframes = {SplitScreenKeyframe(0, CameraSplitOrder::frontTop, 0.5)};
    f.instruction->splitScreenKeyframes[0].order = CameraSplitOrder::backTop;
    f.instruction->splitScreenKeyframes[0].topRatio = 0.8;
    auto backTop = f.frame(0, sources);
    EXPECT_THAT(at(*backTop, 50, 143), Near(kRed));
    EXPECT_THAT(at(*backTop, 50, 144), Near(kBlue));

    Fixture noCamera(100, 200, std::nullopt);
    noCamera.instruction->isSplitScreenEnabled = true;
    auto half = noCamera.frame(0, sources);
    EXPECT_THAT(at(*half, 50, 50), Near(kBlack));
    EXPECT_THAT(at(*half, 50, 150), Near(kRed));
}

TEST(PiPVideoCompositor, FittedScreenIsLetterboxedAndMissingPictureIsBlack) {
    Fixture f(90, 160);
    f.instruction->fitsMainContent = true;
    // 160 × 90 scaled to 90 × 50.6, centred: rows 55 to 104.
    auto fitted = f.frame(0, {{kMain, solid(160, 90, kRed)}});
    EXPECT_THAT(at(*fitted, 45, 52), Near(kBlack));
    EXPECT_THAT(at(*fitted, 45, 57), Near(kRed));
    EXPECT_THAT(at(*fitted, 45, 102), Near(kRed));
    EXPECT_THAT(at(*fitted, 45, 107), Near(kBlack));
    f.instruction->fitsMainContent = false;
    EXPECT_THAT(at(*f.frame(0, {{kMain, solid(160, 90, kRed)}}), 45, 5), Near(kRed));
    auto empty = f.frame(0, {});
    EXPECT_THAT(at(*empty, 45, 80), Near(kBlack));
}

TEST(PiPVideoCompositor, SourcesAreTurnedUpright) {
    Fixture f(10, 20);
    auto picture = solid(20, 10, kRed);
    auto green = solid(10, 10, kGreen);
    for (int y = 0; y < 10; ++y)
        std::memcpy(picture->data() + y * picture->stride() + 40,
                    green->data() + y * green->stride(), 40);
    f.instruction->mainTransform = VideoTrackTransform{ImageOrientation::right};
    auto out = f.frame(0, {{kMain, picture}});
    EXPECT_THAT(at(*out, 5, 2), Near(kRed));
    EXPECT_THAT(at(*out, 5, 17), Near(kGreen));
}

// Red rising to the right, green downwards.
std::shared_ptr<PixelBuffer> gradient(int w, int h) {
    auto buffer = std::make_shared<PixelBuffer>(w, h, PixelFormat::BGRA);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = buffer->data() + y * buffer->stride() + 4 * x;
            p[0] = 128;
            p[1] = static_cast<uint8_t>(y * 255 / (h - 1));
            p[2] = static_cast<uint8_t>(x * 255 / (w - 1));
            p[3] = 255;
        }
    return buffer;
}

std::shared_ptr<PixelBuffer> convert(const PixelBuffer& picture, PixelFormat format) {
    auto out = std::make_shared<PixelBuffer>(picture.width(), picture.height(), format);
    Scaler scaler;
    EXPECT_TRUE(scaler.scale(picture, {0, 0, picture.width(), picture.height()}, *out,
                             {0, 0, picture.width(), picture.height()}));
    return out;
}

// Export frames are drawn from NV12 sources (copied where they fit, scaled, turned) into NV12
// buffers for the encoder; they must show the picture that BGRA sources and output show, also
// at odd sizes and places, where chroma blocks straddle the edges.
TEST(PiPVideoCompositor, NV12SourcesAndOutputShowTheSamePictureAsBGRA) {
    auto camera = gradient(61, 49);
    for (auto [width, height] : {std::pair{200, 100}, std::pair{201, 101}}) {
        Fixture f(width, height);
        f.instruction->pipKeyframes = {
            {0, {0.25, 0.5}, {0.3, 0.5}, 0}};  // about 60 × 50 at (20, 25)
        f.instruction->pipCornerRatio = 0.5;
        f.instruction->pipTransform = VideoTrackTransform{ImageOrientation::upMirrored};
        for (bool fitted : {false, true}) {
            f.instruction->fitsMainContent = fitted;
            auto main =
                gradient(fitted ? 150 : 200, 100);  // fitted: bands at the sides, 25 columns
            auto reference = f.frame(0, {{kMain, main}, {kCamera, camera}});
            auto result = f.render(0,
                                   {{kMain, convert(*main, PixelFormat::NV12VideoRange)},
                                    {kCamera, convert(*camera, PixelFormat::NV12VideoRange)}},
                                   nullptr, PixelFormat::NV12VideoRange);
            ASSERT_TRUE(result.frame);
            ASSERT_EQ(result.frame->format(), PixelFormat::NV12VideoRange);
            auto shown = convert(*result.frame, PixelFormat::BGRA);
            int differing = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const auto a = at(*reference, x, y), b = at(*shown, x, y);
                    for (int c = 0; c < 3; ++c) differing += std::abs(a[c] - b[c]) > 12;
                }
            EXPECT_EQ(differing, 0) << width << " " << fitted;
            // Mirrored camera: its red side is on the left.
            EXPECT_GT(at(*shown, 30, 50)[0], 150);
            EXPECT_LT(at(*shown, 70, 50)[0], 100);
            if (fitted) {
                EXPECT_THAT(at(*shown, 10, 90), Near(kBlack));
            }
        }
    }
}

TEST(PiPVideoCompositor, FailsRequestsWithoutInstructionOrBuffer) {
    class Other : public VideoCompositionInstruction {};
    Fixture f(10, 10);
    auto result = f.render(0, {}, std::make_shared<Other>());
    ASSERT_TRUE(result.error);
    EXPECT_EQ(*result.error, (CompositionRequestError{"Zimlo", -20}));
    EXPECT_FALSE(result.frame);

    f.instruction->canvas = {0, 0};  // a render context that has no buffers to give
    EXPECT_EQ(f.render(0, {}).error, kRenderRequestFailed);
}

TEST(PiPVideoCompositor, ClearsCachesEveryEighthFrameAndRestartsOnContextChange) {
    Fixture f(16, 16);
    for (int i = 0; i < 17; ++i) f.frame(0, {});
    EXPECT_EQ(f.compositor->renderedFrameCount(), 17);
    EXPECT_EQ(f.compositor->cacheClearCount(), 2);
    f.compositor->renderContextChanged(RenderContext::make(16, 16));
    EXPECT_EQ(f.compositor->renderedFrameCount(), 0);
    for (int i = 0; i < 8; ++i) f.frame(0, {});
    EXPECT_EQ(f.compositor->cacheClearCount(), 3);
}

// A long talk has hundreds of subtitles of a megabyte or more each: only the few drawn last are
// kept, and one shown again after a while is simply drawn again.
TEST(PiPVideoCompositor, KeepsOnlyTheLatestSubtitleImages) {
    ASSERT_TRUE(ensureTextEngine());
    Fixture f(320, 180, std::nullopt);
    for (int i = 0; i < 24; ++i)
        f.instruction->subtitles.push_back(
            {Uuid::generate(), i * 1.0, i + 0.9, "第 " + std::to_string(i) + " 句"});
    std::size_t mostKept = 0;
    for (int i = 0; i < 24; ++i) {
        f.frame(i + 0.5, {{kMain, solid(32, 18, kGrey)}});
        mostKept = std::max(mostKept, f.compositor->subtitleCacheSize());
    }
    EXPECT_EQ(mostKept, SubtitleRenderer::kCachedImages);
    auto again = f.frame(0.5, {{kMain, solid(32, 18, kGrey)}});
    int white = 0;
    for (int y = 0; y < 180; ++y)
        for (int x = 0; x < 320; ++x) white += at(*again, x, y)[0] > 240;
    EXPECT_GT(white, 20) << "the first subtitle, drawn again";

    // A canvas no subtitle can be drawn for at a sane size: none is drawn, none is kept.
    SubtitleRenderer renderer;
    EXPECT_FALSE(renderer.subtitleImage(0.5, 0.82, 0.86, 1.0, 60000, 60000, "字幕", false));
    EXPECT_EQ(renderer.cacheSize(), 0u);
}

// Frames go out whatever part of them cannot be drawn: a main picture the scaler refuses
// (two pixels stretched ten thousand times across) leaves black, and a camera window far
// larger than the canvas (a damaged keyframe) is left out.
TEST(PiPVideoCompositor, WhatCannotBeDrawnIsLeftOutOfAFrameThatStillGoesOut) {
    Fixture wide(20000, 2);
    auto stretched = wide.frame(0, {{kMain, solid(2, 2, kRed)}});
    ASSERT_TRUE(stretched);
    int lit = 0;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 20000; ++x) lit += std::ranges::max(at(*stretched, x, y)) > 24;
    EXPECT_EQ(lit, 0);

    Fixture f(64, 64);
    f.instruction->pipKeyframes = {{0, {0.5, 0.5}, {5, 5}, 0}};
    auto huge = f.frame(0, {{kMain, solid(64, 64, kRed)}, {kCamera, solid(64, 64, kBlue)}});
    ASSERT_TRUE(huge);
    EXPECT_THAT(at(*huge, 32, 32), Near(kRed));
    EXPECT_THAT(at(*huge, 2, 2), Near(kRed));
    f.instruction->pipKeyframes = {{0, {0.5, 0.5}, {0.5, 0.5}, 0}};
    EXPECT_THAT(
        at(*f.frame(0, {{kMain, solid(64, 64, kRed)}, {kCamera, solid(64, 64, kBlue)}}), 32, 32),
        Near(kBlue));
}

TEST(PiPVideoCompositor, SubtitlePixelsStayInsideThePlacedBox) {
    ASSERT_TRUE(ensureTextEngine());
    Fixture f(1080, 1920, std::nullopt, [](const std::string&) {
        return std::vector<Utf16Range>{{9, 2}};
    });
    f.instruction->emphasizesSubtitleKeywords = true;
    f.instruction->subtitles = {{Uuid::generate(), 0, 5, "Zimlo 录屏 4K 字幕"}};
    auto out = f.frame(1, {{kMain, solid(108, 192, kGrey)}});

    SubtitleRenderer renderer([](const std::string&) { return std::vector<Utf16Range>{{9, 2}}; });
    auto image =
        renderer.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, "Zimlo 录屏 4K 字幕", true);
    ASSERT_TRUE(image);
    const int left = static_cast<int>(std::lround(image->placement.x));
    const int top = static_cast<int>(std::lround(image->placement.y));
    const int right = left + image->image.width();
    const int bottom = top + image->image.height();
    int white = 0, black = 0, amber = 0, outside = 0;
    for (int y = 0; y < 1920; ++y)
        for (int x = 0; x < 1080; ++x) {
            auto c = at(*out, x, y);
            if (std::abs(c[0] - 128) < 3 && std::abs(c[1] - 128) < 3 && std::abs(c[2] - 128) < 3)
                continue;
            if (x < left || x >= right || y < top || y >= bottom) ++outside;
            if (c[0] > 245 && c[1] > 245 && c[2] > 245) ++white;
            if (c[0] < 20 && c[1] < 20 && c[2] < 20) ++black;
            if (c[0] > 240 && c[1] > 195 && c[1] < 225 && c[2] < 40) ++amber;
        }
    EXPECT_EQ(outside, 0);
    EXPECT_GT(white, 1000);
    EXPECT_GT(black, 300);
    EXPECT_GT(amber, 300);
    EXPECT_EQ(f.compositor->subtitleCacheSize(), 1u);
}

}  // namespace
}  // namespace zimlo::compose
