// The screen stream of the source on a private Xvfb: a stream that cannot start, that stops
// because its window is gone, that cannot be rebuilt, and a rebuild at a new size that also
// re-formats the camera.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "capture/ScreenCameraSource.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/x11/CaptureTargetList.h"
#include "platform/x11/TestWindows.h"
#include "sandbox/PulseServer.h"
#include "sandbox/XvfbServer.h"
#include "support/ResultValue.h"
#include "support/TestMain.h"

namespace zimlo::capture {
namespace {

using namespace std::chrono_literals;

RecordingSettings settingsOf(int width, int height, CaptureFrameRate rate) {
    return RecordingSettings(RecordingResolution{width, height, std::to_string(height) + "p"},
                             rate);
}

// The states a source reports, in order.
struct StateLog {
    std::vector<CaptureState> states;
    void attach(ScreenCameraSource& source) {
        source.onStateChange = [this](CaptureState s) { states.push_back(std::move(s)); };
    }
    bool reached(const CaptureState& state) const {
        return std::find(states.begin(), states.end(), state) != states.end();
    }
};

class SourceStream : public ::testing::Test {
  protected:
    void SetUp() override {
        zimlo::sandbox::PulseServer::shared();  // system sound comes with every stream
        xvfb = std::make_unique<zimlo::sandbox::XvfbServer>("640x480x24");
    }

    std::vector<ScreenCaptureTarget> targets() const {
        return ScreenCaptureTargetProvider::buildTargets(
            zimlo::test::valueOrFailure(x11::listCaptureTargets(xvfb->displayName().c_str())),
            ::getpid());
    }

    std::shared_ptr<ScreenCameraSource> sourceFor(const ScreenCaptureTarget& target,
                                                  ScreenCameraSource::Options options = {}) {
        if (options.displayName.empty()) options.displayName = xvfb->displayName();
        return ScreenCameraSource::create(target, options);
    }

    std::unique_ptr<zimlo::sandbox::XvfbServer> xvfb;
};

TEST_F(SourceStream, StartRunAndRestartFailuresBecomeFailedStates) {
    // No X server behind the name: configuring works (nothing is opened yet), starting fails.
    auto displays = targets();
    ASSERT_FALSE(displays.empty());
    ScreenCameraSource::Options nowhere;
    nowhere.displayName = ":4095";
    auto unreachable = sourceFor(displays.front(), nowhere);
    StateLog unreachableLog;
    unreachableLog.attach(*unreachable);
    ASSERT_TRUE(unreachable->configureScreenStream());
    unreachable->startScreenCapture();
    ASSERT_TRUE(test::pumpUntil([&] { return unreachable->state().isFailed(); }, 10s));
    EXPECT_EQ(unreachable->state().message.rfind("无法连接到 X 显示服务器", 0), 0u)
        << unreachable->state().message;
    test::pumpUntil([&] { return unreachableLog.reached(unreachable->state()); }, 5s);
    EXPECT_TRUE(unreachableLog.reached(unreachable->state()));

    // A window that goes away while it is captured stops the stream with an error.
    test::TestWindows x(xvfb->displayName());
    Window window =
        x.create(test::TestWindows::Spec({40, 40, 300, 200}, 0x3366cc, 5001, "Editor", "doc"));
    std::optional<ScreenCaptureTarget> target;
    for (const auto& t : targets())
        if (t.id == "window-" + std::to_string(window)) target = t;
    ASSERT_TRUE(target);
    auto source = sourceFor(*target);
    StateLog log;
    log.attach(*source);
    std::vector<ScreenCaptureStatus> reports;
    source->onScreenCaptureStatusChange = [&](ScreenCaptureStatus s) { reports.push_back(s); };
    source->setRecordingSettings(settingsOf(300, 200, CaptureFrameRate::fps30));
    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    ASSERT_TRUE(test::pumpUntil([&] { return !reports.empty(); }, 20s));
    EXPECT_EQ(source->state(), CaptureState::configured());

    XDestroyWindow(x.display(), window);
    XSync(x.display(), False);
    const CaptureState closed = CaptureState::failed("要录制的窗口已关闭");
    EXPECT_TRUE(test::pumpUntil([&] { return log.reached(closed); }, 10s));

    // Rebuilding the stream for new settings cannot find the window: the completion and the
    // state say so.
    std::optional<std::optional<SourceError>> applied;
    source->applyRecordingSettings(settingsOf(150, 100, CaptureFrameRate::fps24),
                                   [&](std::optional<SourceError> e) { applied = e; });
    ASSERT_TRUE(test::pumpUntil([&] { return applied.has_value(); }, 20s));
    ASSERT_TRUE(applied->has_value());
    EXPECT_EQ((*applied)->description(), "要录制的窗口已不存在");
    const CaptureState missing = CaptureState::failed("要录制的窗口已不存在");
    EXPECT_TRUE(test::pumpUntil([&] { return log.reached(missing); }, 10s));
    EXPECT_EQ(source->state(), missing);
}

TEST_F(SourceStream, NewSettingsRebuildTheStreamAtTheNewSizeAndReformatTheCamera) {
    camera::GeneratedCamera::Options formats;
    formats.formats = {{640, 480, V4L2_PIX_FMT_YUYV, {{1, 30}}},
                       {1280, 720, V4L2_PIX_FMT_YUYV, {{1, 30}}}};
    auto camera = std::make_shared<camera::GeneratedCamera>(formats);
    ScreenCameraSource::Options options;
    options.cameraDiscovery = [camera] { return camera; };
    auto source = sourceFor(targets().front(), options);
    std::mutex mutex;
    std::vector<std::pair<int, int>> frameSizes;
    source->onScreenFrame = [&](const media::VideoSample& sample) {
        std::lock_guard lock(mutex);
        frameSizes.emplace_back(sample.width(), sample.height());
    };
    auto framesSince = [&](size_t from) {
        std::lock_guard lock(mutex);
        return std::vector<std::pair<int, int>>(frameSizes.begin() + static_cast<long>(from),
                                                frameSizes.end());
    };
    auto frameCount = [&] {
        std::lock_guard lock(mutex);
        return frameSizes.size();
    };
    source->setRecordingSettings(settingsOf(1280, 720, CaptureFrameRate::fps30));
    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    std::optional<ScreenCameraSource::CameraStart> started;
    source->startCamera([&](ScreenCameraSource::CameraStart s) { started = s; });
    ASSERT_TRUE(test::pumpUntil([&] { return started && frameCount() > 0; }, 20s));
    ASSERT_FALSE(started->error.has_value());
    EXPECT_EQ(framesSince(0).back(), (std::pair{640, 480}));  // never above the display's size
    EXPECT_EQ(camera->activeFormat(), (camera::CameraFormatChoice{1, 30}));

    std::optional<std::optional<SourceError>> applied;
    source->applyRecordingSettings(settingsOf(320, 240, CaptureFrameRate::fps24),
                                   [&](std::optional<SourceError> e) { applied = e; });
    ASSERT_TRUE(test::pumpUntil([&] { return applied.has_value(); }, 20s));
    EXPECT_FALSE(applied->has_value()) << (*applied)->description();
    // The old stream has delivered its last frame before the new one started.
    const size_t mark = frameCount();
    ASSERT_TRUE(test::pumpUntil([&] { return frameCount() > mark + 2; }, 20s));
    for (const auto& size : framesSince(mark)) EXPECT_EQ(size, (std::pair{320, 240}));
    EXPECT_EQ(source->state(), CaptureState::configured());  // a good rebuild changes no state
    EXPECT_EQ(camera->activeFormat(), (camera::CameraFormatChoice{0, 24}));
    ASSERT_TRUE(test::pumpUntil(
        [&] {
            auto frame = started->previewLayer->latestFrame();
            return frame && frame->width() == 640;
        },
        10s));
    source->shutdown();
    source->screenQueue().sync([] {});
    source->cameraQueue().sync([] {});
}

// The pointer setting reaches the X11 grabber: frames of a still screen without the pointer,
// then, after the setting changes, with it drawn where it is.
// Not black: the X11 stream hands NV12 (video range, black luma 16) to the recording.
bool isLit(const media::PixelBuffer& pixels, int x, int y) {
    if (pixels.format() == media::PixelFormat::BGRA) return test::rgbAt(pixels, x, y) != 0;
    return pixels.data(0)[static_cast<size_t>(y) * pixels.stride(0) + x] > 16;
}

TEST_F(SourceStream, ThePointerIsDrawnOnlyWhenTheSettingsSaySo) {
    test::TestWindows x(xvfb->displayName());
    XWarpPointer(x.display(), None, DefaultRootWindow(x.display()), 0, 0, 0, 0, 320, 240);
    XSync(x.display(), False);
    auto source = sourceFor(targets().front());
    std::mutex mutex;
    std::shared_ptr<const media::PixelBuffer> latest;
    size_t frames = 0;
    source->onScreenFrame = [&](const media::VideoSample& sample) {
        std::lock_guard lock(mutex);
        latest = sample.pixels;
        ++frames;
    };
    // Lit pixels around the pointer in the newest frame, once `count` more frames came.
    auto litAroundPointer = [&](size_t after) {
        EXPECT_TRUE(test::pumpUntil(
            [&] {
                std::lock_guard lock(mutex);
                return frames >= after + 2;
            },
            20s));
        std::lock_guard lock(mutex);
        int lit = 0;
        for (int y = 210; y < 270 && latest; ++y)
            for (int x = 290; x < 350; ++x) lit += isLit(*latest, x, y);
        return lit;
    };
    RecordingSettings hidden = settingsOf(640, 480, CaptureFrameRate::fps30);
    hidden.showsCursor = false;
    source->setRecordingSettings(hidden);
    ASSERT_TRUE(source->configureScreenStream());
    source->startScreenCapture();
    EXPECT_EQ(litAroundPointer(0), 0);

    RecordingSettings shown = hidden;
    shown.showsCursor = true;
    std::optional<std::optional<SourceError>> applied;
    source->applyRecordingSettings(shown, [&](std::optional<SourceError> e) { applied = e; });
    ASSERT_TRUE(test::pumpUntil([&] { return applied.has_value(); }, 20s));
    EXPECT_FALSE(applied->has_value());
    size_t mark = 0;
    {
        std::lock_guard lock(mutex);
        mark = frames;
    }
    EXPECT_GT(litAroundPointer(mark), 10);
    source->shutdown();
    source->screenQueue().sync([] {});
}

// Starting capture before a stream was built says so.
TEST_F(SourceStream, StartingWithoutAStreamFails) {
    auto source = sourceFor(targets().front());
    StateLog log;
    log.attach(*source);
    source->startScreenCapture();
    const CaptureState missing = CaptureState::failed("无法创建新的录屏预览流");
    ASSERT_TRUE(test::pumpUntil([&] { return log.reached(missing); }, 5s));
    EXPECT_EQ(source->state(), missing);
}

// Our own windows are left out of what is captured; a lookup of them that hangs (a stuck X
// server) or fails holds the set-up up for at most two seconds and leaves nothing out.
TEST_F(SourceStream, AnOwnWindowLookupThatHangsOrFailsLeavesNothingOut) {
    auto released = std::make_shared<std::atomic<bool>>(false);
    struct Release {
        std::shared_ptr<std::atomic<bool>> released;
        ~Release() { *released = true; }
    } release{released};
    ScreenCameraSource::Options hanging;
    hanging.ownWindowQuery = [released] {
        while (!*released) std::this_thread::sleep_for(10ms);
        return std::vector<x11::WindowInfo>{};
    };
    ScreenCameraSource::Options failing;
    failing.ownWindowQuery = []() -> std::vector<x11::WindowInfo> {
        throw std::runtime_error("X server gone");
    };
    for (const ScreenCameraSource::Options* options : {&hanging, &failing}) {
        auto source = sourceFor(targets().front(), *options);
        const auto began = std::chrono::steady_clock::now();
        ASSERT_TRUE(source->configureScreenStream());
        const auto waited = std::chrono::steady_clock::now() - began;
        if (options == &hanging) {
            EXPECT_GE(waited, 1900ms);
            EXPECT_LT(waited, 10s);  // not for as long as the lookup hangs
        }
        std::atomic<int> frames{0};
        source->onScreenFrame = [&](const media::VideoSample&) { ++frames; };
        source->startScreenCapture();
        EXPECT_TRUE(test::pumpUntil([&] { return frames > 0; }, 20s));
        source->shutdown();
        source->screenQueue().sync([] {});
    }
}

}  // namespace
}  // namespace zimlo::capture
