#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "SourceTestSupport.h"
#include "capture/CapturePermissions.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/storage/RecordingFolder.h"
#include "sandbox/PulseServer.h"
#include "support/TestMain.h"

namespace zimlo::capture {
namespace {

using test::displayTarget;
using test::frameAt;
using test::windowTarget;
namespace fs = std::filesystem;

RecordingSettings settings(int w, int h, const std::string& name, CaptureFrameRate rate) {
    return RecordingSettings(RecordingResolution{w, h, name}, rate);
}

TEST(ScreenCameraSourceStatus, CaptureSizeAndStatusText) {
    auto p1080 = settings(1920, 1080, "1080p", CaptureFrameRate::fps30);
    EXPECT_EQ(ScreenCameraSource::captureSize(windowTarget(1601, 901), p1080),
              (zimlo::PixelSize{1600, 900}));
    EXPECT_EQ(ScreenCameraSource::captureSize(displayTarget(3840, 2160),
                                              settings(1280, 720, "720p", CaptureFrameRate::fps30)),
              (zimlo::PixelSize{1280, 720}));
    EXPECT_EQ(ScreenCameraSource::captureSize(displayTarget(3024, 1964), p1080),
              (zimlo::PixelSize{1920, 1246}));

    ScreenCaptureStatus window{1280, 800, 1920, 1080, p1080, false, 29.6};
    EXPECT_EQ(
        window.displayText(),
        "实际采样：1280×800 · 目标：1080p / 30fps · 实际约30fps（窗口源像素不足，按实际像素录制）");
    ScreenCaptureStatus display{
        1280, 720, 1280, 720, settings(1280, 720, "720p", CaptureFrameRate::fps60), true, {}};
    EXPECT_EQ(display.displayText(), "实际采样：1280×720 · 目标：720p / 60fps");
    display.actualWidth = 1000;
    display.measuredFrameRate = 59.5;  // halves round away from zero
    EXPECT_EQ(
        display.displayText(),
        "实际采样：1000×720 · 目标：720p / 60fps · 实际约60fps（屏幕源像素不足，按实际像素录制）");
}

TEST(ScreenCameraSourceStatus, FrameRateReportsFollowTheThresholds) {
    auto source = ScreenCameraSource::create(displayTarget(1920, 1080));
    std::vector<ScreenCaptureStatus> reports;
    int previewed = 0;
    source->onScreenCaptureStatusChange = [&](ScreenCaptureStatus s) { reports.push_back(s); };
    source->onScreenFrame = [&](const media::VideoSample&) { ++previewed; };
    double t = 100;
    auto feed = [&](double fps, double seconds, int w = 1920, int h = 1080,
                    std::optional<media::FrameStatus> status = media::FrameStatus::complete) {
        source->screenQueue().sync([&] {
            for (int i = 0; i < static_cast<int>(std::lround(fps * seconds)); ++i) {
                source->onScreenSample(frameAt(t, w, h, status));
                t += 1.0 / fps;
            }
        });
        zimlo::test::mainLoop().runPending();
    };

    feed(60, 1.0);
    feed(60, 0.05);  // the frame that closes the first window
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[0].measuredFrameRate.has_value());  // size first, at once
    EXPECT_EQ(reports[0].actualWidth, 1920);
    EXPECT_TRUE(reports[0].isDisplayCapture);
    EXPECT_NEAR(*reports[1].measuredFrameRate, 60, 0.6);

    feed(59.3, 2.0);  // within 1 of the last report: nothing new
    feed(60.8, 2.0);
    EXPECT_EQ(reports.size(), 2u);
    // Idle frames are neither previewed nor measured.
    int previewedBefore = previewed;
    feed(60, 3.0, 1920, 1080, media::FrameStatus::idle);
    EXPECT_EQ(previewed, previewedBefore);
    EXPECT_EQ(reports.size(), 2u);

    feed(45, 2.5);
    ASSERT_GE(reports.size(), 3u);
    // The window that spanned the idle gap counts few frames over a long time, then 45 settles.
    EXPECT_NEAR(*reports.back().measuredFrameRate, 45, 1.0);
    auto lastRate = reports.back().measuredFrameRate;

    feed(45, 0.1, 1280, 720);  // a new size is reported at once, with the last rate
    EXPECT_EQ(reports.back().actualWidth, 1280);
    EXPECT_EQ(reports.back().measuredFrameRate, lastRate);
    EXPECT_EQ(reports.back().requestedWidth, 1920);
}

TEST(ScreenCameraSourceRecording, StartsOnceFinishesOnceAndRefusesSettingsWhileRecording) {
    auto dir = fs::temp_directory_path() / ("zimlo-source-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    ScreenCameraSource::Options options;
    options.recordingsDirectory = dir;
    auto source = ScreenCameraSource::create(displayTarget(640, 480), options);
    std::vector<CaptureState> states;
    int finishes = 0;
    std::optional<fs::path> mainURL, pipURL;
    source->onStateChange = [&](CaptureState s) { states.push_back(s); };
    source->onFinishRecording = [&](auto main, auto pip) {
        ++finishes;
        mainURL = main;
        pipURL = pip;
    };

    source->stopRecording();  // nothing to stop
    source->startRecording(true);
    auto firstMain = source->mainOutputPath();
    source->startRecording(true);
    EXPECT_EQ(source->mainOutputPath(), firstMain);
    EXPECT_TRUE(source->isRecording());
    ASSERT_TRUE(firstMain && firstMain->filename().string().starts_with("zimlo_screen_"));
    // In a folder of the recording's own, held while the source keeps it.
    ASSERT_TRUE(source->recordingFolder());
    EXPECT_EQ(firstMain->parent_path(), source->recordingFolder()->path());
    EXPECT_EQ(firstMain->parent_path().parent_path(), dir);
    EXPECT_TRUE(RecordingFolder::adoptAbandoned(dir).empty());
    EXPECT_EQ(source->pipOutputPath()->filename().string(),
              "zimlo_camera_" + firstMain->filename().string().substr(13));

    std::optional<SourceError> refused;
    source->applyRecordingSettings(settings(1280, 720, "720p", CaptureFrameRate::fps60),
                                   [&](std::optional<SourceError> e) { refused = e; });
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->description(), "录制过程中不能修改录制参数");
    EXPECT_EQ(source->recordingSettings(), RecordingSettings::defaultSettings());

    source->stopRecording();
    EXPECT_FALSE(source->isRecording());
    source->stopRecording();
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return finishes > 0; }));
    zimlo::test::mainLoop().runFor(std::chrono::milliseconds(100));
    EXPECT_EQ(finishes, 1);
    EXPECT_EQ(mainURL, firstMain);
    EXPECT_EQ(pipURL, source->pipOutputPath());  // the camera writer never got a frame: no file
    EXPECT_FALSE(fs::exists(*mainURL));
    EXPECT_FALSE(fs::exists(*pipURL));
    EXPECT_EQ(source->state(), CaptureState::stopped());
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), CaptureState::stopped());

    // Without the camera picture only the screen movie is reported.
    source->startRecording(false);
    source->stopRecording();
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return finishes == 2; }));
    EXPECT_FALSE(pipURL.has_value());
    fs::remove_all(dir);
}

// Two recordings started in the same second (two windows, the tool beside the app) each write
// movies of their own, and a file that happens to carry a recording's name is left alone.
TEST(ScreenCameraSourceRecording, RecordingsStartedTogetherWriteTheirOwnFilesAndNoOneElses) {
    auto dir = fs::temp_directory_path() / ("zimlo-source-claim-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const long long now = static_cast<long long>(std::time(nullptr));
    std::vector<fs::path> foreign;
    for (long long second : {now, now + 1}) {
        foreign.push_back(dir / ("zimlo_screen_" + std::to_string(second) + ".mov"));
        std::ofstream(foreign.back()) << "someone else's";
    }
    ScreenCameraSource::Options options;
    options.recordingsDirectory = dir;
    struct Recording {
        std::shared_ptr<ScreenCameraSource> source;
        std::optional<std::pair<std::optional<fs::path>, std::optional<fs::path>>> files;
    };
    std::vector<Recording> recordings(2);
    for (auto& recording : recordings) {
        recording.source = ScreenCameraSource::create(displayTarget(64, 48), options);
        recording.source->onFinishRecording = [&recording](auto main, auto pip) {
            recording.files.emplace(main, pip);
        };
        recording.source->startRecording(true);
    }
    // Stamped on the capture clock, as the stop is: the movies last from the first picture to
    // the stop.
    const double start = media::MonotonicClock::nowSeconds();
    for (int i = 0; i < 10; ++i) {
        for (auto& recording : recordings) {
            recording.source->onScreenSample(frameAt(start + i / 30.0, 64, 48));
            recording.source->onCameraFrame(frameAt(start + i / 30.0, 64, 48));
        }
    }
    for (auto& recording : recordings) recording.source->stopRecording();
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return recordings[0].files && recordings[1].files; },
                                       std::chrono::seconds(60)));

    const auto& [firstMain, firstCamera] = *recordings[0].files;
    const auto& [secondMain, secondCamera] = *recordings[1].files;
    ASSERT_TRUE(firstMain && secondMain && firstCamera && secondCamera);
    EXPECT_NE(*firstMain, *secondMain);
    EXPECT_NE(*firstCamera, *secondCamera);
    for (const auto& movie : {*firstMain, *secondMain, *firstCamera, *secondCamera}) {
        EXPECT_EQ(std::count(foreign.begin(), foreign.end(), movie), 0) << movie;
        EXPECT_GT(fs::file_size(movie), 1000u) << movie;
    }
    // A recording's screen and camera movies share their name's number and suffix.
    EXPECT_EQ(secondCamera->filename().string().substr(13),
              secondMain->filename().string().substr(13));
    for (const auto& file : foreign) {
        std::ifstream in(file);
        std::string contents((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(contents, "someone else's") << file;
    }
    fs::remove_all(dir);
}

std::vector<camera::CameraFormat> threeFormats() {
    return {{640, 480, V4L2_PIX_FMT_YUYV, {{1, 30}}},
            {1280, 720, V4L2_PIX_FMT_YUYV, {{1, 30}}},
            {1920, 1080, V4L2_PIX_FMT_YUYV, {{1, 30}}}};
}

TEST(ScreenCameraSourceCamera, StartsMirroredCameraAndRollsBackFailures) {
    int attempts = 0;
    camera::GeneratedCamera::Options failing;
    failing.failsToOpen = true;
    camera::GeneratedCamera::Options working;
    working.formats = threeFormats();
    auto good = std::make_shared<camera::GeneratedCamera>(working);
    ScreenCameraSource::Options options;
    options.cameraDiscovery = [&]() -> std::shared_ptr<camera::CameraDevice> {
        ++attempts;
        if (attempts == 1) return nullptr;
        if (attempts == 2) return std::make_shared<camera::GeneratedCamera>(failing);
        return good;
    };
    auto source = ScreenCameraSource::create(displayTarget(640, 480), options);
    source->setRecordingSettings(settings(1920, 1080, "1080p", CaptureFrameRate::fps60));

    auto start = [&] {
        std::optional<ScreenCameraSource::CameraStart> result;
        source->startCamera([&](ScreenCameraSource::CameraStart r) { result = r; });
        EXPECT_TRUE(zimlo::test::pumpUntil([&] { return result.has_value(); }));
        return *result;
    };
    auto none = start();
    ASSERT_TRUE(none.error.has_value());
    EXPECT_EQ(none.error->description(), "无法获取电脑摄像头");
    auto refused = start();
    ASSERT_TRUE(refused.error.has_value());
    EXPECT_NE(refused.error->description().find("Permission denied"), std::string::npos);
    EXPECT_FALSE(source->isCameraConfigured());

    auto started = start();
    ASSERT_FALSE(started.error.has_value());
    ASSERT_TRUE(started.previewLayer);
    EXPECT_TRUE(source->isCameraConfigured());
    // 1080p at 60 fps asked of a camera that does at most 30: 1920x1080 at 30.
    EXPECT_EQ(good->activeFormat(), (camera::CameraFormatChoice{2, 30}));
    ASSERT_TRUE(
        zimlo::test::pumpUntil([&] { return started.previewLayer->latestFrame().has_value(); }));
    auto frame = *started.previewLayer->latestFrame();
    EXPECT_EQ(frame.width(), 1920);
    uint32_t topRight;
    std::memcpy(&topRight, frame.pixels->data() + (1919 - 5) * 4, 4);
    EXPECT_EQ(topRight, 0xffff0000u);  // the marker drawn top-left shows mirrored

    // A second start keeps the configured camera.
    EXPECT_FALSE(start().error.has_value());
    EXPECT_EQ(attempts, 3);

    source->stopCamera();
    ASSERT_TRUE(zimlo::test::pumpUntil(
        [&] { return !good->isStreaming() && !source->isCameraConfigured(); }));
}

// A camera that opens but offers no format that can be chosen is closed again, not kept.
TEST(ScreenCameraSourceCamera, ACameraWithNoUsableFormatIsNotKept) {
    camera::GeneratedCamera::Options unusable;
    unusable.formats = {{640, 480, V4L2_PIX_FMT_YUYV, {}}};  // no frame rate at all
    auto device = std::make_shared<camera::GeneratedCamera>(unusable);
    ScreenCameraSource::Options options;
    options.cameraDiscovery = [device]() -> std::shared_ptr<camera::CameraDevice> {
        return device;
    };
    auto source = ScreenCameraSource::create(displayTarget(640, 480), options);
    std::optional<ScreenCameraSource::CameraStart> result;
    source->startCamera([&](ScreenCameraSource::CameraStart r) { result = r; });
    ASSERT_TRUE(zimlo::test::pumpUntil([&] { return result.has_value(); }));
    ASSERT_TRUE(result->error.has_value());
    EXPECT_EQ(result->error->description(), "无法配置摄像头");
    EXPECT_FALSE(result->previewLayer);
    EXPECT_FALSE(source->isCameraConfigured());
    EXPECT_FALSE(device->isStreaming());
}

// A camera that opens but refuses its format or to stream: the failure the device returned
// comes back in the user's words, the camera is closed again, and a working camera still starts.
class RefusingCamera : public camera::GeneratedCamera {
  public:
    enum class Refuses { format, streaming };
    explicit RefusingCamera(Refuses refuses) : refuses_(refuses) {}
    Result<void, camera::CameraError> setActiveFormat(size_t index,
                                                      double framesPerSecond) override {
        if (refuses_ == Refuses::format)
            return fail(
                camera::CameraError(camera::CameraError::Kind::cannotSetFormat, "fake", EINVAL));
        return GeneratedCamera::setActiveFormat(index, framesPerSecond);
    }
    Result<void, camera::CameraError> startStreaming(FrameHandler onFrame) override {
        if (refuses_ == Refuses::streaming)
            return fail(camera::CameraError(camera::CameraError::Kind::busy, "fake", EBUSY));
        return GeneratedCamera::startStreaming(std::move(onFrame));
    }
    void close() override {
        closed = true;
        GeneratedCamera::close();
    }
    std::atomic<bool> closed{false};

  private:
    Refuses refuses_;
};

TEST(ScreenCameraSourceCamera, ACameraThatRefusesItsFormatOrToStreamIsClosedAgain) {
    using Refuses = RefusingCamera::Refuses;
    const std::pair<Refuses, std::string> cases[] = {
        {Refuses::format, "无法设置摄像头格式：Invalid argument"},
        {Refuses::streaming, "摄像头正被占用：Device or resource busy"},
    };
    for (const auto& [refuses, text] : cases) {
        auto refusing = std::make_shared<RefusingCamera>(refuses);
        auto good = std::make_shared<camera::GeneratedCamera>();
        std::shared_ptr<camera::CameraDevice> next = refusing;
        ScreenCameraSource::Options options;
        options.cameraDiscovery = [&]() { return next; };
        auto source = ScreenCameraSource::create(displayTarget(640, 480), options);
        auto start = [&] {
            std::optional<ScreenCameraSource::CameraStart> result;
            source->startCamera([&](ScreenCameraSource::CameraStart r) { result = r; });
            EXPECT_TRUE(zimlo::test::pumpUntil([&] { return result.has_value(); }));
            return result.value_or(ScreenCameraSource::CameraStart{});
        };
        auto refused = start();
        ASSERT_TRUE(refused.error.has_value()) << text;
        EXPECT_EQ(refused.error->description(), text);
        EXPECT_FALSE(refused.previewLayer);
        EXPECT_FALSE(source->isCameraConfigured());
        EXPECT_FALSE(refusing->isStreaming());
        EXPECT_TRUE(refusing->closed);

        next = good;
        auto started = start();
        EXPECT_FALSE(started.error.has_value()) << text;
        EXPECT_TRUE(source->isCameraConfigured());
        EXPECT_TRUE(good->isStreaming());
        source->stopCamera();
        EXPECT_TRUE(zimlo::test::pumpUntil([&] { return !good->isStreaming(); }));
    }
}

int sourceOutputIndex(const zimlo::sandbox::PulseServer& server) {
    std::string command = "pactl --server=" + server.address() + " list short source-outputs";
    FILE* pipe = ::popen(command.c_str(), "r");
    int index = -1;
    if (pipe) {
        if (std::fscanf(pipe, "%d", &index) != 1) index = -1;
        ::pclose(pipe);
    }
    return index;
}

TEST(ScreenCameraSourceMicrophone, ConfiguresTheSameDeviceOnceAndReportsAMissingOne) {
    auto& server = zimlo::sandbox::PulseServer::shared();
    auto source = ScreenCameraSource::create(displayTarget(640, 480));
    auto prepare = [&](ScreenCameraSource& s) {
        std::optional<std::optional<SourceError>> result;
        s.prepareMicrophone([&](std::optional<SourceError> e) { result = e; });
        EXPECT_TRUE(zimlo::test::pumpUntil([&] { return result.has_value(); }));
        return *result;
    };
    EXPECT_FALSE(prepare(*source).has_value());
    EXPECT_TRUE(source->isMicrophoneConfigured());
    int first = sourceOutputIndex(server);
    EXPECT_GE(first, 0);
    EXPECT_FALSE(prepare(*source).has_value());
    EXPECT_EQ(sourceOutputIndex(server), first);

    ScreenCameraSource::Options noMicrophone;
    noMicrophone.microphoneDiscovery = [] { return std::optional<audio::AudioSourceInfo>(); };
    auto without = ScreenCameraSource::create(displayTarget(640, 480), noMicrophone);
    auto error = prepare(*without);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description(), "无法获取麦克风");
    EXPECT_FALSE(without->isMicrophoneConfigured());
}

}  // namespace
}  // namespace zimlo::capture

namespace zimlo::capture {
namespace {

TEST(CapturePermissions, FollowTheDevices) {
    zimlo::sandbox::PulseServer::shared();
    EXPECT_EQ(microphoneAccess(), DeviceAccess::authorized);
    EXPECT_EQ(screenRecordingAccess(), DeviceAccess::authorized);
    camera::setCameraDiscovery([] { return std::shared_ptr<camera::CameraDevice>(); });
    EXPECT_EQ(authorizationStatus(cameraAccess()), AuthorizationStatus::notDetermined);
    camera::setCameraDiscovery([] {
        camera::GeneratedCamera::Options options;
        options.failsToOpen = true;
        return std::make_shared<camera::GeneratedCamera>(options);
    });
    EXPECT_EQ(authorizationStatus(cameraAccess()), AuthorizationStatus::denied);
    camera::setCameraDiscovery([] { return std::make_shared<camera::GeneratedCamera>(); });
    EXPECT_EQ(static_cast<int>(authorizationStatus(cameraAccess())), 3);
    camera::setCameraDiscovery(nullptr);
}

}  // namespace
}  // namespace zimlo::capture
