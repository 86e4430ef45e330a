#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "platform/media/MonotonicClock.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/x11/CaptureTargetList.h"
#include "platform/x11/ScreenStream.h"
#include "platform/x11/TestWindows.h"
#include "platform/x11/XvfbEnvironment.h"
#include "support/ResultValue.h"

namespace zimlo::x11 {
namespace {

using test::rgbAt;
using Spec = test::TestWindows::Spec;
using namespace std::chrono_literals;

// Frames as they arrive on the delivery queue.
class FrameLog {
  public:
    void add(const media::VideoSample& s) {
        std::lock_guard lock(mutex_);
        samples_.push_back(s);
        changed_.notify_all();
    }
    // Waits until a complete frame satisfying `pred` arrives (or the time-out) and returns it.
    template <typename Pred>
    std::optional<media::VideoSample> waitFor(Pred pred, std::chrono::seconds timeout = 15s) {
        std::unique_lock lock(mutex_);
        std::optional<media::VideoSample> found;
        changed_.wait_for(lock, timeout, [&] {
            for (; seen_ < samples_.size(); ++seen_) {
                const auto& s = samples_[seen_];
                if (s.status == media::FrameStatus::complete && s.pixels && pred(*s.pixels)) {
                    found = s;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::vector<media::VideoSample> samples() {
        std::lock_guard lock(mutex_);
        return samples_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<media::VideoSample> samples_;
    size_t seen_ = 0;
};

struct RunningStream {
    RunningStream(ContentFilter filter, ScreenStreamConfiguration config)
        : queue(".test-screen-stream"), stream(std::move(filter), config) {
        stream.setFrameHandler([this](const media::VideoSample& s) { log.add(s); }, &queue);
        std::promise<std::optional<screen::CaptureError>> started;
        stream.startCapture(
            [&](std::optional<screen::CaptureError> error) { started.set_value(error); });
        startError = started.get_future().get();
    }
    ~RunningStream() { stream.stopCapture(); }

    FrameLog log;
    SerialQueue queue;
    ScreenStream stream;
    std::optional<screen::CaptureError> startError;
};

ScreenStreamConfiguration fullSize(bool cursor = false) {
    ScreenStreamConfiguration c;
    c.width = 1920;
    c.height = 1080;
    c.minimumFrameInterval = media::MediaTime::make(1, 20);
    c.showsCursor = cursor;
    return c;
}

DisplayInfo mainDisplay() {
    return zimlo::test::valueOrFailure(listCaptureTargets()).displays.at(0);
}

TEST(ScreenStream, DisplayFramesShowOtherWindowsButNeverOurs) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    x.create(Spec({100, 100, 400, 300}, 0xff0000, 5001, "Other"));
    Window other = x.create(Spec({40, 600, 100, 100}, 0x00ff00, 5002, "Other"));
    x.paint(other, {10, 10, 20, 20}, 0xffff00);
    Window ours = x.create(Spec({300, 200, 400, 300}, 0x0000ff, getpid(), "Zimlo"));
    Window listed = x.create(Spec({900, 100, 200, 200}, 0xff00ff, 6000, "Excluded"));
    (void)ours;

    RunningStream run(ContentFilter::forDisplay(mainDisplay(), {static_cast<uint32_t>(listed)}),
                      fullSize());
    ASSERT_FALSE(run.startError) << run.startError->what();
    auto frame = run.log.waitFor([](const media::PixelBuffer&) { return true; });
    ASSERT_TRUE(frame);
    const auto& image = *frame->pixels;
    ASSERT_EQ(image.width(), 1920);
    ASSERT_EQ(image.height(), 1080);
    EXPECT_EQ(rgbAt(image, 150, 150), 0xff0000u);   // other window, uncovered
    EXPECT_EQ(rgbAt(image, 350, 250), 0xff0000u);   // other window under ours
    EXPECT_EQ(rgbAt(image, 600, 450), 0x000000u);   // root background under ours
    EXPECT_EQ(rgbAt(image, 1000, 200), 0x000000u);  // excluded by the filter
    EXPECT_EQ(rgbAt(image, 55, 615), 0xffff00u);    // what the second window drew
    EXPECT_EQ(rgbAt(image, 45, 605), 0x00ff00u);
    EXPECT_EQ(rgbAt(image, 1500, 900), 0x000000u);
    EXPECT_EQ(image.data()[3], 0xff);  // opaque

    // The same screen with our windows allowed shows them: the exclusion did the work above.
    ScreenStreamConfiguration withOurs = fullSize();
    withOurs.excludesCurrentProcessWindows = false;
    RunningStream plain(ContentFilter::forDisplay(mainDisplay(), {}), withOurs);
    auto shown = plain.log.waitFor([](const media::PixelBuffer&) { return true; });
    ASSERT_TRUE(shown);
    EXPECT_EQ(rgbAt(*shown->pixels, 600, 450), 0x0000ffu);
    EXPECT_EQ(rgbAt(*shown->pixels, 1000, 200), 0xff00ffu);
}

TEST(ScreenStream, CoveredWindowIsCapturedWholeAndFollowsResize) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Window target = x.create(Spec({200, 200, 320, 240}, 0xff0000, 5001, "Target"));
    x.paint(target, {10, 10, 60, 60}, 0x00ff00);
    x.paint(target, {250, 170, 60, 60}, 0x0000ff);
    // Covers the blue square entirely.
    x.create(Spec({400, 300, 300, 300}, 0xffff00, 5002, "Cover"));

    ScreenStreamConfiguration config = fullSize();
    config.width = 320;
    config.height = 240;
    RunningStream run(ContentFilter::forWindow(static_cast<uint32_t>(target)), config);
    ASSERT_FALSE(run.startError) << run.startError->what();
    auto frame =
        run.log.waitFor([](const media::PixelBuffer& p) { return rgbAt(p, 280, 200) == 0x0000ff; });
    ASSERT_TRUE(frame) << "the covered part never showed the window's own picture";
    EXPECT_EQ(rgbAt(*frame->pixels, 30, 30), 0x00ff00u);
    EXPECT_EQ(rgbAt(*frame->pixels, 150, 120), 0xff0000u);
    EXPECT_EQ(rgbAt(*frame->pixels, 0, 0), 0xff0000u);
    EXPECT_EQ(rgbAt(*frame->pixels, 319, 239), 0xff0000u);

    // Twice as wide: the new pixmap is picked up and letterboxed into the same frame size.
    XResizeWindow(x.display(), target, 640, 240);
    XSync(x.display(), False);
    auto wide = run.log.waitFor([](const media::PixelBuffer& p) {
        return rgbAt(p, 160, 10) == 0 && rgbAt(p, 160, 230) == 0 && rgbAt(p, 160, 120) != 0;
    });
    ASSERT_TRUE(wide) << "resize not followed";
    EXPECT_EQ(wide->pixels->width(), 320);
}

TEST(ScreenStream, CursorIsBlendedWhenShown) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    XWarpPointer(x.display(), None, DefaultRootWindow(x.display()), 0, 0, 0, 0, 1500, 900);
    XSync(x.display(), False);
    auto countLit = [](const media::PixelBuffer& image) {
        int lit = 0;
        for (int y = 868; y < 932; ++y)
            for (int x = 1468; x < 1532; ++x) lit += rgbAt(image, x, y) != 0;
        return lit;
    };
    ContentFilter filter = ContentFilter::forDisplay(mainDisplay(), {});
    EXPECT_GT(countLit(*captureImage(filter, 1920, 1080, true).value()), 10);
    EXPECT_EQ(countLit(*captureImage(filter, 1920, 1080, false).value()), 0);
}

// The pointer is asked for only when a device moved it, or now and then for a program's warp:
// on a still screen both kinds of move still reach the recording.
TEST(ScreenStream, PointerMovesOverAStillScreenAreFollowed) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    const Window root = DefaultRootWindow(x.display());
    XWarpPointer(x.display(), None, root, 0, 0, 0, 0, 200, 200);
    XSync(x.display(), False);
    auto pointerAt = [](int px, int py) {
        return [px, py](const media::PixelBuffer& image) {
            int lit = 0;
            for (int y = py - 2; y < py + 24; ++y)
                for (int x = px - 2; x < px + 24; ++x) lit += rgbAt(image, x, y) != 0;
            return lit > 10;
        };
    };
    RunningStream run(ContentFilter::forDisplay(mainDisplay(), {}), fullSize(true));
    ASSERT_FALSE(run.startError) << run.startError->what();
    ASSERT_TRUE(run.log.waitFor(pointerAt(200, 200)));
    std::this_thread::sleep_for(1500ms);  // a still screen: only the once-a-second picture

    // A device's move (a relative one goes through XTest, as a mouse's would; xdotool's
    // absolute move is a warp).
    const std::string move =
        "DISPLAY=" + test::XvfbEnvironment::displayName() + " xdotool mousemove_relative 1300 700";
    ASSERT_EQ(std::system(move.c_str()), 0);
    auto moved = run.log.waitFor(pointerAt(1500, 900), 3s);
    ASSERT_TRUE(moved) << "a moved pointer was not followed";
    EXPECT_FALSE(pointerAt(200, 200)(*moved->pixels));

    // A program's warp makes no device motion: caught by the occasional question.
    XWarpPointer(x.display(), None, root, 0, 0, 0, 0, 600, 400);
    XSync(x.display(), False);
    EXPECT_TRUE(run.log.waitFor(pointerAt(600, 400), 3s)) << "a warped pointer was not followed";
}

TEST(ScreenStream, SinglePictureReportsAnUnreachableDisplay) {
    auto image =
        captureImage(ContentFilter::forDisplay(mainDisplay(), {}), 64, 64, false, true, ":9999");
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().kind(), screen::CaptureError::Kind::displayUnreachable);
}

TEST(ScreenStream, StillScreenSendsOnePictureASecondAndChangesAtOnce) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Window w = x.create(Spec({100, 100, 200, 200}, 0x336699, 5001, "Still"));
    ScreenStreamConfiguration config = fullSize();
    config.width = 960;
    config.height = 540;
    RunningStream run(ContentFilter::forDisplay(mainDisplay(), {}), config);
    ASSERT_FALSE(run.startError) << run.startError->what();
    ASSERT_TRUE(run.log.waitFor(
        [](const media::PixelBuffer& p) { return rgbAt(p, 100, 100) == 0x336699; }));
    // Let the start-up exposures settle, then watch a still second and a half: of its 30
    // ticks only the picture repeated once a second reaches the consumer, without a new grab.
    std::this_thread::sleep_for(2500ms);
    size_t before = run.log.samples().size();
    std::this_thread::sleep_for(1500ms);
    auto samples = run.log.samples();
    EXPECT_GE(samples.size() - before, 1u);
    EXPECT_LE(samples.size() - before, 3u);
    for (size_t i = before; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].status, media::FrameStatus::complete);
        EXPECT_EQ(samples[i].pixels, samples[i - 1].pixels);  // no new grab, no new buffer
    }
    for (size_t i = 1; i < samples.size(); ++i) {
        EXPECT_GT(samples[i].presentationTime, samples[i - 1].presentationTime);
    }

    // Just after a repeated picture, the next is a second away: the change must not wait
    // for it (the capture sleeps through a still screen, and the damage wakes it).
    const size_t repeated = run.log.samples().size();
    while (run.log.samples().size() == repeated) std::this_thread::sleep_for(5ms);
    const media::MediaTime paintedAt = media::MonotonicClock::now();
    x.paint(w, {0, 0, 200, 200}, 0x00ff00);
    auto changed =
        run.log.waitFor([](const media::PixelBuffer& p) { return rgbAt(p, 100, 100) == 0x00ff00; });
    ASSERT_TRUE(changed);
    EXPECT_LT((changed->presentationTime - paintedAt).seconds(), 0.5);
}

// BT.709 video range of an sRGB colour, as the encoder's movies are tagged.
std::array<double, 3> videoRangeYUV(uint32_t rgb) {
    const double r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {16 + 219 * y / 255, 128 + 224 * (b - y) / 1.8556 / 255,
            128 + 224 * (r - y) / 1.5748 / 255};
}

std::array<int, 3> yuvAt(const media::PixelBuffer& p, int x, int y) {
    const uint8_t* chroma = p.data(1) + static_cast<size_t>(y / 2) * p.stride(1) + (x & ~1);
    return {p.data(0)[static_cast<size_t>(y) * p.stride(0) + x], chroma[0], chroma[1]};
}

TEST(ScreenStream, DeliversNV12ForTheEncoderWhenAskedAtFullAndScaledSizes) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    x.create(Spec({100, 100, 200, 200}, 0x336699, 5001, "Coloured"));
    const auto expected = videoRangeYUV(0x336699);
    auto near = [&](const std::array<int, 3>& yuv) {
        for (int i = 0; i < 3; ++i)
            if (std::abs(yuv[i] - expected[i]) > 2) return false;
        return true;
    };
    // Full size (converted as grabbed), half size (scaled first) and another shape (scaled
    // and centred on black bars above and below).
    struct Case {
        int width, height, windowX, windowY;
    };
    for (const Case& c :
         {Case{1920, 1080, 200, 200}, Case{960, 540, 100, 100}, Case{800, 600, 83, 158}}) {
        ScreenStreamConfiguration config = fullSize();
        config.width = c.width;
        config.height = c.height;
        config.pixelFormat = media::PixelFormat::NV12VideoRange;
        RunningStream run(ContentFilter::forDisplay(mainDisplay(), {}), config);
        ASSERT_FALSE(run.startError) << run.startError->what();
        auto frame = run.log.waitFor([&](const media::PixelBuffer& p) {
            return p.format() == media::PixelFormat::NV12VideoRange &&
                   near(yuvAt(p, c.windowX, c.windowY));
        });
        ASSERT_TRUE(frame) << c.width << "x" << c.height << ": the window's colour never came";
        EXPECT_EQ(frame->pixels->width(), c.width);
        EXPECT_EQ(frame->pixels->height(), c.height);
        if (c.height == 600) {
            EXPECT_EQ(yuvAt(*frame->pixels, 400, 10), (std::array<int, 3>{16, 128, 128}));
            EXPECT_EQ(yuvAt(*frame->pixels, 400, 590), (std::array<int, 3>{16, 128, 128}));
        }
    }
}

TEST(ScreenStream, ClosedWindowStopsTheStreamWithAnError) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Window target = x.create(Spec({200, 200, 320, 240}, 0xff0000, 5001, "Target"));
    ScreenStreamConfiguration config = fullSize();
    config.width = 320;
    config.height = 240;
    std::promise<screen::CaptureError> stopped;
    SerialQueue queue(".test-screen-stream");
    ScreenStream stream(ContentFilter::forWindow(static_cast<uint32_t>(target)), config);
    stream.setFrameHandler([](const media::VideoSample&) {}, &queue);
    stream.setStopHandler([&](const screen::CaptureError& error) { stopped.set_value(error); });
    std::promise<std::optional<screen::CaptureError>> started;
    stream.startCapture(
        [&](std::optional<screen::CaptureError> error) { started.set_value(error); });
    ASSERT_FALSE(started.get_future().get());
    XDestroyWindow(x.display(), target);
    XSync(x.display(), False);
    auto future = stopped.get_future();
    ASSERT_EQ(future.wait_for(15s), std::future_status::ready);
    EXPECT_EQ(future.get().kind(), screen::CaptureError::Kind::windowClosed);
    EXPECT_FALSE(stream.isRunning());

    ScreenStream missing(ContentFilter::forWindow(static_cast<uint32_t>(target)), config);
    std::promise<std::optional<screen::CaptureError>> failed;
    missing.startCapture(
        [&](std::optional<screen::CaptureError> error) { failed.set_value(error); });
    const auto failure = failed.get_future().get();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind(), screen::CaptureError::Kind::windowMissing);
}

TEST(ScreenStream, SlowConsumerLosesFramesInsteadOfQueueingThem) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Window w = x.create(Spec({100, 100, 200, 200}, 0x000010, 5001, "Busy"));
    ScreenStreamConfiguration config = fullSize();
    config.width = 480;
    config.height = 270;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex mutex;
    std::vector<media::MediaTime> handled;
    SerialQueue queue(".test-screen-stream");
    ScreenStream stream(ContentFilter::forDisplay(mainDisplay(), {}), config);
    stream.setFrameHandler(
        [&](const media::VideoSample& s) {
            bool first;
            {
                std::lock_guard lock(mutex);
                first = handled.empty();
                handled.push_back(s.presentationTime);
            }
            if (first) released.wait();  // a consumer stuck on its first frame
        },
        &queue);
    std::promise<std::optional<screen::CaptureError>> started;
    stream.startCapture(
        [&](std::optional<screen::CaptureError> error) { started.set_value(error); });
    ASSERT_FALSE(started.get_future().get());
    // Changing content for a while, so that every tick has a new picture to offer.
    for (int i = 0; i < 40; ++i) {
        x.paint(w, {0, 0, 200, 200}, static_cast<uint32_t>(0x101010 * (i % 15 + 1)));
        std::this_thread::sleep_for(30ms);
    }
    media::MediaTime releasedAt = media::MonotonicClock::now();
    EXPECT_GT(stream.droppedFrameCount(), 0u);
    release.set_value();
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(mutex);
            if (!handled.empty() && handled.back() > releasedAt) break;
        }
        std::this_thread::sleep_for(5ms);
    }
    stream.stopCapture();
    std::lock_guard lock(mutex);
    ASSERT_FALSE(handled.empty());
    EXPECT_GT(handled.back(), releasedAt);
    // Besides the stuck one, at most the queue depth of frames from before the release waited.
    int stale = 0;
    for (size_t k = 1; k < handled.size(); ++k) stale += handled[k] < releasedAt;
    EXPECT_LE(stale, config.queueDepth);
    EXPECT_GE(stale, 1);
}

}  // namespace
}  // namespace zimlo::x11
