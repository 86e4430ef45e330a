// The recording window on a private X server and PulseAudio daemon, with a generated camera:
// the record/stop flow, parameters, closing, the duration label and the camera window.
#include <sys/mount.h>

#include <QAccessible>
#include <QApplication>
#include <QBoxLayout>
#include <QButtonGroup>
#include <QComboBox>
#include <QKeySequenceEdit>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

#include "OtherClient.h"
#include "RecordingWindowTestSupport.h"
#include "RootPainter.h"
#include "compose/VideoCompositor.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MonotonicClock.h"
#include "platform/speech/SpeechRecognizer.h"
#include "recording/CameraPreviewView.h"
#include "recording/GlobalShortcutEditor.h"
#include "recording/ScreenPreviewView.h"
#include "sandbox/PulseServer.h"
#include "sandbox/SpeechFeed.h"
#include "subtitles/SubtitleFiles.h"

namespace zimlo::recording {
namespace {

using namespace test;

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
    // What the status line says while the recording is saved: the finish's own steps, not the
    // source's report that it stopped.
    std::vector<QString> shown;
    ASSERT_TRUE(pumpUntil(
        [&] {
            if (shown.empty() || shown.back() != c->statusLabel()->text())
                shown.push_back(c->statusLabel()->text());
            return finished > 0;
        },
        60s))
        << c->statusLabel()->text().toStdString();
    EXPECT_EQ(shown.front(), QStringLiteral("正在保存录屏和摄像头小窗…"));
    EXPECT_EQ(std::count(shown.begin(), shown.end(), QStringLiteral("录制已停止")), 0)
        << shown.size() << " texts";
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
    EXPECT_FALSE(project->pipVideo.has_value());
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

// A full disk cuts the recording short: the window says so at once, keeps what was written as a
// draft (the drafts live on another disk here) and never claims the recording was completed.
TEST_F(RecordingWindowTest, AFullDiskStopsTheRecordingAndKeepsWhatWasWritten) {
    const fs::path small = directory / "tmp";
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "mounting a 1 MiB tmpfs needs root (CAP_SYS_ADMIN): "
                     << std::strerror(errno);
    // A busy screen fills the small disk within seconds; both end with the test, however it ends.
    struct Busy {
        fs::path mounted;
        capture::test::AnimatedScreen animation{
            std::getenv("DISPLAY"), {0, 0, 1920, 1080}, capture::test::AnimatedScreen::noise};
        ~Busy() {
            animation.stop();
            ::umount2(mounted.c_str(), MNT_DETACH);
        }
    } busy{small};
    auto c = makeController();
    std::optional<RecordingProject> saved;
    std::vector<QString> statuses;
    c->onFinish = [&](const RecordingProject& p) {
        saved = p;
        statuses.push_back(c->statusLabel()->text());
    };
    ASSERT_TRUE(waitUntilReady(*c));
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    ASSERT_TRUE(pumpUntil(
        [&] { return c->statusLabel()->text().startsWith(QStringLiteral("磁盘空间不足")); }, 60s))
        << c->statusLabel()->text().toStdString();
    EXPECT_FALSE(c->source()->isRecording());
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 60s))
        << c->statusLabel()->text().toStdString();
    EXPECT_EQ(statuses.back(), QStringLiteral("磁盘空间不足，录制已中断，已保存中断前的录制"));
    ASSERT_EQ(store->loadDrafts().size(), 1u);
    ASSERT_TRUE(saved->mainVideo);
    EXPECT_GT(media::availableDuration(*localFile(saved->mainVideo), 0), 0.0);
    EXPECT_EQ(c->recordButton()->text(), QStringLiteral("开始录制"));
}

// The sound server away at the start, back during the recording, then gone again: the window
// records the picture throughout and says each time what happened to the sound.
TEST_F(RecordingWindowTest, TheStatusFollowsTheSoundServerWhileThePictureGoesOn) {
    auto& pulse = zimlo::sandbox::PulseServer::shared();
    pulse.kill();
    struct Restart {
        zimlo::sandbox::PulseServer& pulse;
        bool needed = true;
        ~Restart() {
            if (needed) pulse.restart();
        }
    } restartAtTheEnd{pulse};
    auto c = makeController();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c)) << c->statusLabel()->text().toStdString();
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 20s));
    qttest::settle();
    EXPECT_EQ(c->statusLabel()->text(),
              QStringLiteral("正在录制（仅画面；电脑声音不可用：未连接到声音服务）"));

    pulse.restart();
    restartAtTheEnd.needed = false;
    ASSERT_TRUE(pumpUntil(
        [&] { return c->statusLabel()->text() == QStringLiteral("电脑声音已恢复，继续录制"); },
        15s))
        << c->statusLabel()->text().toStdString();
    pulse.kill();
    restartAtTheEnd.needed = true;
    ASSERT_TRUE(pumpUntil(
        [&] { return c->statusLabel()->text().startsWith(QStringLiteral("电脑声音中断（")); }, 15s))
        << c->statusLabel()->text().toStdString();
    EXPECT_TRUE(c->source()->isRecording());
    // The picture goes on without the sound for a while before the stop.
    const auto lost = std::chrono::steady_clock::now();
    pumpUntil([&] { return std::chrono::steady_clock::now() - lost > 2s; }, 5s);
    EXPECT_TRUE(c->source()->isRecording());
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 60s))
        << c->statusLabel()->text().toStdString();
    ASSERT_TRUE(saved->mainVideo);
    EXPECT_GT(media::availableDuration(*localFile(saved->mainVideo), 0), 2.0);
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
    // The system's temporary folder is one of this test's own: nothing may be left in it.
    const fs::path systemTemporary = directory / "system-tmp";
    fs::create_directories(systemTemporary);
    const char* previousTemporary = std::getenv("TMPDIR");
    const std::optional<std::string> restoredTemporary =
        previousTemporary ? std::optional<std::string>(previousTemporary) : std::nullopt;
    setenv("TMPDIR", systemTemporary.c_str(), 1);
    struct Restore {
        std::optional<std::string> value;
        ~Restore() {
            if (value)
                setenv("TMPDIR", value->c_str(), 1);
            else
                unsetenv("TMPDIR");
        }
    } restore{restoredTemporary};
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

    // A still screen gives a new picture once a second: the screen movie gets one.
    pumpUntil([] { return false; }, 1200ms);
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return !c->isRecording(); }, 90s))
        << c->statusLabel()->text().toStdString();
    // The composed movie was written with the other temporary files and went with them once
    // the draft had its copy.
    EXPECT_EQ(store->loadDrafts().size(), 1u) << c->statusLabel()->text().toStdString();
    EXPECT_TRUE(fs::is_empty(directory / "tmp"));
    EXPECT_TRUE(fs::is_empty(systemTemporary));
}

// While the processing overlay covers the window, nothing is captured or converted for the
// previews behind it; once the finish ends (the export failed, or was cancelled) they are live
// again and the next recording records the screen and the camera as before.
TEST_F(RecordingWindowTest, PreviewsRestWhileAMovieIsComposedAndComeBackAfterIt) {
    auto deps = dependencies();
    // The export after the stop stays under way until the test ends it.
    deps.finishServices.composesWhileRecording = false;
    std::function<void(RecordingFinishPipeline::ExportOutcome)> exportDone;
    std::function<void(double)> exportProgress;
    deps.finishServices.exportMovie =
        [&](const RecordingProject&, double, int,
            std::function<void(RecordingFinishPipeline::ExportOutcome)> done,
            std::function<void(double)> progress, std::shared_ptr<compose::ExportJob>) {
            exportDone = std::move(done);
            exportProgress = std::move(progress);
        };
    auto c = std::make_unique<RecordingView>(target, deps);
    c->resize(1180, 760);
    c->show();
    ASSERT_TRUE(waitUntilReady(*c));
    c->cameraToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->pipView() != nullptr; }, 10s));
    auto* cameraPreview = c->pipView()->findChild<CameraPreviewView*>();
    ASSERT_NE(cameraPreview, nullptr);
    auto* screenPreview = c->findChild<ScreenPreviewView*>();
    ASSERT_NE(screenPreview, nullptr);

    auto screenKey = [&] { return screenPreview->currentImage().cacheKey(); };
    auto cameraKey = [&] { return cameraPreview->currentImage().cacheKey(); };
    auto screenFrames = [&] { return c->source()->statistics().screenFramesDelivered; };
    auto recordAndStop = [&] {
        c->toggleRecording();
        ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
        pumpUntil([] { return false; }, 1500ms);
        c->toggleRecording();
        ASSERT_TRUE(pumpUntil([&] { return exportDone != nullptr; }, 60s))
            << c->statusLabel()->text().toStdString();
    };
    // The stream delivers at least a picture a second even on a still screen; the camera moves.
    auto previewsLiveAgain = [&] {
        const auto screen = screenKey();
        const auto cameraImage = cameraKey();
        const auto frames = screenFrames();
        EXPECT_TRUE(pumpUntil(
            [&] {
                return screenKey() != screen && cameraKey() != cameraImage &&
                       screenFrames() > frames;
            },
            10s));
        EXPECT_TRUE(camera->isStreaming());
    };
    auto previewsResting = [&] {
        EXPECT_TRUE(c->processingOverlay()->isVisible());
        EXPECT_TRUE(c->arePreviewsSuspended());
        pumpUntil([] { return false; }, 300ms);  // what was already under way ends
        EXPECT_FALSE(camera->isStreaming());
        const auto screen = screenKey();
        const auto cameraImage = cameraKey();
        const auto frames = screenFrames();
        const auto cameraFrames = camera->framesDelivered();
        pumpUntil([] { return false; }, 1500ms);
        EXPECT_EQ(screenKey(), screen);
        EXPECT_EQ(cameraKey(), cameraImage);
        EXPECT_EQ(screenFrames(), frames);
        EXPECT_EQ(camera->framesDelivered(), cameraFrames);
    };

    recordAndStop();
    previewsResting();
    // How far the composition has got shows in the overlay's title; its detail line stays.
    EXPECT_TRUE(c->processingTitleLabel()->text().startsWith(QStringLiteral("正在合成视频…")));
    EXPECT_EQ(c->processingDetailLabel()->text(), QStringLiteral("正在处理录制画面，请稍候"));
    exportProgress(0.42);
    ASSERT_TRUE(pumpUntil(
        [&] {
            return c->processingTitleLabel()->text().startsWith(
                QStringLiteral("正在合成视频… 42%"));
        },
        5s))
        << c->processingTitleLabel()->text().toStdString();
    EXPECT_EQ(c->processingDetailLabel()->text(), QStringLiteral("正在处理录制画面，请稍候"));
    // The export fails: the raw recording is saved and the window is ready again.
    std::exchange(exportDone, nullptr)(fail("编码器出错"));
    ASSERT_TRUE(pumpUntil([&] { return !c->isRecording(); }, 30s));
    EXPECT_FALSE(c->processingOverlay()->isVisible());
    EXPECT_FALSE(c->arePreviewsSuspended());
    previewsLiveAgain();

    recordAndStop();
    previewsResting();
    c->processingOverlay()->findChild<QPushButton*>()->click();  // "取消合成"
    std::exchange(exportDone, nullptr)(fail("已取消"));
    ASSERT_TRUE(pumpUntil([&] { return !c->isRecording(); }, 30s));
    previewsLiveAgain();

    // The second recording has the picture and the camera of its own time.
    const auto drafts = store->loadDrafts();
    ASSERT_EQ(drafts.size(), 2u);
    for (const auto& draft : drafts) {
        ASSERT_TRUE(draft.mainVideo && draft.pipVideo);
        for (const auto& movie : {*localFile(draft.mainVideo), *localFile(draft.pipVideo)})
            EXPECT_GT(media::availableDuration(movie, 0), 0.5) << movie;
    }
}

// The pause button sits between the duration label and the spacer and works only while a
// recording runs; P pauses and resumes too. While paused the recording's clock stands still:
// the duration, the camera window's keyframes and the draft go on from where the pause began.
// (On the real clock: the pause's times must be those of the samples the source stamps.)
TEST_F(RecordingWindowTest, PauseStopsTheRecordingClockAndResumeGoesOnFromIt) {
    auto deps = dependencies();
    deps.clock = nullptr;
    auto c = std::make_unique<RecordingView>(target, deps);
    c->resize(1180, 760);
    c->show();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c));
    auto* row = qobject_cast<QBoxLayout*>(c->pauseButton()->parentWidget()->layout());
    ASSERT_NE(row, nullptr);
    const int at = row->indexOf(c->pauseButton());
    EXPECT_EQ(row->indexOf(c->durationLabel()), at - 1);
    EXPECT_NE(row->itemAt(at + 1)->spacerItem(), nullptr);
    EXPECT_EQ(c->pauseButton()->text(), QStringLiteral("暂停录制"));
    EXPECT_FALSE(c->pauseButton()->isEnabled());
    c->togglePause();  // nothing to pause yet
    EXPECT_FALSE(c->isPaused());

    c->cameraToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->pipView() != nullptr; }, 10s));
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    qttest::settle();
    const QString recordingStatus = c->statusLabel()->text();
    EXPECT_TRUE(c->pauseButton()->isEnabled());
    const double start = *c->recordStartTime();
    auto clock = [] { return media::MonotonicClock::nowSeconds(); };

    c->window()->activateWindow();
    ASSERT_TRUE(pumpUntil([&] { return c->isActiveWindow(); }, 5s));
    pumpUntil([&] { return clock() - start > 1.2; }, 5s);
    const double pausedAt = clock();
    QTest::keyClick(c.get(), Qt::Key_P);
    ASSERT_TRUE(c->isPaused());
    EXPECT_TRUE(c->source()->isPaused());
    EXPECT_EQ(c->statusLabel()->text(), QStringLiteral("已暂停"));
    EXPECT_EQ(c->pauseButton()->text(), QStringLiteral("继续录制"));
    EXPECT_EQ(c->durationLabel()->text(), QStringLiteral("00:01"));
    pumpUntil([] { return false; }, 2s);  // the timer ticks; the recording's clock does not
    EXPECT_EQ(c->durationLabel()->text(), QStringLiteral("00:01"));
    c->pipView()->onLayoutChanged();  // a drag during the pause lands where the pause is
    EXPECT_NEAR(c->pipTrack().back().time, pausedAt - start, 0.05);

    const double resumedAt = clock();
    c->pauseButton()->click();
    EXPECT_FALSE(c->isPaused());
    EXPECT_FALSE(c->source()->isPaused());
    EXPECT_EQ(c->statusLabel()->text(), recordingStatus);
    EXPECT_EQ(c->pauseButton()->text(), QStringLiteral("暂停录制"));
    pumpUntil([&] { return clock() - resumedAt > 1.5; }, 5s);
    c->pipView()->onLayoutChanged();
    const double paused = resumedAt - pausedAt;
    EXPECT_NEAR(c->pipTrack().back().time, clock() - start - paused, 0.05);
    EXPECT_TRUE(pumpUntil([&] { return c->durationLabel()->text() == "00:02"; }, 3s));

    const double stoppedAt = clock();
    c->toggleRecording();
    EXPECT_FALSE(c->pauseButton()->isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 90s))
        << c->statusLabel()->text().toStdString();
    EXPECT_NEAR(saved->duration, stoppedAt - start - paused, 0.4);
}

// The movie composed while recording goes through a pause, a resume and a stop while paused:
// the draft is the movie the export makes of the recorded movies after the stop, as long as
// what was recorded without the paused stretches, and it was not composed again after the stop.
TEST_F(RecordingWindowTest, AFollowedRecordingPausedResumedAndStoppedWhilePausedIsTheExportsMovie) {
    auto deps = dependencies();
    deps.clock = nullptr;
    // Other tests run beside this one: the composition must not wait for an idle machine.
    deps.finishServices.composesOnIdleTime = false;
    // Nor stay away for want of idle time, give way to a capture that loses pictures to them, or
    // stop for a slow pace: this is about pausing, and what the capture loses under that load
    // shows in no picture checked here.
    deps.finishServices.spareProcessorLimits.minimumIdleCores = 0;
    deps.finishServices.captureLossLimits.minLost = std::numeric_limits<uint64_t>::max();
    deps.finishServices.followerPaceLimits.minimumPace = 0;
    auto c = std::make_unique<RecordingView>(target, deps);
    c->resize(1180, 760);
    c->show();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c));
    c->cameraToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->pipView() != nullptr; }, 10s));
    auto clock = [] { return media::MonotonicClock::nowSeconds(); };
    auto waitFor = [&](double seconds) {
        const double until = clock() + seconds;
        pumpUntil([&] { return clock() >= until; }, 30s);
    };

    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording() && c->pauseButton()->isEnabled(); }, 10s));
    const double start = clock();
    // The raw movies, linked as they are written: the finish deletes its own names.
    const fs::path kept = directory / "kept";
    fs::create_directories(kept);
    ASSERT_TRUE(c->source()->mainOutputPath() && c->source()->pipOutputPath());
    fs::create_hard_link(*c->source()->mainOutputPath(), kept / "screen.mov");
    fs::create_hard_link(*c->source()->pipOutputPath(), kept / "camera.mov");
    waitFor(2.0);
    c->togglePause();
    ASSERT_TRUE(c->isPaused());
    double paused = clock();
    waitFor(1.5);
    c->togglePause();
    paused = clock() - paused;
    waitFor(1.0);
    c->pipView()->move(c->pipView()->pos() + QPoint(-300, 200));
    c->pipView()->onLayoutChanged();
    waitFor(1.0);
    c->togglePause();
    ASSERT_TRUE(c->isPaused());
    const double recorded = clock() - start - paused;
    const std::vector<PiPKeyframe> pipTrack = c->pipTrack();
    // While paused the follower catches up with the recording (what the pause holds is settled).
    ASSERT_TRUE(c->finishPipeline().follower());
    EXPECT_TRUE(pumpUntil(
        [&] { return c->finishPipeline().follower()->composedSeconds() > recorded - 1.5; }, 120s));
    c->toggleRecording();  // stopped while paused
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 180s))
        << c->statusLabel()->text().toStdString();
    const auto& composition = c->finishPipeline().lastComposition();
    ASSERT_TRUE(composition);
    EXPECT_TRUE(composition->followed) << composition->fallbackReason;
    ASSERT_TRUE(saved->mainVideo);
    const double duration = media::availableDuration(*localFile(saved->mainVideo), 0);
    EXPECT_NEAR(duration, recorded, 0.4);

    RecordingProject raw;
    raw.id = Uuid::generate();
    raw.mainVideo = kept / "screen.mov";
    raw.pipVideo = kept / "camera.mov";
    raw.duration = recorded;
    raw.pipTrack = pipTrack;
    raw.aspect.isPiPEnabled = true;
    raw.emphasizesSubtitleKeywords = true;
    auto exporter = std::make_shared<compose::VideoCompositor>();
    exporter->exportLongEdge =
        std::max(c->recordingSettings().resolution.width, c->recordingSettings().resolution.height);
    exporter->exportFrameRate = rawValue(c->recordingSettings().frameRate);
    exporter->exportDirectory = directory;
    std::optional<compose::VideoCompositor::Result> exported;
    exporter->exportMovie(raw, true, 0, std::nullopt,
                          [&](compose::VideoCompositor::Result r) { exported = std::move(r); });
    ASSERT_TRUE(pumpUntil([&] { return exported.has_value(); }, 180s));
    ASSERT_TRUE(exported->ok()) << exported->error().description();
    auto draftAsset = media::MovieAsset::open(*localFile(saved->mainVideo));
    auto exportAsset = media::MovieAsset::open(**exported);
    ASSERT_TRUE(draftAsset && exportAsset);
    EXPECT_EQ((*draftAsset)->tracks(media::MediaType::video).size(), 1u);
    EXPECT_EQ((*draftAsset)->tracks(media::MediaType::audio).size(),
              (*exportAsset)->tracks(media::MediaType::audio).size());
    EXPECT_NEAR(duration, media::availableDuration(**exportAsset, 0),
                1.0 / exporter->exportFrameRate + 1e-6);
    auto frames = [](const media::MovieAsset& asset) {
        auto reader = media::TrackPacketReader::open(
            asset, asset.tracks(media::MediaType::video).front().trackID);
        int count = 0;
        while (reader && (*reader)->next()) ++count;
        return count;
    };
    EXPECT_NEAR(frames(**draftAsset), frames(**exportAsset), 1);
}

// The space bar: on a focused check box it switches that box (the camera window here); on the
// record button, where the window puts the keyboard, it starts and stops, and the focus stays on
// the button though the button is disabled while the recording starts.
TEST_F(RecordingWindowTest, TheSpaceBarSwitchesAFocusedCheckBoxAndOtherwiseRecords) {
    auto c = makeController();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c));
    ASSERT_TRUE(qttest::activate(c->window()));
    EXPECT_EQ(QApplication::focusWidget(), c->recordButton());

    c->cameraToggle()->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(qttest::pressKey(Qt::Key_Space));
    ASSERT_TRUE(pumpUntil([&] { return c->pipView() != nullptr; }, 10s))
        << c->statusLabel()->text().toStdString();
    EXPECT_TRUE(c->cameraToggle()->isChecked());
    EXPECT_FALSE(c->isRecording()) << "Space on the check box started a recording";

    c->recordButton()->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(qttest::pressKey(Qt::Key_Space));
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording() && c->recordButton()->isEnabled(); }, 10s));
    EXPECT_EQ(QApplication::focusWidget(), c->recordButton());
    // Stopped only once the screen movie has pictures: a recording stopped before its first
    // picture has no movie to make a draft of (a busy machine can take that long to grab one).
    const auto delivered = c->source()->statistics().screenFramesDelivered;
    ASSERT_TRUE(pumpUntil(
        [&] { return c->source()->statistics().screenFramesDelivered >= delivered + 2; }, 10s));
    *now += 2;
    ASSERT_TRUE(qttest::pressKey(Qt::Key_Space));
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 90s))
        << c->statusLabel()->text().toStdString();
    EXPECT_TRUE(c->cameraToggle()->isChecked());
}

// Every control of the toolbar and of the parameter popover has a name a screen reader can say;
// the check boxes tell whether they are on.
TEST_F(RecordingWindowTest, ScreenReadersFindEveryControlNamed) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    using Names = std::vector<std::string>;
    EXPECT_EQ(qttest::unnamedControls(c->window()), Names{});
    c->parameterTapped();
    ASSERT_TRUE(c->parameterController());
    ASSERT_TRUE(pumpUntil([&] { return c->parameterController()->isVisible(); }));
    EXPECT_EQ(qttest::unnamedControls(c->parameterController()), Names{});
    // The panel is a pop-up window: reached from the application's root through the recording
    // window, its controls named there, each frame rate by its own value.
    QAccessibleInterface* panel = qttest::findInAccessibleTree(c->parameterController());
    ASSERT_TRUE(panel) << "the parameter panel is not in the accessibility tree";
    EXPECT_EQ(panel->text(QAccessible::Name), QStringLiteral("录制参数"));
    ASSERT_TRUE(panel->parent());
    EXPECT_EQ(panel->parent()->object(), c.get());
    EXPECT_GE(panel->parent()->indexOfChild(panel), 0);
    EXPECT_EQ(qttest::unnamedAccessibleControls(panel), Names{});
    // A combo box is named by its entry; its row's title labels it.
    QAccessibleInterface* resolution =
        qttest::findInAccessibleTree(c->parameterController()->resolutionControl());
    ASSERT_TRUE(resolution);
    bool labelled = false;
    for (const auto& [label, relation] : resolution->relations(QAccessible::Label))
        labelled = labelled || label->text(QAccessible::Name) == QStringLiteral("分辨率");
    EXPECT_TRUE(labelled);
    for (QAbstractButton* rate : c->parameterController()->frameRateControl()->buttons()) {
        QAccessibleInterface* segment = qttest::findInAccessibleTree(rate);
        ASSERT_TRUE(segment);
        EXPECT_EQ(segment->text(QAccessible::Name), rate->text());
    }
    c->parameterController()->close();
    QAccessibleInterface* camera = QAccessible::queryAccessibleInterface(c->cameraToggle());
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->text(QAccessible::Name), QStringLiteral("开启摄像头小窗"));
    EXPECT_TRUE(camera->state().checkable);
    EXPECT_FALSE(camera->state().checked);
}

// Real speech into the microphone with live subtitles on (the English model): a sentence, a
// four-second pause during which another one is spoken, then the first again. The draft's
// subtitles hold the two sentences said while recording, the later one moved up by the pause,
// and nothing of what was said during it.
TEST_F(RecordingWindowTest, SpeechDuringAPauseIsNotSubtitledAndLaterSpeechMovesUpByIt) {
    auto deps = dependencies();
    deps.clock = nullptr;
    deps.speech = LiveSpeechRecognizer::create(speech::SpeechRecognizer::shared("en-US"));
    auto c = std::make_unique<RecordingView>(target, deps);
    c->resize(1180, 760);
    c->show();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c));
    c->subtitleToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->subtitles().isSubtitleEnabled(); }, 20s))
        << c->statusLabel()->text().toStdString();

    const std::string clips = "/usr/share/pocketsphinx/test/data/librivox/";
    const auto said =
        sandbox::loadSpeechClip(clips + "sense_and_sensibility_01_austen_64kb-0880.wav");
    const auto pausedSpeech =
        sandbox::loadSpeechClip(clips + "sense_and_sensibility_01_austen_64kb-0930.wav");
    const double rate = sandbox::PulseServer::kMicrophoneRate;
    const double saidLength = static_cast<double>(said.size()) / rate;
    // Seconds of the feed: said at 0.3, the pause from 4.5 to 8.5 with speech from 5.0, said
    // again at 11.
    std::vector<int16_t> feed;
    auto at = [&](double seconds, const std::vector<int16_t>& clip) {
        feed.resize(static_cast<size_t>(seconds * rate), 0);
        feed.insert(feed.end(), clip.begin(), clip.end());
    };
    at(0.3, said);
    at(5.0, pausedSpeech);
    at(11.0, said);
    feed.resize(feed.size() + static_cast<size_t>(2 * rate), 0);

    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording() && c->pauseButton()->isEnabled(); }, 10s));
    auto clock = [] { return media::MonotonicClock::nowSeconds(); };
    const double start = *c->recordStartTime();
    std::atomic<bool> quiet{false};
    const double fed = clock();
    std::thread speaker([&] { sandbox::PulseServer::shared().speakInRealTime(feed, &quiet); });
    pumpUntil([&] { return clock() - fed >= 4.5; }, 10s);
    const double pausedAt = clock();
    c->togglePause();
    ASSERT_TRUE(c->isPaused());
    pumpUntil([&] { return clock() - fed >= 8.5; }, 10s);
    const double paused = clock() - pausedAt;
    c->togglePause();
    ASSERT_FALSE(c->isPaused());

    // Where the two sentences said while recording lie on the movie.
    const double first = fed - start + 0.3;
    const double second = fed - start + 11.0 - paused;
    ASSERT_TRUE(pumpUntil(
        [&] {
            const auto& track = c->subtitles().subtitleTrack();
            return clock() - fed > 11.0 + saidLength &&
                   std::any_of(track.begin(), track.end(), [&](const SubtitleSegment& s) {
                       return s.startTime > second - 0.5;
                   });
        },
        40s))
        << "the sentence after the pause was not recognised";
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 120s))
        << c->statusLabel()->text().toStdString();
    quiet = true;
    speaker.join();

    const auto cues = readSubtitleFile(localFile(saved->mainVideo)->parent_path() / "subtitles.vtt",
                                       SubtitleFileFormat::webVTT)
                          .valueOr({});
    ASSERT_FALSE(cues.empty());
    int before = 0, after = 0;
    for (const auto& cue : cues) {
        std::printf("subtitle %.2f-%.2f \"%s\"\n", cue.startTime, cue.endTime, cue.text.c_str());
        if (cue.startTime >= first - 0.5 && cue.startTime <= first + saidLength + 0.5)
            ++before;
        else if (cue.startTime >= second - 0.5 && cue.startTime <= second + saidLength + 0.5)
            ++after;
        else
            ADD_FAILURE() << "\"" << cue.text << "\" at " << cue.startTime
                          << " s, when nothing was said while recording (said at " << first
                          << " and " << second << ")";
    }
    EXPECT_GT(before, 0);
    EXPECT_GT(after, 0);
}

// The recogniser is behind when the recording is stopped (its queue is held up, as on a starved
// machine, until well after the files are ready): what was said before the stop still becomes
// the draft's subtitles.
TEST_F(RecordingWindowTest, SpeechBeforeTheStopIsSubtitledThoughRecognitionIsBehind) {
    auto deps = dependencies();
    deps.clock = nullptr;
    auto engine = speech::SpeechRecognizer::shared("en-US");
    ASSERT_TRUE(engine->waitUntilLoaded(120));
    deps.speech = LiveSpeechRecognizer::create(engine);
    auto c = std::make_unique<RecordingView>(target, deps);
    c->resize(1180, 760);
    c->show();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c));
    c->subtitleToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->subtitles().isSubtitleEnabled(); }, 20s))
        << c->statusLabel()->text().toStdString();

    const auto said = sandbox::loadSpeechClip(
        "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0880.wav");
    std::vector<int16_t> feed(static_cast<size_t>(0.3 * sandbox::PulseServer::kMicrophoneRate));
    feed.insert(feed.end(), said.begin(), said.end());
    c->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording() && c->pauseButton()->isEnabled(); }, 10s));
    const double start = *c->recordStartTime();
    std::atomic<bool> quiet{false};
    const double fed = media::MonotonicClock::nowSeconds();
    std::thread speaker([&] { sandbox::PulseServer::shared().speakInRealTime(feed, &quiet); });
    struct Silence {
        std::atomic<bool>& quiet;
        std::thread& speaker;
        ~Silence() {
            quiet = true;
            if (speaker.joinable()) speaker.join();
        }
    } silence{quiet, speaker};

    // Stopped in the middle of the sentence, once the caption shows its first words.
    ASSERT_TRUE(pumpUntil([&] { return !c->subtitleRegion()->isShowingPlaceholder(); }, 30s));
    auto held = std::make_shared<std::atomic<bool>>(true);
    engine->queue().async([held] {
        while (*held) std::this_thread::sleep_for(10ms);
    });
    struct Release {
        std::shared_ptr<std::atomic<bool>> held;
        ~Release() { *held = false; }
    } release{held};
    c->toggleRecording();
    // Held until the files have been taken over, or 1.5 s after the source reported them,
    // whichever comes first: a finish that waits for a fixed moment has taken them by then.
    // (The recogniser may still be behind after that on a busy machine; the wait then ends on
    // its limit with the words shown last.)
    std::optional<std::chrono::steady_clock::time_point> reported;
    pumpUntil(
        [&] {
            const auto now = std::chrono::steady_clock::now();
            if (!reported && c->source()->state().kind == capture::CaptureState::Kind::stopped)
                reported = now;
            return !c->subtitles().subtitleSessionActive() ||
                   (reported && now - *reported > 1500ms);
        },
        60s);
    *held = false;
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 120s))
        << c->statusLabel()->text().toStdString();

    const auto cues = readSubtitleFile(localFile(saved->mainVideo)->parent_path() / "subtitles.vtt",
                                       SubtitleFileFormat::webVTT)
                          .valueOr({});
    ASSERT_FALSE(cues.empty()) << "what was said before the stop is not subtitled";
    for (const auto& cue : cues)
        std::printf("subtitle %.2f-%.2f \"%s\"\n", cue.startTime, cue.endTime, cue.text.c_str());
    // Where the sentence begins on the movie.
    const double said0 = fed - start + 0.3;
    EXPECT_GE(cues.front().startTime, said0 - 0.5);
    EXPECT_LE(cues.front().startTime, said0 + 1.0);
}

// The window's own close box: before recording it closes the window as cancelled; during a
// recording the window stays, and the recording is stopped and saved.
TEST_F(RecordingWindowTest, TheWindowsCloseBoxCancelsWhenIdleAndSavesWhileRecording) {
    {
        RecordingWindow idle(target, dependencies());
        int cancelled = 0;
        idle.setOnCancel([&] { ++cancelled; });
        idle.window()->show();
        ASSERT_TRUE(waitUntilReady(*idle.recordingView()));
        EXPECT_TRUE(idle.window()->close());
        EXPECT_EQ(cancelled, 1);
        qttest::settle();
        EXPECT_EQ(idle.window(), nullptr);  // closed for good
    }
    RecordingWindow w(target, dependencies());
    int cancelled = 0;
    std::optional<RecordingProject> saved;
    w.setOnCancel([&] { ++cancelled; });
    w.setOnFinish([&](const RecordingProject& p) { saved = p; });
    w.window()->show();
    ASSERT_TRUE(waitUntilReady(*w.recordingView()));
    w.recordingView()->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return w.recordingView()->isRecording(); }, 10s));
    qttest::pumpFor(1s);
    EXPECT_FALSE(w.window()->close());
    EXPECT_TRUE(w.window()->isVisible());
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 60s))
        << w.recordingView()->statusLabel()->text().toStdString();
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(store->loadDrafts().size(), 1u);
    ASSERT_NE(w.window(), nullptr);
    EXPECT_TRUE(w.window()->isVisible());
}

// Files below `dir` (recordings have folders of their own) whose names begin with `prefix`.
std::vector<fs::path> filesStartingWith(const fs::path& dir, const std::string& prefix) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
    return found;
}

// Quitting the application takes the recording window away without its buttons. During a
// recording what was recorded stays on the disk; during the composition the export is cancelled
// (no half-made movie stays) and the raw recording stays.
TEST_F(RecordingWindowTest, QuittingKeepsTheRawRecordingAndCancelsTheExport) {
    const fs::path tmp = directory / "tmp";
    {
        auto w = std::make_unique<RecordingWindow>(target, dependencies());
        w->window()->show();
        ASSERT_TRUE(waitUntilReady(*w->recordingView()));
        w->recordingView()->toggleRecording();
        ASSERT_TRUE(pumpUntil([&] { return w->recordingView()->isRecording(); }, 10s));
        qttest::pumpFor(2s);
        w.reset();
        qttest::settle();
    }
    const auto recorded = filesStartingWith(tmp, "zimlo_screen_");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_GT(media::availableDuration(recorded.front(), 0), 1.0) << recorded.front();

    // An export that takes its time: a composed movie of the whole screen.
    struct Export {
        std::shared_ptr<compose::ExportJob> job;
        std::optional<RecordingFinishPipeline::ExportOutcome> outcome;
    };
    auto exported = std::make_shared<Export>();
    auto deps = dependencies();
    deps.finishServices.exportMovie =
        [exported, tmp](const RecordingProject& project, double longEdge, int framesPerSecond,
                        std::function<void(RecordingFinishPipeline::ExportOutcome)> done,
                        std::function<void(double)> progress,
                        std::shared_ptr<compose::ExportJob> job) {
            exported->job = job;
            auto compositor = std::make_shared<compose::VideoCompositor>();
            compositor->exportDirectory = tmp;
            compositor->exportLongEdge = longEdge;
            compositor->exportFrameRate = framesPerSecond;
            compositor->exportMovie(
                project, true, 0, std::nullopt,
                [compositor, exported, done](compose::VideoCompositor::Result result) {
                    RecordingFinishPipeline::ExportOutcome outcome =
                        result.ok() ? RecordingFinishPipeline::ExportOutcome(result.value())
                                    : fail(result.error().description());
                    exported->outcome = outcome;
                    done(outcome);
                },
                std::move(progress), job);
        };
    auto w = std::make_unique<RecordingWindow>(target, deps);
    w->window()->show();
    ASSERT_TRUE(waitUntilReady(*w->recordingView()));
    w->recordingView()->cameraToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return w->recordingView()->pipView() != nullptr; }, 10s));
    w->recordingView()->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return w->recordingView()->isRecording(); }, 10s));
    qttest::pumpFor(3s);
    w->recordingView()->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return exported->job != nullptr; }, 60s));
    w.reset();
    qttest::settle();
    ASSERT_TRUE(pumpUntil([&] { return exported->outcome.has_value(); }, 120s));
    EXPECT_TRUE(exported->job->isCancelled());
    EXPECT_FALSE(exported->outcome->ok()) << "the export went on after the quit";
    EXPECT_TRUE(filesStartingWith(tmp, "zimlo_export_").empty());
    EXPECT_EQ(filesStartingWith(tmp, "zimlo_screen_").size(), 2u);
    EXPECT_EQ(filesStartingWith(tmp, "zimlo_camera_").size(), 1u);
    EXPECT_TRUE(store->loadDrafts().empty());
}

// Sends keys to the X display as a keyboard would, to whichever window has the focus.
bool pressKeys(const std::string& keys) {
    return std::system(("xdotool key --clearmodifiers " + keys).c_str()) == 0;
}

// Ctrl+Alt+R and Ctrl+Alt+P pressed while another program's window has the focus start, pause,
// resume and stop the recording.
TEST_F(RecordingWindowTest, GlobalShortcutsWorkWhileAnotherProgramHasTheFocus) {
    auto c = makeController();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    ASSERT_TRUE(waitUntilReady(*c));
    ASSERT_TRUE(c->hasGlobalShortcuts());
    test::OtherClient other;
    ASSERT_TRUE(other.focusOwnWindow());

    ASSERT_TRUE(pressKeys("ctrl+alt+r"));
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording() && c->pauseButton()->isEnabled(); }, 10s));
    ASSERT_TRUE(pressKeys("ctrl+alt+p"));
    ASSERT_TRUE(pumpUntil([&] { return c->isPaused(); }, 5s));
    EXPECT_EQ(c->statusLabel()->text(), QStringLiteral("已暂停"));
    ASSERT_TRUE(pressKeys("ctrl+alt+p"));
    ASSERT_TRUE(pumpUntil([&] { return !c->isPaused(); }, 5s));
    EXPECT_TRUE(other.ownWindowHasFocus());
    pumpUntil([] { return false; }, 1s);
    ASSERT_TRUE(pressKeys("ctrl+alt+r"));
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 90s))
        << c->statusLabel()->text().toStdString();
}

// A combination another program holds is said in the status line; a new one picked in the
// parameters is stored, grabbed and works.
TEST_F(RecordingWindowTest, ACombinationAnotherProgramHoldsIsReportedAndCanBeReplaced) {
    test::OtherClient other;
    other.grabControlAlt('r');
    auto c = makeController();
    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    const QString taken =
        QStringLiteral("全局快捷键 Ctrl+Alt+R 已被其他程序占用，请在“参数”中更换");
    ASSERT_TRUE(pumpUntil([&] { return c->statusLabel()->text() == taken; }, 20s))
        << c->statusLabel()->text().toStdString();

    c->parameterTapped();
    ASSERT_NE(c->parameterController(), nullptr);
    auto* editor = c->parameterController()->findChild<GlobalShortcutEditor*>();
    ASSERT_NE(editor, nullptr);
    ASSERT_NE(editor->toggleRecordingEdit(), nullptr);
    editor->toggleRecordingEdit()->setKeySequence(QKeySequence(QStringLiteral("Ctrl+Alt+S")));
    editor->toggleRecordingEdited();
    EXPECT_EQ(c->statusLabel()->text(),
              QStringLiteral("全局快捷键已更新：Ctrl+Alt+S 开始/停止录制，Ctrl+Alt+P 暂停/继续"));
    EXPECT_EQ(settingsStore->defaults()->string(GlobalShortcutStore::toggleRecordingKey),
              "Ctrl+Alt+S");
    c->parameterController()->close();

    ASSERT_TRUE(other.focusOwnWindow());
    ASSERT_TRUE(pressKeys("ctrl+alt+s"));
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording() && c->pauseButton()->isEnabled(); }, 10s));
    ASSERT_TRUE(pressKeys("ctrl+alt+r"));  // the other program's: the recording goes on
    pumpUntil([] { return false; }, 1s);
    EXPECT_TRUE(c->isRecording());
    EXPECT_FALSE(saved.has_value());
    ASSERT_TRUE(pressKeys("ctrl+alt+s"));
    ASSERT_TRUE(pumpUntil([&] { return saved.has_value(); }, 90s))
        << c->statusLabel()->text().toStdString();
}

TEST_F(RecordingWindowTest, WindowWithCameraAndSubtitleRegionScreenshot) {
    auto deps = dependencies();
    // A language with a model here, so that the region waits for speech.
    deps.speech = LiveSpeechRecognizer::create(speech::SpeechRecognizer::shared("en-US"));
    RecordingWindow windowController(target, deps);
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
