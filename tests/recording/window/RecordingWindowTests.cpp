// The recording window on a private X server and PulseAudio daemon, with a generated camera:
// the record/stop flow, parameters, closing, the duration label and the camera window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <filesystem>
#include <memory>

#include "app/QtTestSupport.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "capture/ScreenRecordingAudioMixer.h"
#include "model/DraftStore.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/storage/UserDefaults.h"
#include "platform/x11/ShareableContent.h"
#include "recording/DraggableSubtitleView.h"
#include "recording/Permissions.h"
#include "recording/RecordingWindow.h"
#include "sandbox/PulseServer.h"

namespace zimlo::recording {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qttest::pumpUntil;

class RecordingWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zimlo::sandbox::PulseServer::shared();
        directory = fs::temp_directory_path() /
                    ("zimlo-window-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory);
        fs::create_directories(directory / "tmp");
        ScreenRecordingAudioMixer::setOutputDirectory(directory / "tmp");
        Permissions::setStatusProvider(
            [](PermissionKind) { return AuthorizationStatus::authorized; });
        store = std::make_shared<DraftStore>(directory / "Drafts");
        settingsStore = std::make_shared<RecordingSettingsStore>(
            std::make_shared<UserDefaults>(directory / "defaults.json"));

        auto content = x11::queryShareableContent();
        auto targets = capture::ScreenCaptureTargetProvider::buildTargets(content, ::getpid());
        ASSERT_FALSE(targets.empty());
        ASSERT_TRUE(targets.front().kind.isDisplay());
        target = targets.front();
    }

    void TearDown() override {
        Permissions::setStatusProvider(nullptr);
        ScreenRecordingAudioMixer::setOutputDirectory({});
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    RecordingView::Dependencies dependencies() {
        RecordingView::Dependencies deps;
        deps.sourceOptions.temporaryDirectory = directory / "tmp";
        auto generated = camera;
        deps.sourceOptions.cameraDiscovery = [generated] { return generated; };
        deps.finishServices.temporaryDirectory = directory / "tmp";
        deps.finishServices.saveDraft = [store = store](const RecordingProject& p) {
            return store->saveDraft(p);
        };
        deps.settingsStore = settingsStore;
        deps.clock = [now = now] { return *now; };
        return deps;
    }

    std::unique_ptr<RecordingView> makeController() {
        auto controller = std::make_unique<RecordingView>(target, dependencies());
        controller->resize(1180, 760);
        controller->show();
        return controller;
    }

    // Waits until the source reported its first measured status.
    static bool waitUntilReady(RecordingView& c) {
        return pumpUntil(
            [&] { return c.latestCaptureStatus().has_value() && c.recordButton()->isEnabled(); },
            20s);
    }

    fs::path directory;
    std::shared_ptr<DraftStore> store;
    std::shared_ptr<RecordingSettingsStore> settingsStore;
    std::shared_ptr<camera::GeneratedCamera> camera = std::make_shared<camera::GeneratedCamera>();
    std::shared_ptr<double> now = std::make_shared<double>(1000);
    capture::ScreenCaptureTarget target;
};

TEST_F(RecordingWindowTest, PressingRecordTwiceRecordsOnceAndStoppingSavesOneDraft) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    EXPECT_EQ(c->statusLabel()->text().toStdString(), c->latestCaptureStatus()->displayText());
    EXPECT_EQ(c->recordButton()->text(), QStringLiteral("开始录制"));

    int finished = 0;
    std::optional<RecordingProject> project;
    QString statusAtFinish;
    c->onFinish = [&](const RecordingProject& p) {
        ++finished;
        project = p;
        statusAtFinish = c->statusLabel()->text();
    };
    c->toggleRecording();
    EXPECT_TRUE(c->isPreparingRecordingAudio());
    EXPECT_FALSE(c->recordButton()->isEnabled());
    c->toggleRecording();  // still preparing the microphone: ignored
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    qttest::settle();  // the source's own report of the recording state keeps this status
    // The pipe source is the default input; the status names it.
    ASSERT_TRUE(c->source()->microphoneName().has_value());
    EXPECT_EQ(c->statusLabel()->text(), QStringLiteral("正在录制（电脑声音 + ") +
                                            QString::fromStdString(*c->source()->microphoneName()) +
                                            QStringLiteral("）"));
    EXPECT_EQ(c->recordButton()->text(), QStringLiteral("停止录制"));
    EXPECT_FALSE(c->parameterButton()->isEnabled());
    EXPECT_TRUE(c->source()->isRecording());

    // A second of recording so the writer has frames, then stop.
    const auto started = std::chrono::steady_clock::now();
    pumpUntil([&] { return std::chrono::steady_clock::now() - started > 1500ms; }, 5s);
    c->toggleRecording();
    EXPECT_EQ(c->recordButton()->text(), QStringLiteral("正在整理…"));
    EXPECT_FALSE(c->recordButton()->isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return finished > 0; }, 60s))
        << c->statusLabel()->text().toStdString();
    pumpUntil([] { return false; }, 500ms);  // a second hand-over would show up now
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(store->loadDrafts().size(), 1u);
    EXPECT_TRUE(statusAtFinish.startsWith(QStringLiteral("录制完成，已保存原始视频 · 实际采样：")))
        << statusAtFinish.toStdString();
    EXPECT_FALSE(c->isRecording());
    EXPECT_EQ(c->recordButton()->text(), QStringLiteral("开始录制"));
    EXPECT_TRUE(c->recordButton()->isEnabled());
    EXPECT_TRUE(c->parameterButton()->isEnabled());
    ASSERT_TRUE(project.has_value());
    EXPECT_FALSE(project->pipVideoURL.has_value());
    EXPECT_TRUE(project->pipTrack.empty());
}

TEST_F(RecordingWindowTest, ParameterChangesSupersedeEachOtherAndBlockRecording) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    ASSERT_GE(c->availableResolutions().size(), 2u);
    c->parameterTapped();
    ASSERT_NE(c->parameterController(), nullptr);
    const RecordingSettings first(c->availableResolutions().front(), CaptureFrameRate::fps24);
    const RecordingSettings second(c->availableResolutions().back(), CaptureFrameRate::fps60);
    c->parameterController()->onChange(first);
    EXPECT_FALSE(c->parameterController()->isInteractionEnabled());
    c->parameterController()->onChange(second);
    EXPECT_EQ(c->settingsUpdateSerial(), 2);
    EXPECT_TRUE(c->isApplyingRecordingSettings());
    EXPECT_EQ(c->statusLabel()->text(), QStringLiteral("正在应用录制参数…"));

    c->toggleRecording();  // while applying: nothing happens
    EXPECT_FALSE(c->isPreparingRecordingAudio());
    EXPECT_FALSE(c->isRecording());

    ASSERT_TRUE(pumpUntil([&] { return !c->isApplyingRecordingSettings(); }, 20s));
    // Only the second application's completion counted.
    EXPECT_EQ(c->statusLabel()->text(),
              QStringLiteral("参数已更新：") + QString::fromStdString(second.summary()));
    EXPECT_EQ(c->recordingSettings(), second);
    EXPECT_EQ(settingsStore->load(c->availableResolutions()), second);
    EXPECT_TRUE(c->recordButton()->isEnabled());
    EXPECT_TRUE(c->parameterButton()->isEnabled());
    ASSERT_NE(c->parameterController(), nullptr);
    EXPECT_TRUE(c->parameterController()->isInteractionEnabled());
    c->parameterController()->close();
}

TEST_F(RecordingWindowTest, ClosingBeforeRecordingCancelsOnceAndDuringRecordingSaves) {
    {
        auto c = makeController();
        int cancelled = 0;
        c->onCancel = [&] { ++cancelled; };
        ASSERT_TRUE(waitUntilReady(*c));
        c->closeTapped();
        EXPECT_EQ(cancelled, 1);
    }
    auto c = makeController();
    int cancelled = 0;
    std::optional<RecordingProject> saved;
    c->onCancel = [&] { ++cancelled; };
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c));
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    pumpUntil([] { return false; }, 1s);
    c->closeTapped();
    c->closeTapped();  // already stopping: nothing more
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 60s))
        << c->statusLabel()->text().toStdString();
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(store->loadDrafts().size(), 1u);
}

TEST_F(RecordingWindowTest, DurationLabelCountsWholeSecondsPastAnHour) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    EXPECT_EQ(c->durationLabel()->text(), QStringLiteral("00:00"));
    const double start = *c->recordStartTime();
    const std::pair<double, const char*> cases[] = {
        {3599.9, "59:59"}, {3600, "60:00"}, {75 * 60 + 3.5, "75:03"}};
    for (const auto& [elapsed, expected] : cases) {
        *now = start + elapsed;
        // The repeating timer picks the new time up by itself.
        EXPECT_TRUE(
            pumpUntil([&] { return c->durationLabel()->text() == QLatin1String(expected); }, 3s))
            << expected << " shown as " << c->durationLabel()->text().toStdString();
    }
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return !c->isRecording(); }, 60s));
}

TEST_F(RecordingWindowTest, CameraWindowTrackRestartsWhenTheCameraIsSwitchedAgain) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    c->cameraToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->pipView() != nullptr; }, 10s))
        << c->statusLabel()->text().toStdString();
    EXPECT_EQ(c->statusLabel()->text(), QStringLiteral("摄像头小窗已开启"));
    EXPECT_TRUE(c->aspect().isPiPEnabled);
    // Placed 28 points from the right and 88 below the top of the container.
    const QSize container = c->previewContainer()->size();
    EXPECT_EQ(c->pipView()->geometry(), QRect(container.width() - 220 - 28, 88, 220, 150));

    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    EXPECT_TRUE(c->source()->shouldRecordPiP());
    ASSERT_FALSE(c->pipTrack().empty());
    EXPECT_DOUBLE_EQ(c->pipTrack().back().time, 0);

    *now += 5;
    c->cameraToggle()->click();  // off during the recording
    EXPECT_TRUE(c->pipTrack().empty());
    EXPECT_EQ(c->pipView(), nullptr);
    EXPECT_FALSE(c->aspect().isPiPEnabled);
    *now += 2;
    c->cameraToggle()->click();  // and on again: a new track from the current time
    ASSERT_TRUE(pumpUntil([&] { return c->pipView() != nullptr; }, 10s));
    ASSERT_FALSE(c->pipTrack().empty());
    EXPECT_DOUBLE_EQ(c->pipTrack().front().time, 7);

    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return !c->isRecording(); }, 90s))
        << c->statusLabel()->text().toStdString();
}

TEST_F(RecordingWindowTest, WindowWithCameraAndSubtitleRegionScreenshot) {
    RecordingWindow windowController(target, dependencies());
    QWidget* window = windowController.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Zimlo录屏"));
    EXPECT_EQ(window->minimumSize(), QSize(920, 620));
    window->show();
    RecordingView& c = *windowController.recordingView();
    ASSERT_TRUE(waitUntilReady(c));
    c.cameraToggle()->click();
    c.subtitleToggle()->click();
    ASSERT_TRUE(
        pumpUntil([&] { return c.pipView() != nullptr && c.subtitleRegion()->isVisible(); }, 15s))
        << c.statusLabel()->text().toStdString();
    EXPECT_TRUE(c.subtitleRegion()->isShowingPlaceholder());
    EXPECT_EQ(window->size(), QSize(1180, 760));
    EXPECT_TRUE(qttest::saveScreenshot(window, QStringLiteral("recording-window.png")));
}

}  // namespace
}  // namespace zimlo::recording
