#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <future>
#include <memory>

#include "app/AppDelegate.h"
#include "app/AppTestSupport.h"
#include "app/HomeView.h"
#include "app/HomeWindowController.h"
#include "app/PlaceholderRecordingWindow.h"
#include "app/QtTestSupport.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerServices.h"
#include "app/SourcePickerView.h"

namespace zimlo::app {
namespace {

using qttest::pumpUntil;

constexpr int kStillRunning = 77;

// Runs the application's event loop, does `action` in it, and returns how the loop ended: 0 when
// the application quit by itself, kStillRunning when it was still running a while later.
int runEventLoopAfter(std::function<void()> action) {
    QTimer::singleShot(0, qApp, std::move(action));
    QTimer::singleShot(2000, qApp, [] { QCoreApplication::exit(kStillRunning); });
    return QCoreApplication::exec();
}

// A shell over fakes; recording windows are the plain stand-in, counted as they are made.
class ShellFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        library = std::make_shared<apptest::FakeLibrary>();
        picker = std::make_shared<apptest::FakePickerServices>();
        picker->listing = std::vector<capture::ScreenCaptureTarget>{
            apptest::makeDisplayTarget(7, 1), apptest::makeWindowTarget(42, "文档", "Editor")};
        services.drafts = library;
        services.thumbnails = std::make_shared<apptest::FakeThumbnails>();
        services.pickerServices = [this] { return picker; };
        services.recordingWindows = [this](const capture::ScreenCaptureTarget& target) {
            recordedTargets.push_back(target.id);
            return makePlaceholderRecordingWindow(target);
        };
        services.reveal = [this](const std::filesystem::path& p) { revealed.push_back(p); };
        shell = HomeWindowController::create(services);
        shell->window()->show();
        qttest::settle();
    }
    void TearDown() override {
        shell.reset();
        qttest::settle();
    }

    void openPickerAndStart() {
        shell->homeView()->screenRecordButton()->click();
        qttest::settle();
        ASSERT_TRUE(shell->sourcePicker());
        ASSERT_TRUE(pumpUntil([&] { return shell->sourcePicker()->startButton()->isEnabled(); }));
        shell->sourcePicker()->startButton()->click();
        qttest::settle();
    }

    ShellServices services;
    std::shared_ptr<apptest::FakeLibrary> library;
    std::shared_ptr<apptest::FakePickerServices> picker;
    std::vector<std::string> recordedTargets;
    std::vector<std::filesystem::path> revealed;
    std::shared_ptr<HomeWindowController> shell;
};

TEST_F(ShellFlow, MainWindowMovesBetweenHomeAndPicker) {
    MainWindow* window = shell->window();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Zimlo"));
    EXPECT_EQ(window->size(), QSize(1120, 760));
    EXPECT_EQ(window->minimumSize(), QSize(900, 620));
    QPointer<HomeView> firstHome = shell->homeView();
    ASSERT_TRUE(firstHome);

    firstHome->screenRecordButton()->click();
    qttest::settle();
    ASSERT_TRUE(shell->sourcePicker());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("选择录屏内容"));
    EXPECT_FALSE(firstHome);  // released with the old content

    shell->sourcePicker()->backButton()->click();
    qttest::settle();
    EXPECT_FALSE(shell->sourcePicker());
    ASSERT_TRUE(shell->homeView());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Zimlo"));
    EXPECT_FALSE(picker->borderShown);
}

TEST_F(ShellFlow, RecordingHidesTheMainWindowAndReturnsToAFreshHome) {
    openPickerAndStart();
    EXPECT_EQ(recordedTargets, std::vector<std::string>{"display-7"});
    ASSERT_TRUE(shell->recordingWindowController());
    QWidget* recording = shell->recordingWindowController()->window();
    ASSERT_TRUE(recording);
    EXPECT_TRUE(recording->isVisible());
    EXPECT_FALSE(shell->window()->isVisible());

    // A draft is saved meanwhile; closing the recording window ("cancelled") goes home.
    library->drafts.push_back(apptest::makeDraft(1, QDateTime::currentDateTime(), 12));
    EXPECT_EQ(runEventLoopAfter([recording] { recording->close(); }), kStillRunning)
        << "closing the recording window while the main window is hidden must not quit";
    EXPECT_FALSE(shell->recordingWindowController());
    EXPECT_TRUE(shell->window()->isVisible());
    ASSERT_TRUE(shell->homeView());
    ASSERT_TRUE(qttest::pumpUntil([&] { return !shell->homeView()->isListing(); }));
    EXPECT_EQ(shell->homeView()->cardViews().size(), 1u);

    // A second recording replaces the stored controller.
    openPickerAndStart();
    auto second = shell->recordingWindowController();
    ASSERT_TRUE(second);
    EXPECT_EQ(recordedTargets.size(), 2u);
    shell->returnHome();
    qttest::settle();
    EXPECT_FALSE(shell->recordingWindowController());
    EXPECT_FALSE(second->window());  // closed
}

TEST_F(ShellFlow, ClosingTheMainWindowIsClosingTheLastWindow) {
    EXPECT_EQ(runEventLoopAfter([this] { shell->window()->close(); }), 0);
}

// Started through the delegate, the application quits when its last window closes, whatever it
// was set to before.
TEST_F(ShellFlow, TheApplicationQuitsWhenItsLastWindowCloses) {
    shell.reset();
    qttest::settle();
    QApplication::setQuitOnLastWindowClosed(false);
    AppDelegate delegate(services);
    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(delegate.mainWindowController());
    EXPECT_TRUE(delegate.mainWindowController()->window()->isVisible());
    const int ended =
        runEventLoopAfter([&] { delegate.mainWindowController()->window()->close(); });
    QApplication::setQuitOnLastWindowClosed(true);
    EXPECT_EQ(ended, 0);
}

// What the recovery at the start saved is listed, and the home window says it once: on the home
// view showing when it is done, else on the next one.
TEST_F(ShellFlow, RecordingsRecoveredAtTheStartAreListedAndSaidOnce) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ShellServices recovering = services;
    recovering.recoverRecordings = [released, library = library] {
        released.wait();
        compose::RecoveryReport report;
        for (int n = 1; n <= 2; ++n) {
            auto draft = apptest::makeDraft(n, QDateTime::currentDateTime(), 4);
            library->drafts.push_back(draft);
            report.recovered.push_back(draft);
        }
        report.kept = 1;
        return report;
    };
    shell = HomeWindowController::create(recovering);
    shell->window()->show();
    qttest::settle();
    EXPECT_FALSE(shell->homeView()->noticeLabel()->isVisible());
    // Still at work while the user goes to the picker.
    shell->homeView()->screenRecordButton()->click();
    qttest::settle();
    ASSERT_TRUE(shell->sourcePicker());
    release.set_value();
    qttest::settle();
    pumpUntil([] { return false; }, std::chrono::milliseconds(300));
    shell->sourcePicker()->backButton()->click();
    qttest::settle();
    ASSERT_TRUE(pumpUntil([&] { return shell->homeView()->cardViews().size() == 2; }));
    EXPECT_TRUE(shell->homeView()->noticeLabel()->isVisible());
    EXPECT_EQ(shell->homeView()->noticeLabel()->text(),
              QStringLiteral(
                  "已恢复 2 个意外中断的录制，已存为草稿；另有 1 个暂未能恢复，下次启动时再试"));
    shell->showHome();
    qttest::settle();
    EXPECT_FALSE(shell->homeView()->noticeLabel()->isVisible()) << "said once";

    // Done while the home view shows: said there, with the drafts listed again.
    library->drafts.clear();
    ShellServices quick = services;
    quick.recoverRecordings = [library = library] {
        compose::RecoveryReport report;
        report.recovered.push_back(apptest::makeDraft(3, QDateTime::currentDateTime(), 4));
        library->drafts.push_back(report.recovered.back());
        return report;
    };
    shell = HomeWindowController::create(quick);
    shell->window()->show();
    ASSERT_TRUE(pumpUntil([&] { return shell->homeView()->noticeLabel()->isVisible(); }));
    EXPECT_EQ(shell->homeView()->noticeLabel()->text(),
              QStringLiteral("已恢复 1 个意外中断的录制，已存为草稿"));
    EXPECT_TRUE(pumpUntil([&] { return shell->homeView()->cardViews().size() == 1; }));

    // Nothing found, nothing said.
    EXPECT_EQ(recoveryNotice({}), QString());
    compose::RecoveryReport onlyKept;
    onlyKept.kept = 2;
    EXPECT_EQ(recoveryNotice(onlyKept),
              QStringLiteral("有 2 个意外中断的录制暂未能恢复，下次启动时再试"));
}

TEST_F(ShellFlow, OpeningADraftRevealsItsMovieOnly) {
    auto withMovie = apptest::makeDraft(1, QDateTime::currentDateTime(), 5);
    auto withoutMovie = apptest::makeDraft(2, QDateTime::currentDateTime(), 5, false);
    shell->revealDraft(withoutMovie);
    shell->revealDraft(withMovie);
    EXPECT_EQ(revealed, std::vector<std::filesystem::path>{*localFile(withMovie.mainVideoURL)});
}

// On a real X server the picker lists through the capture layer, which must recognise the
// application's own windows and keep them out of every recording.
TEST(ShellOnX11, RealListingLeavesOutOurOwnWindows) {
    ASSERT_TRUE(qttest::onXServer()) << "runs under the Xvfb test main";
    MainWindow window;
    window.show();
    ASSERT_TRUE(pumpUntil([&] { return window.isVisible() && window.winId() != 0; }));
    qttest::settle();
    const auto ownWindow = static_cast<uint32_t>(window.winId());

    SourcePickerView picker(makeSystemPickerServices());
    picker.resize(1120, 760);
    picker.show();
    ASSERT_TRUE(
        pumpUntil([&] { return picker.refreshButton()->isEnabled(); }, std::chrono::seconds(60)));
    ASSERT_FALSE(picker.targets().empty()) << picker.statusLabel()->text().toStdString();
    const auto& display = picker.targets().front();
    ASSERT_TRUE(display.kind.isDisplay());
    EXPECT_EQ(display.title, "桌面 1");
    bool excluded = false;
    for (const auto& w : display.excludedWindows) excluded = excluded || w.id == ownWindow;
    EXPECT_TRUE(excluded) << "our main window is not excluded from the display";
    for (const auto& target : picker.targets())
        EXPECT_NE(target.id, "window-" + std::to_string(ownWindow));
    // A real grab of the display arrives as the first card's thumbnail.
    EXPECT_TRUE(pumpUntil([&] { return !picker.cardViews().front()->thumbnail().isNull(); },
                          std::chrono::seconds(60)));
}

}  // namespace
}  // namespace zimlo::app
