// The application as a native Wayland client on the fixture's sway: from the home window through
// the picker (the portal's offer) to a recording of the whole screen, during which the recording
// window steps aside (its tray icon stops the recording), to the saved draft.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/HomeView.h"
#include "app/HomeWindowController.h"
#include "app/QtTestSupport.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerView.h"
#include "e2e/MediaChecks.h"
#include "model/DraftStore.h"
#include "model/RecordingSettings.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MonotonicClock.h"
#include "recording/Permissions.h"
#include "recording/RecordingView.h"
#include "support/ResultValue.h"
#include "wayland/WaylandSession.h"

namespace zimlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qttest::pumpFor;
using qttest::pumpUntil;
using recording::RecordingView;
using test::WaylandSession;

RecordingView* findRecordingView() {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* view = top->findChild<RecordingView*>()) return view;
    return nullptr;
}

// Share of nearly black pixels: the recording window is mostly its black preview background and
// dark toolbar, the test desktop is red with a small animated window.
double darkShare(const uint8_t* pixels, int width, int height, int stride, int bytesPerPixel) {
    long dark = 0;
    for (int y = 0; y < height; y += 2)
        for (int x = 0; x < width; x += 2) {
            const uint8_t* p = pixels + static_cast<size_t>(y) * stride + x * bytesPerPixel;
            if (p[0] < 48 && p[1] < 48 && p[2] < 48) ++dark;
        }
    return static_cast<double>(dark) / ((width / 2) * (height / 2));
}

// The output as it is now (grim), as the share of dark pixels.
double darkShareOnScreen() {
    int status = 0;
    const std::string ppm = test::commandOutput("grim -t ppm - 2>/dev/null", status);
    std::istringstream in(ppm);
    std::string magic;
    int width = 0, height = 0, maximum = 0;
    in >> magic >> width >> height >> maximum;
    in.get();
    if (magic != "P6" || width <= 0) return -1;
    const auto offset = static_cast<size_t>(in.tellg());
    return darkShare(reinterpret_cast<const uint8_t*>(ppm.data()) + offset, width, height,
                     width * 3, 3);
}

bool swayShowsOurWindow() {
    const std::string tree = WaylandSession::shared().sway("-t get_tree -r");
    return tree.find("\"app_id\": \"zimlo") != std::string::npos ||
           tree.find("\"app_id\":\"zimlo") != std::string::npos;
}

// The cast's PipeWire node, as the portal's back end last reported it.
std::string castNode() {
    std::ifstream log(WaylandSession::shared().value("ZIMLO_WAYLAND_WORK") + "/log/xdpw.log");
    std::string node;
    for (std::string line; std::getline(log, line);) {
        auto at = line.find("node id is ");
        if (at != std::string::npos && line.compare(at + 11, 1, "-") != 0)
            node = line.substr(at + 11);
    }
    return node;
}

class WaylandApp : public ::testing::Test {
  protected:
    void SetUp() override {
        recording::Permissions::setStatusProvider(
            [](recording::PermissionKind) { return recording::AuthorizationStatus::authorized; });
        ASSERT_TRUE(RecordingSettingsStore::shared()->save(
            RecordingSettings(RecordingResolution::presets()[0], CaptureFrameRate::fps30)));
    }
    void TearDown() override {
        shell.reset();
        pumpFor(200ms);
        recording::Permissions::setStatusProvider(nullptr);
    }

    // Home, the picker, "确认" on the whole screen, the recording window with its first frame.
    RecordingView* openRecordingWindow() {
        shell = app::HomeWindowController::create(app::ShellServices::system());
        shell->window()->show();
        if (!pumpUntil([&] { return shell->homeView() != nullptr; }, 20s)) return nullptr;
        shell->homeView()->screenRecordButton()->click();
        if (!pumpUntil([&] { return shell->sourcePicker() != nullptr; }, 20s)) return nullptr;
        auto* picker = shell->sourcePicker();
        if (!pumpUntil([&] { return !picker->cardViews().empty(); }, 60s)) return nullptr;
        picker->startButton()->click();
        RecordingView* view = nullptr;
        if (!pumpUntil([&] { return (view = findRecordingView()) != nullptr; }, 20s))
            return nullptr;
        QPointer<RecordingView> guard(view);
        if (!pumpUntil([&] { return guard && view->latestCaptureStatus().has_value(); }, 60s))
            return nullptr;
        return view;
    }

    std::shared_ptr<app::HomeWindowController> shell;
};

TEST_F(WaylandApp, AScreenShareEndedByTheDesktopStopsAndSavesTheRecording) {
    test::MovingClient moving;
    RecordingView* view = openRecordingWindow();
    ASSERT_TRUE(view);
    QPointer<RecordingView> guard(view);
    view->recordButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return view->recordStartTime().has_value(); }, 30s))
        << view->statusLabel()->text().toStdString();
    ASSERT_TRUE(view->isSteppedAside());
    pumpFor(1500ms);

    // The desktop takes the cast away (as its "stop sharing" control does).
    const std::string node = castNode();
    ASSERT_FALSE(node.empty());
    QProcess destroy;
    destroy.start(QStringLiteral("pw-cli"),
                  {QStringLiteral("destroy"), QString::fromStdString(node)});
    ASSERT_TRUE(pumpUntil([&] { return guard && !guard->isSteppedAside(); }, 20s))
        << "the recording went on without its screen";
    EXPECT_TRUE(guard->window()->isVisible());
    ASSERT_TRUE(pumpUntil(
        [&] { return shell->homeView() && !shell->homeView()->cardViews().empty(); }, 120s))
        << (guard ? guard->statusLabel()->text().toStdString()
                  : std::string("recording window closed"));
    destroy.waitForFinished(5000);
    const auto drafts = DraftStore::shared()->loadDrafts();
    ASSERT_EQ(drafts.size(), 1u);
    ASSERT_TRUE(drafts.front().mainVideo);
    auto asset =
        test::valueOrFailure(media::MovieAsset::open(*localFile(drafts.front().mainVideo)));
    ASSERT_TRUE(asset);
    EXPECT_GT(media::availableDuration(*asset, 0), 1.0);
}

TEST_F(WaylandApp, RecordsADraftThroughTheRecordingWindowWhichStepsAsideForTheWholeScreen) {
    auto& session = WaylandSession::shared();
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("wayland"));
    test::MovingClient moving;
    test::SoundSources sounds(1000, 3000);

    // Home, then the picker: the portal's whole screen, chosen by the system after "确认".
    shell = app::HomeWindowController::create(app::ShellServices::system());
    shell->window()->show();
    ASSERT_TRUE(pumpUntil([&] { return shell->homeView() && swayShowsOurWindow(); }, 20s))
        << "the home window is not a window of the Wayland compositor";
    shell->homeView()->screenRecordButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return shell->sourcePicker() != nullptr; }, 20s));
    auto* picker = shell->sourcePicker();
    ASSERT_TRUE(pumpUntil([&] { return !picker->cardViews().empty(); }, 60s))
        << picker->statusLabel()->text().toStdString();
    ASSERT_EQ(picker->targets().size(), 1u) << "this portal offers no window capture";
    EXPECT_EQ(picker->targets().front().id, "portal-monitor");
    EXPECT_TRUE(picker->statusLabel()->text().contains(QStringLiteral("系统弹出的窗口")))
        << picker->statusLabel()->text().toStdString();
    QTest::mouseClick(picker->cardViews().front(), Qt::LeftButton);
    EXPECT_TRUE(picker->statusLabel()->text().contains(QStringLiteral("仅在 X11")))
        << picker->statusLabel()->text().toStdString();
    const int choosers = session.chooserCalls();
    picker->startButton()->click();

    // The recording window: the chooser is asked, the first frames arrive.
    RecordingView* view = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (view = findRecordingView()) != nullptr; }, 20s));
    QPointer<RecordingView> guard(view);
    ASSERT_TRUE(pumpUntil([&] { return guard && view->latestCaptureStatus().has_value(); }, 60s))
        << view->statusLabel()->text().toStdString();
    EXPECT_EQ(session.chooserCalls(), choosers + 1);
    ASSERT_TRUE(view->recordButton()->isEnabled());
    pumpFor(500ms);
    const double visibleDark = darkShareOnScreen();
    EXPECT_GT(visibleDark, 0.15) << "the recording window should be on screen now";

    // Record: the window steps aside before the recording starts; a tray icon stands in for it.
    view->recordButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return view->isSteppedAside(); }, 30s))
        << view->statusLabel()->text().toStdString();
    ASSERT_TRUE(pumpUntil([&] { return view->recordStartTime().has_value(); }, 30s))
        << view->statusLabel()->text().toStdString();
    EXPECT_FALSE(view->window()->isVisible());
    EXPECT_TRUE(pumpUntil([&] { return !swayShowsOurWindow(); }, 5s))
        << "the compositor still shows our window";
    ASSERT_TRUE(pumpUntil([&] { return !session.trayItems().empty(); }, 10s))
        << "no tray icon registered";
    const double recordingStarted = media::MonotonicClock::nowSeconds();
    pumpFor(3s);

    // The tray icon stops the recording; the window comes back and saves the draft.
    std::istringstream item(session.trayItems().back());
    std::string service, path;
    item >> service >> path;
    QProcess activate;
    activate.start(QStringLiteral("gdbus"),
                   {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                    QString::fromStdString(service), QStringLiteral("--object-path"),
                    QString::fromStdString(path), QStringLiteral("--method"),
                    QStringLiteral("org.kde.StatusNotifierItem.Activate"), QStringLiteral("0"),
                    QStringLiteral("0")});
    ASSERT_TRUE(pumpUntil([&] { return guard && !guard->isSteppedAside(); }, 20s))
        << "the tray icon did not stop the recording";
    const double recorded = media::MonotonicClock::nowSeconds() - recordingStarted;
    EXPECT_TRUE(guard->window()->isVisible());
    ASSERT_TRUE(pumpUntil(
        [&] { return shell->homeView() && !shell->homeView()->cardViews().empty(); }, 120s))
        << (guard ? guard->statusLabel()->text().toStdString()
                  : std::string("recording window closed"));
    activate.waitForFinished(5000);

    // The draft: the screen without our window, about as long as the recording, with sound.
    const auto drafts = DraftStore::shared()->loadDrafts();
    ASSERT_EQ(drafts.size(), 1u);
    ASSERT_TRUE(drafts.front().mainVideo);
    const fs::path movie = *localFile(drafts.front().mainVideo);
    auto asset = test::valueOrFailure(media::MovieAsset::open(movie));
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->tracks(media::MediaType::video).size(), 1u);
    EXPECT_EQ(asset->tracks(media::MediaType::audio).size(), 1u);
    const double duration = media::availableDuration(*asset, 0);
    EXPECT_NEAR(duration, recorded, 1.0);
    int frames = 0;
    double darkest = 0;
    e2e::forEachFrame(movie, [&](double, const media::PixelBuffer& picture) {
        ++frames;
        darkest = std::max(darkest, darkShare(picture.data(), picture.width(), picture.height(),
                                              picture.stride(), 4));
        return true;
    });
    EXPECT_GT(frames, static_cast<int>(duration * 30 * 0.8));
    EXPECT_LT(darkest, 0.08) << "the recording window shows in the recording (dark share "
                             << darkest << ", " << visibleDark << " while it was on screen)";
    const auto sound = e2e::decodeSound(movie);
    const double length = static_cast<double>(sound.size()) / e2e::kSoundRate;
    EXPECT_GT(e2e::toneAmplitude(sound, 1000, 0.5, length - 0.5), 0.1);
    EXPECT_GT(e2e::toneAmplitude(sound, 3000, 0.5, length - 0.5), 0.1);
}

}  // namespace
}  // namespace zimlo
