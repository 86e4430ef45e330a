// What the recording window says when something fails or is refused: set-up, the screen stream,
// parameters, camera and microphone; the subtitle layout it starts from, the sizes of its texts,
// the room of the status line, the duration label's width and the space bar.
#include <sys/mount.h>

#include <QApplication>
#include <QBoxLayout>
#include <QFontInfo>
#include <QTest>
#include <cerrno>
#include <fstream>
#include <set>

#include "RecordingWindowTestSupport.h"
#include "capture/PlatformErrorText.h"
#include "platform/x11/TestWindows.h"
#include "recording/ElidingLabel.h"
#include "recording/RecordingWindowText.h"
#include "recording/TabularDigits.h"
#include "support/ResultValue.h"

namespace zimlo::recording {
namespace {

using namespace test;

// Waits until a recording that was started is running, then stops it and waits for the window to
// be ready again.
void recordBriefly(RecordingView& c) {
    ASSERT_TRUE(pumpUntil([&] { return c.isRecording() && !c.isPreparingRecordingAudio(); }, 10s));
    qttest::pumpFor(300ms);
    c.toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return !c.isRecording(); }, 90s))
        << c.statusLabel()->text().toStdString();
}

TEST_F(RecordingWindowTest, ACaptionNeverDraggedKeepsTheWindowsStartingLayout) {
    auto c = std::make_unique<RecordingView>(target, dependencies());
    c->resize(1000, 700);
    c->show();
    ASSERT_TRUE(waitUntilReady(*c));
    c->subtitleToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->subtitleRegion()->isVisible(); }, 15s))
        << c->statusLabel()->text().toStdString();
    // 0.72 of the preview's width, centred at 0.5, 0.82 from the top.
    const QRect region = c->subtitleRegion()->geometry();
    EXPECT_EQ(c->previewContainer()->width(), 1000);
    EXPECT_EQ(region.width(), 720);
    EXPECT_EQ(region.center().x(), 499);  // QRect's centre rounds down
    EXPECT_NEAR(region.center().y(), 0.82 * 700, 1);

    std::optional<RecordingProject> saved;
    c->onFinish = [&](const RecordingProject& p) { saved = p; };
    c->toggleRecording();
    recordBriefly(*c);
    ASSERT_TRUE(saved.has_value()) << c->statusLabel()->text().toStdString();
    EXPECT_EQ(saved->subtitleLayout, (SubtitleLayout{{0.5, 0.82}, 0.72, 1.0}));
}

// Text sizes are pixels, as everywhere in the application: the toolbar's texts 13, the
// overlay's title 18 and detail 13, the parameter panel's title 16, note 12 and row names 13.
TEST_F(RecordingWindowTest, TextsAreDrawnAtTheirSizesInPixels) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    auto pixels = [](const QWidget* widget) { return QFontInfo(widget->font()).pixelSize(); };
    auto* title = c->findChild<QLabel*>(QStringLiteral("targetTitleLabel"));
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(pixels(title), 13);
    EXPECT_EQ(pixels(c->durationLabel()), 13);
    EXPECT_EQ(pixels(c->statusLabel()), 13);
    EXPECT_EQ(pixels(c->processingTitleLabel()), 18);
    EXPECT_EQ(pixels(c->processingDetailLabel()), 13);

    c->parameterTapped();
    ASSERT_NE(c->parameterController(), nullptr);
    std::map<QString, int> sizes;
    for (const QLabel* label : c->parameterController()->findChildren<QLabel*>())
        sizes[label->text()] = pixels(label);
    EXPECT_EQ(sizes[QStringLiteral("录制参数")], 16);
    EXPECT_EQ(sizes[QStringLiteral("默认使用当前目标的原生最大像素，也可选择较低分辨率。")], 12);
    EXPECT_EQ(sizes[QStringLiteral("分辨率")], 13);
    EXPECT_EQ(sizes[QStringLiteral("帧速率")], 13);
    c->parameterController()->close();
}

// The status line is cut only when the toolbar is full: while it is cut, the flexible space
// before it has given all its room.
TEST_F(RecordingWindowTest, TheStatusLineIsCutOnlyWhenTheToolbarIsFull) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    auto* row = qobject_cast<QBoxLayout*>(c->statusLabel()->parentWidget()->layout());
    ASSERT_NE(row, nullptr);
    QLayoutItem* space = row->itemAt(row->indexOf(c->statusLabel()) - 1);
    ASSERT_NE(space->spacerItem(), nullptr);
    const QString status = QStringLiteral("正在录制（电脑声音 + Virtual microphone）");
    c->statusLabel()->setText(status);
    const int needed = c->statusLabel()->fontMetrics().horizontalAdvance(status);
    int cut = 0;
    for (int width = 1180; width >= 920; width -= 4) {
        c->resize(width, 760);
        qttest::settle();
        if (c->statusLabel()->width() >= needed) continue;
        ++cut;
        EXPECT_EQ(space->geometry().width(), 0) << "cut at " << c->statusLabel()->width() << " of "
                                                << needed << " in a window " << width << " wide";
    }
    c->resize(1180, 760);
    qttest::settle();
    EXPECT_GE(c->statusLabel()->width(), needed);  // the window's own size has room
    EXPECT_GT(cut, 0) << "never full: the test says nothing";
}

// On a desktop whose font has digits of different widths the duration still keeps one width.
TEST_F(RecordingWindowTest, DurationLabelKeepsOneWidthWhateverTheDigits) {
    const QFont desktopFont = QApplication::font();
    QFont proportional(QStringLiteral("Cantarell"));
    proportional.setPointSize(11);
    ASSERT_FALSE(hasTabularDigits(proportional)) << "Cantarell (fonts-cantarell) is missing";
    QApplication::setFont(proportional);
    auto c = makeController();
    QApplication::setFont(desktopFont);

    std::set<int> widths;
    for (int minutes = 0; minutes < 100; ++minutes) {
        for (int seconds = 0; seconds < 60; ++seconds) {
            c->durationLabel()->setText(QString::asprintf("%02d:%02d", minutes, seconds));
            widths.insert(c->durationLabel()->sizeHint().width());
        }
    }
    EXPECT_EQ(widths.size(), 1u) << "from " << *widths.begin() << " to " << *widths.rbegin();
}

TEST_F(RecordingWindowTest, RefusedCameraExplainsItselfAndOpensTheSettings) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    const std::pair<AuthorizationStatus, const char*> refusals[] = {
        {AuthorizationStatus::restricted, "当前设备限制了摄像头访问，已打开系统授权页面"},
        {AuthorizationStatus::denied, "摄像头权限未开启，已打开系统授权页面"},
    };
    for (const auto& [status, text] : refusals) {
        (*statuses)[PermissionKind::camera] = status;
        openedSettings->clear();
        c->cameraToggle()->click();
        EXPECT_FALSE(c->cameraToggle()->isEnabled());
        EXPECT_EQ(c->statusLabel()->text().toStdString(), "正在请求摄像头权限…");
        ASSERT_TRUE(pumpUntil([&] { return c->cameraToggle()->isEnabled(); }, 10s));
        EXPECT_EQ(c->statusLabel()->text().toStdString(), text);
        EXPECT_FALSE(c->cameraToggle()->isChecked());
        EXPECT_FALSE(c->aspect().isPiPEnabled);
        EXPECT_EQ(c->pipView(), nullptr);
        EXPECT_EQ(*openedSettings, std::vector<QString>{QStringLiteral("camera")});
    }
}

TEST_F(RecordingWindowTest, CameraThatCannotStartSaysWhy) {
    adjustSource = [](capture::ScreenCameraSource::Options& options) {
        options.cameraDiscovery = [] { return std::shared_ptr<camera::CameraDevice>(); };
    };
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    c->cameraToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->cameraToggle()->isEnabled(); }, 10s));
    const QString error = QStringLiteral("无法开启摄像头：无法获取电脑摄像头");
    EXPECT_EQ(c->statusLabel()->text(), error);
    EXPECT_FALSE(c->cameraToggle()->isChecked());
    EXPECT_EQ(c->pipView(), nullptr);
    EXPECT_TRUE(openedSettings->empty());  // permitted: nothing to grant

    // The error outlasts the capture's reports until the user acts, and is readable whole in
    // the narrowest toolbar: on two lines, and in the tooltip.
    c->resize(900, 760);
    bool replaced = false;
    pumpUntil(
        [&] {
            replaced = replaced || c->statusLabel()->text() != error;
            return false;
        },
        5500ms);
    EXPECT_FALSE(replaced) << "a later status hid the error";
    EXPECT_EQ(c->statusLabel()->toolTip(), error);
    auto* label = static_cast<ElidingLabel*>(c->statusLabel());
    EXPECT_EQ(label->shownLines().join(QString()), error) << label->width();
    c->parameterTapped();
    ASSERT_TRUE(c->parameterController());
    c->parameterController()->close();
    EXPECT_FALSE(c->isHoldingError());
    EXPECT_TRUE(pumpUntil([&] { return c->statusLabel()->text() != error; }, 5s));
}

TEST_F(RecordingWindowTest, RecordingStatusNamesTheSoundsThatAreRecorded) {
    struct Case {
        std::function<void()> arrange;
        QString status;
    };
    const Case cases[] = {
        {[&] { (*statuses)[PermissionKind::microphone] = AuthorizationStatus::denied; },
         QStringLiteral("正在录制（仅电脑声音，麦克风未授权）")},
        {[&] {
             adjustSource = [](capture::ScreenCameraSource::Options& options) {
                 options.microphoneDiscovery = [] {
                     return std::optional<audio::AudioSourceInfo>();
                 };
             };
         },
         QStringLiteral("正在录制（仅电脑声音，输入设备不可用：无法获取麦克风）")},
        // A default input without a name of its own.
        {[&] {
             adjustSource = [](capture::ScreenCameraSource::Options& options) {
                 options.microphoneDiscovery = [] {
                     return std::optional<audio::AudioSourceInfo>(audio::AudioSourceInfo{});
                 };
             };
         },
         QStringLiteral("正在录制（电脑声音 + 默认输入设备）")},
    };
    for (const Case& testCase : cases) {
        statuses->clear();
        adjustSource = nullptr;
        testCase.arrange();
        auto c = makeController();
        ASSERT_TRUE(waitUntilReady(*c));
        c->toggleRecording();
        ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
        qttest::settle();  // the source's report of the recording keeps this text
        EXPECT_EQ(c->statusLabel()->text().toStdString(), testCase.status.toStdString());
        c->toggleRecording();
        ASSERT_TRUE(pumpUntil([&] { return !c->isRecording(); }, 90s))
            << c->statusLabel()->text().toStdString();
    }
}

// A camera that takes its first format and refuses every later one.
class FormatRefusingCamera : public camera::GeneratedCamera {
  public:
    Result<void, camera::CameraError> setActiveFormat(size_t index,
                                                      double framesPerSecond) override {
        if (formatsSet_++ > 0)
            return fail(
                camera::CameraError(camera::CameraError::Kind::cannotSetFormat, "fake", EINVAL));
        return GeneratedCamera::setActiveFormat(index, framesPerSecond);
    }

  private:
    int formatsSet_ = 0;
};

TEST_F(RecordingWindowTest, SettingsThatCannotBeAppliedAreReportedAndNotStored) {
    camera = std::make_shared<FormatRefusingCamera>();
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    c->cameraToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return c->pipView() != nullptr; }, 10s))
        << c->statusLabel()->text().toStdString();
    const RecordingSettings before = c->recordingSettings();
    const RecordingSettings wanted(c->availableResolutions().back(), CaptureFrameRate::fps24);
    ASSERT_NE(wanted, before);
    c->parameterTapped();
    ASSERT_NE(c->parameterController(), nullptr);
    c->parameterController()->onChange(wanted);
    ASSERT_TRUE(pumpUntil([&] { return !c->isApplyingRecordingSettings(); }, 20s));
    EXPECT_EQ(c->statusLabel()->text().toStdString(),
              "参数应用失败：无法设置摄像头格式：Invalid argument");
    EXPECT_EQ(c->recordingSettings(), wanted);  // kept, but not stored
    EXPECT_EQ(settingsStore->load(c->availableResolutions(), before), before);
    EXPECT_TRUE(c->recordButton()->isEnabled());
    EXPECT_TRUE(c->parameterButton()->isEnabled());
    ASSERT_NE(c->parameterController(), nullptr);
    EXPECT_TRUE(c->parameterController()->isInteractionEnabled());
    c->parameterController()->close();
}

// A settings file that cannot be used (nested 100,000 deep, on a read-only disk) leaves the
// window on its defaults and is said once; a change of the parameters still applies, and the
// status line says it could not be kept.
TEST_F(RecordingWindowTest, AnUnusableSettingsFileIsSaidOnceAndAFailedSaveToo) {
    const fs::path config = directory / "config";
    fs::create_directories(config);
    if (::mount("tmpfs", config.c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{config};
    {
        std::ofstream deep(config / "defaults.json");
        for (int i = 0; i < 100'000; ++i) deep << "{\"a\":";
        deep << 1 << std::string(100'000, '}');
    }
    ASSERT_EQ(::mount(nullptr, config.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    settingsStore = std::make_shared<RecordingSettingsStore>(
        std::make_shared<SettingsFile>(config / "defaults.json"));

    auto c = makeController();
    const QString rejected = settingsRejectedText(config / "defaults.json");
    ASSERT_TRUE(pumpUntil([&] { return c->statusLabel()->text() == rejected; }, 20s))
        << c->statusLabel()->text().toStdString();
    EXPECT_EQ(c->recordingSettings(),
              RecordingSettings(c->availableResolutions().back(), CaptureFrameRate::fps30));
    ASSERT_TRUE(waitUntilReady(*c));
    const RecordingSettings wanted(c->availableResolutions().front(), CaptureFrameRate::fps24);
    c->parameterTapped();
    ASSERT_NE(c->parameterController(), nullptr);
    c->parameterController()->onChange(wanted);
    ASSERT_TRUE(pumpUntil([&] { return !c->isApplyingRecordingSettings(); }, 20s));
    EXPECT_EQ(c->statusLabel()->text(),
              QStringLiteral("参数已更新：") + QString::fromStdString(wanted.summary()) +
                  QStringLiteral("，但未能保存（只读文件系统：") +
                  QString::fromStdString((config / "defaults.json").string()) +
                  QStringLiteral("）"));
    EXPECT_EQ(c->recordingSettings(), wanted);
    c->parameterController()->close();
    c.reset();

    // Said once: the next window keeps quiet about it.
    auto next = makeController();
    bool saidAgain = false;
    pumpUntil(
        [&] {
            saidAgain = saidAgain || next->statusLabel()->text() == rejected;
            return false;
        },
        3s);
    EXPECT_FALSE(saidAgain);
}

TEST_F(RecordingWindowTest, NoSoundServerStillLetsThePictureBeRecorded) {
    // No sound server to take the computer's sound from: the picture can be recorded all the
    // same, and the source says why the computer's sound is missing.
    const QByteArray server = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:" + QByteArray::fromStdString(directory.string()) + "/none");
    auto c = makeController();
    const bool ready = waitUntilReady(*c);
    const bool missing = c->source()->systemAudioProblem().has_value();
    qputenv("PULSE_SERVER", server);
    EXPECT_TRUE(ready) << c->statusLabel()->text().toStdString();
    EXPECT_TRUE(missing);
    EXPECT_FALSE(c->statusLabel()->text().startsWith(QStringLiteral("初始化失败")));
    EXPECT_TRUE(c->recordButton()->isEnabled());
}

// A stream that cannot be set up: the window says so and nothing can be recorded.
TEST_F(RecordingWindowTest, AStreamThatCannotBeSetUpLeavesRecordingOff) {
    const screen::CaptureError refused(screen::CaptureError::Kind::windowCaptureUnsupported);
    adjustSource = [refused](capture::ScreenCameraSource::Options& options) {
        options.makeScreenStream = [refused](const x11::ContentFilter&,
                                             const screen::CaptureStreamConfiguration&)
            -> std::unique_ptr<screen::CaptureStream> { throw refused; };
    };
    auto c = makeController();
    qttest::settle();
    EXPECT_EQ(c->statusLabel()->text().toStdString(), "初始化失败：" + capture::userText(refused));
    EXPECT_FALSE(c->recordButton()->isEnabled());
    EXPECT_FALSE(c->latestCaptureStatus().has_value());
}

TEST_F(RecordingWindowTest, AStreamThatCannotStartShowsTheError) {
    adjustSource = [](capture::ScreenCameraSource::Options& options) {
        options.displayName = ":4095";  // no X server there
    };
    auto c = makeController();
    ASSERT_TRUE(pumpUntil(
        [&] { return c->statusLabel()->text().startsWith(QStringLiteral("错误：")); }, 20s))
        << c->statusLabel()->text().toStdString();
    EXPECT_TRUE(
        c->statusLabel()->text().startsWith(QStringLiteral("错误：无法连接到 X 显示服务器")))
        << c->statusLabel()->text().toStdString();
}

TEST_F(RecordingWindowTest, AWindowThatClosesWhileCapturedShowsTheError) {
    zimlo::test::TestWindows x(qgetenv("DISPLAY").toStdString());
    Window window = x.create(
        zimlo::test::TestWindows::Spec({60, 60, 400, 300}, 0x3366cc, 5001, "Editor", "文档"));
    for (const auto& t : capture::ScreenCaptureTargetProvider::buildTargets(
             zimlo::test::valueOrFailure(x11::listCaptureTargets()), ::getpid()))
        if (t.id == "window-" + std::to_string(window)) target = t;
    ASSERT_TRUE(target.kind.isWindow());
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    XDestroyWindow(x.display(), window);
    XSync(x.display(), False);
    EXPECT_TRUE(pumpUntil(
        [&] { return c->statusLabel()->text() == QStringLiteral("错误：要录制的窗口已关闭"); },
        10s))
        << c->statusLabel()->text().toStdString();
}

TEST_F(RecordingWindowTest, SpaceBarRecordsAndStops) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    c->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(c.get()));
    QTest::keyClick(c.get(), Qt::Key_Space);
    ASSERT_TRUE(pumpUntil([&] { return c->isRecording(); }, 10s));
    qttest::pumpFor(300ms);
    QTest::keyClick(c.get(), Qt::Key_Space);
    EXPECT_EQ(c->recordButton()->text(), QStringLiteral("正在整理…"));
    ASSERT_TRUE(pumpUntil([&] { return !c->isRecording(); }, 90s))
        << c->statusLabel()->text().toStdString();
}

}  // namespace
}  // namespace zimlo::recording
