#include <gtest/gtest.h>
#include <linux/videodev2.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/camera/CameraDevice.h"
#include "platform/camera/FrameDecoder.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/media/MonotonicClock.h"
#include "support/TestMain.h"

namespace zimlo::camera {
namespace {

CameraFormat format(int w, int h, std::vector<FrameRateRange> rates,
                    uint32_t code = V4L2_PIX_FMT_MJPEG) {
    return CameraFormat{w, h, code, std::move(rates)};
}

TEST(CameraFormatChoice, FollowsTheSizeThenAreaThenRateRule) {
    std::vector<CameraFormat> common = {format(640, 480, {{1, 30}}), format(1280, 720, {{1, 30}}),
                                        format(1920, 1080, {{1, 30}})};
    // Large enough formats first; the rate is clamped into the format's range.
    EXPECT_EQ(chooseCameraFormat(common, 1920, 1080, 60), (CameraFormatChoice{2, 30}));
    // None large enough: the closest long side wins.
    EXPECT_EQ(chooseCameraFormat(common, 3840, 2160, 30), (CameraFormatChoice{2, 30}));
    EXPECT_EQ(chooseCameraFormat(common, 1280, 720, 24), (CameraFormatChoice{1, 24}));
    EXPECT_EQ(chooseCameraFormat(common, 100, 100, 30), (CameraFormatChoice{0, 30}));

    // Same long side: the area closer to the request, then the closer rate, then the higher one.
    std::vector<CameraFormat> sameLong = {format(1280, 1024, {{30, 30}}),
                                          format(1280, 720, {{15, 15}}),
                                          format(1280, 720, {{30, 30}}, V4L2_PIX_FMT_YUYV)};
    EXPECT_EQ(chooseCameraFormat(sameLong, 1280, 720, 30), (CameraFormatChoice{2, 30}));
    std::vector<CameraFormat> equalDistance = {format(1280, 720, {{24, 24}, {36, 36}}),
                                               format(1280, 720, {{20, 20}, {40, 40}})};
    // 24 and 36 are equally far from 30: the one not above wins; the first format keeps the tie.
    EXPECT_EQ(chooseCameraFormat(equalDistance, 1280, 720, 30), (CameraFormatChoice{0, 24}));
    std::vector<CameraFormat> higherRate = {format(1280, 720, {{24, 24}}),
                                            format(1280, 720, {{60, 60}})};
    EXPECT_EQ(chooseCameraFormat(higherRate, 1280, 720, 42), (CameraFormatChoice{1, 60}));

    // Unusable sizes and rates are skipped; nothing usable gives nothing.
    std::vector<CameraFormat> broken = {format(0, 480, {{1, 30}}), format(640, 480, {{1, 0}}),
                                        format(640, 480, {{1, INFINITY}}),
                                        format(320, 240, {{0, 5}})};
    EXPECT_EQ(chooseCameraFormat(broken, 1920, 1080, 30), (CameraFormatChoice{3, 5}));
    EXPECT_FALSE(chooseCameraFormat({format(640, 480, {})}, 640, 480, 30).has_value());
    // Rates below 0.1 are never asked for.
    EXPECT_EQ(chooseCameraFormat({format(640, 480, {{0, 10}})}, 640, 480, 0.01),
              (CameraFormatChoice{0, 0.1}));
}

uint32_t pixel(const media::PixelBuffer& p, int x, int y) {
    uint32_t v;
    std::memcpy(&v, p.data() + static_cast<size_t>(y) * p.stride() + x * 4, 4);
    return v;
}
int channel(uint32_t bgra, int i) { return (bgra >> (8 * i)) & 0xff; }

TEST(FrameDecoder, DecodesYuyvAndJpegToBgraAndMirrors) {
    FrameDecoder decoder;
    // YUYV 4x2: left half bright (Y=235), right half dark (Y=16), no colour.
    std::vector<uint8_t> yuyv;
    for (int y = 0; y < 2; ++y)
        for (int pair = 0; pair < 2; ++pair) {
            uint8_t luma = pair == 0 ? 235 : 16;
            yuyv.insert(yuyv.end(), {luma, 128, luma, 128});
        }
    auto plain = decoder.decode(V4L2_PIX_FMT_YUYV, 4, 2, yuyv.data(), yuyv.size(), false);
    ASSERT_TRUE(plain);
    EXPECT_GT(channel(pixel(*plain, 0, 0), 1), 240);
    EXPECT_LT(channel(pixel(*plain, 3, 0), 1), 15);
    EXPECT_EQ(channel(pixel(*plain, 0, 0), 3), 255);
    auto mirrored = decoder.decode(V4L2_PIX_FMT_YUYV, 4, 2, yuyv.data(), yuyv.size(), true);
    ASSERT_TRUE(mirrored);
    EXPECT_LT(channel(pixel(*mirrored, 0, 1), 1), 15);
    EXPECT_GT(channel(pixel(*mirrored, 3, 1), 1), 240);
    // A short frame is refused, not read past its end.
    EXPECT_FALSE(decoder.decode(V4L2_PIX_FMT_YUYV, 4, 2, yuyv.data(), yuyv.size() - 1, false));

    // A JPEG of a red left half and a blue right half, as a UVC camera would send.
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    ASSERT_TRUE(codec);
    AVCodecContext* encoder = avcodec_alloc_context3(codec);
    encoder->width = 64;
    encoder->height = 32;
    encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    encoder->time_base = {1, 30};
    ASSERT_EQ(avcodec_open2(encoder, codec, nullptr), 0);
    AVFrame* frame = av_frame_alloc();
    frame->width = 64;
    frame->height = 32;
    frame->format = AV_PIX_FMT_YUVJ420P;
    ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) frame->data[0][y * frame->linesize[0] + x] = x < 32 ? 76 : 29;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) {
            frame->data[1][y * frame->linesize[1] + x] = x < 16 ? 85 : 255;
            frame->data[2][y * frame->linesize[2] + x] = x < 16 ? 255 : 107;
        }
    AVPacket* packet = av_packet_alloc();
    ASSERT_EQ(avcodec_send_frame(encoder, frame), 0);
    ASSERT_EQ(avcodec_receive_packet(encoder, packet), 0);
    auto jpeg = decoder.decode(V4L2_PIX_FMT_MJPEG, 64, 32, packet->data, packet->size, true);
    ASSERT_TRUE(jpeg);
    ASSERT_EQ(jpeg->width(), 64);
    uint32_t left = pixel(*jpeg, 4, 16), right = pixel(*jpeg, 60, 16);
    EXPECT_GT(channel(left, 0), 200);   // mirrored: blue now on the left
    EXPECT_GT(channel(right, 2), 200);  // and red on the right
    EXPECT_FALSE(decoder.decode(V4L2_PIX_FMT_MJPEG, 64, 32, packet->data, 10, false));
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&encoder);
}

TEST(GeneratedCamera, StreamsMovingMirroredFramesAtTheActiveFormat) {
    GeneratedCamera camera;
    auto unopened = camera.setActiveFormat(0, 30);
    ASSERT_FALSE(unopened.ok());
    EXPECT_EQ(unopened.error().kind(), CameraError::Kind::notOpen);
    ASSERT_TRUE(camera.open().ok());
    auto missing = camera.setActiveFormat(9, 30);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind(), CameraError::Kind::unsupportedFormat);
    ASSERT_TRUE(camera.setActiveFormat(0, 30).ok());
    camera.setMirrored(true);

    std::mutex mutex;
    std::vector<media::VideoSample> frames;
    ASSERT_TRUE(camera
                    .startStreaming([&](media::VideoSample s) {
                        std::lock_guard lock(mutex);
                        frames.push_back(std::move(s));
                    })
                    .ok());
    ASSERT_TRUE(test::pumpUntil([&] {
        std::lock_guard lock(mutex);
        return frames.size() >= 10;
    }));
    camera.stopStreaming();
    auto count = camera.framesDelivered();
    test::mainLoop().runFor(std::chrono::milliseconds(100));
    EXPECT_EQ(camera.framesDelivered(), count);

    std::lock_guard lock(mutex);
    const auto& first = *frames.front().pixels;
    EXPECT_EQ(first.width(), 640);
    EXPECT_EQ(first.height(), 480);
    // Mirrored: the red marker sits top-right.
    EXPECT_EQ(pixel(first, 635, 2), 0xffff0000u);
    EXPECT_NE(pixel(first, 2, 2), 0xffff0000u);
    EXPECT_NE(std::memcmp(frames[1].pixels->data(), frames[5].pixels->data(), 640 * 4 * 240), 0);
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_GT(frames[i].presentationTime, frames[i - 1].presentationTime);
}

// Each frame is white exactly when the instant it is stamped with falls in a flash (a benchmark
// times the camera movie against the schedule by those stamps); the others are drawn as ever.
TEST(GeneratedCamera, FlashesWhiteInTheFramesStampedInsideTheSchedule) {
    const int64_t ns = media::MonotonicClock::kTimescale;
    const auto at = [](int64_t n) {
        return media::MediaTime::make(n, media::MonotonicClock::kTimescale);
    };
    const int64_t first = media::MonotonicClock::now().value + ns / 5;
    // Neither a whole number of 30 fps frames: the frames fall at another point of each flash,
    // so a picture decided at another instant than its stamp shows at some edge.
    const int64_t period = ns * 29 / 100, length = ns * 95 / 1000;
    GeneratedCamera::Options options;
    options.flashes = GeneratedCamera::Flashes{at(first), at(period), at(length)};
    const GeneratedCamera::Flashes& flashes = *options.flashes;
    EXPECT_FALSE(flashes.cover(at(first - 1)));
    EXPECT_TRUE(flashes.cover(at(first)));
    EXPECT_TRUE(flashes.cover(at(first + length - 1)));
    EXPECT_FALSE(flashes.cover(at(first + length)));
    EXPECT_TRUE(flashes.cover(at(first + 7 * period + length / 2)));

    GeneratedCamera camera(options);
    ASSERT_TRUE(camera.open().ok());
    ASSERT_TRUE(camera.setActiveFormat(0, 30).ok());
    std::mutex mutex;
    std::vector<media::VideoSample> frames;
    ASSERT_TRUE(camera
                    .startStreaming([&](media::VideoSample s) {
                        std::lock_guard lock(mutex);
                        frames.push_back(std::move(s));
                    })
                    .ok());
    ASSERT_TRUE(test::pumpUntil([&] {
        std::lock_guard lock(mutex);
        return !frames.empty() && frames.back().presentationTime.value > first + 4 * period;
    }));
    camera.stopStreaming();

    int white = 0, plain = 0;
    for (const auto& frame : frames) {
        const int64_t t = frame.presentationTime.convertedTo(ns).value;
        const bool due = t >= first && (t - first) % period < length;
        const auto& picture = *frame.pixels;
        SCOPED_TRACE(testing::Message() << "frame at " << (t - first) / 1e6 << " ms");
        if (due) {
            ++white;
            EXPECT_EQ(pixel(picture, 2, 2), 0xffffffffu);
            EXPECT_EQ(pixel(picture, 320, 470), 0xffffffffu);
            EXPECT_EQ(pixel(picture, 639, 240), 0xffffffffu);
        } else {
            ++plain;
            EXPECT_EQ(pixel(picture, 2, 2), 0xffff0000u);  // the red marker, as without flashes
        }
    }
    // Five flashes of about three frames each were due: some must have been caught.
    EXPECT_GE(white, 3);
    EXPECT_GE(plain, 6);
}

// A frame handler that stops the stream leaves its own thread to the next start, which takes
// it over from another thread and streams again.
TEST(GeneratedCamera, StartsAgainAfterStoppingFromItsOwnFrameHandler) {
    GeneratedCamera camera;
    ASSERT_TRUE(camera.open().ok());
    std::atomic<int> frames{0};
    auto stopAtFirst = [&](media::VideoSample) {
        ++frames;
        camera.stopStreaming();
    };
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(camera.startStreaming(stopAtFirst).ok());
        ASSERT_TRUE(test::pumpUntil([&] { return frames.load() >= round; }));
        ASSERT_TRUE(test::pumpUntil([&] { return !camera.isStreaming(); }));
    }
    camera.close();
    EXPECT_EQ(frames.load(), 3);
}

TEST(CameraAccess, ReportsNoDeviceDeniedAndAuthorized) {
    setCameraDiscovery([] { return std::shared_ptr<CameraDevice>(); });
    EXPECT_EQ(cameraAccess(), CameraAccess::noDevice);
    setCameraDiscovery([] {
        GeneratedCamera::Options options;
        options.failsToOpen = true;
        return std::make_shared<GeneratedCamera>(options);
    });
    EXPECT_EQ(cameraAccess(), CameraAccess::denied);
    setCameraDiscovery([] { return std::make_shared<GeneratedCamera>(); });
    EXPECT_EQ(cameraAccess(), CameraAccess::authorized);
    setCameraDiscovery(nullptr);
}

}  // namespace
}  // namespace zimlo::camera
