#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <future>
#include <memory>

#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "app/DesktopReveal.h"
#include "app/DraftCard.h"
#include "app/DraftNotifier.h"
#include "app/HomeView.h"
#include "app/HomeWindowController.h"
#include "app/PlaceholderRecordingWindow.h"
#include "app/QtTestSupport.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerServices.h"
#include "app/SourcePickerView.h"

namespace zimlo::app {
namespace {

using qttest::pumpFor;
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
        services.open = [this](const std::filesystem::path& p,
                               std::function<void(const QString&)> failed) {
            opened.push_back(p);
            if (!openProblem.isEmpty()) failed(openProblem);
        };
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
    std::vector<std::filesystem::path> opened;
    QString openProblem;  // what opening a movie reports, when set
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
    Application delegate(services);
    delegate.started();
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
    EXPECT_EQ(revealed, std::vector<std::filesystem::path>{*localFile(withMovie.mainVideo)});
}

// Home → picker → a window → record, with keys only; back home, the arrow keys walk the cards,
// Return plays one (and says so when nothing can), Delete asks only in edit mode, and Return in
// the question never deletes.
TEST_F(ShellFlow, TheKeyboardAloneRecordsPlaysAndNeverDeletesWithReturn) {
    using qttest::pressKey;
    ASSERT_TRUE(qttest::activate(shell->window()));
    ASSERT_TRUE(pressKey(Qt::Key_Return));
    ASSERT_TRUE(shell->sourcePicker());
    SourcePickerView* picker = shell->sourcePicker();
    ASSERT_TRUE(pumpUntil([&] { return picker->startButton()->isEnabled(); }));
    ASSERT_TRUE(pumpUntil([&] { return picker->cardViews().front()->hasFocus(); }));
    ASSERT_TRUE(pressKey(Qt::Key_Right));
    EXPECT_TRUE(picker->cardViews()[1]->hasFocus());
    EXPECT_EQ(picker->selectedTarget()->id, "window-42");
    ASSERT_TRUE(pressKey(Qt::Key_Right));  // the last card: stays
    EXPECT_TRUE(picker->cardViews()[1]->hasFocus());
    ASSERT_TRUE(pressKey(Qt::Key_Return));
    EXPECT_EQ(recordedTargets, std::vector<std::string>{"window-42"});

    for (int n = 0; n < 6; ++n)
        library->drafts.push_back(apptest::makeDraft(n, QDateTime::currentDateTime(), 10 + n));
    shell->returnHome();
    ASSERT_TRUE(qttest::activate(shell->window()));
    HomeView* home = shell->homeView();
    ASSERT_TRUE(pumpUntil([&] { return home->cardViews().size() == 6; }));
    EXPECT_EQ(QApplication::focusWidget(), home->screenRecordButton());
    ASSERT_TRUE(pressKey(Qt::Key_Tab));
    ASSERT_TRUE(home->cardViews()[0]->hasFocus());
    const size_t columns = static_cast<size_t>(home->renderedColumnCount());
    ASSERT_GE(columns, 2u);
    ASSERT_TRUE(pressKey(Qt::Key_Right));
    EXPECT_TRUE(home->cardViews()[1]->hasFocus());
    ASSERT_TRUE(pressKey(Qt::Key_Down));  // a short last row: its last card
    const size_t below = std::min<size_t>(1 + columns, 5);
    ASSERT_TRUE(home->cardViews()[below]->hasFocus());
    openProblem = QStringLiteral("没有播放器");
    ASSERT_TRUE(pressKey(Qt::Key_Return));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], *localFile(library->drafts[below].mainVideo));
    QMessageBox* error = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (error = apptest::visibleAlert()) != nullptr; }));
    EXPECT_EQ(error->text(), QStringLiteral("无法打开视频"));
    EXPECT_EQ(error->informativeText(), openProblem);
    ASSERT_TRUE(pressKey(Qt::Key_Return));  // "好"
    ASSERT_TRUE(pumpUntil([&] { return apptest::visibleAlert() == nullptr; }));

    ASSERT_TRUE(qttest::activate(shell->window()));
    home->cardViews()[1]->setFocus();
    ASSERT_TRUE(pressKey(Qt::Key_Delete));
    EXPECT_EQ(apptest::visibleAlert(), nullptr) << "Delete asks in edit mode only";
    home->toggleEditing();
    ASSERT_TRUE(pressKey(Qt::Key_Delete));
    QMessageBox* question = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (question = apptest::visibleAlert()) != nullptr; }));
    EXPECT_EQ(question->text(), QStringLiteral("删除作品？"));
    ASSERT_TRUE(pressKey(Qt::Key_Return));
    ASSERT_TRUE(pumpUntil([&] { return apptest::visibleAlert() == nullptr; }));
    EXPECT_TRUE(library->deleted.empty()) << "Return deleted the draft";
    EXPECT_EQ(home->cardViews().size(), 6u);
}

// The card's menu plays, reveals, copies and deletes; a draft without a movie offers deleting
// only.
TEST_F(ShellFlow, TheCardMenuPlaysRevealsAndDeletes) {
    library->drafts.push_back(apptest::makeDraft(1, QDateTime::currentDateTime(), 5));
    library->drafts.push_back(apptest::makeDraft(2, QDateTime::currentDateTime(), 5, false));
    shell->showHome();
    HomeView* home = shell->homeView();
    ASSERT_TRUE(pumpUntil([&] { return home->cardViews().size() == 2; }));
    auto actions = [](QMenu* menu) {
        std::vector<std::pair<QString, bool>> found;
        for (QAction* a : menu->actions())
            if (!a->isSeparator()) found.emplace_back(a->text(), a->isEnabled());
        return found;
    };
    std::unique_ptr<QMenu> menu(home->makeDraftMenu(0));
    using Entries = std::vector<std::pair<QString, bool>>;
    EXPECT_EQ(actions(menu.get()), (Entries{{QStringLiteral("播放"), true},
                                            {QStringLiteral("在文件夹中显示"), true},
                                            {QStringLiteral("重命名"), true},
                                            {QStringLiteral("复制到…"), true},
                                            {QStringLiteral("删除"), true}}));
    const auto movie = *localFile(library->drafts[0].mainVideo);
    menu->actions()[0]->trigger();
    menu->actions()[1]->trigger();
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{movie});
    EXPECT_EQ(revealed, std::vector<std::filesystem::path>{movie});
    menu->actions().back()->trigger();
    QMessageBox* question = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (question = apptest::visibleAlert()) != nullptr; }));
    EXPECT_EQ(question->defaultButton()->text(), QStringLiteral("取消"));
    apptest::clickButton(question, QStringLiteral("删除"));
    ASSERT_TRUE(pumpUntil([&] { return home->cardViews().size() == 1; }));

    menu.reset(home->makeDraftMenu(0));
    EXPECT_EQ(actions(menu.get()), (Entries{{QStringLiteral("播放"), false},
                                            {QStringLiteral("在文件夹中显示"), false},
                                            {QStringLiteral("重命名"), true},
                                            {QStringLiteral("复制到…"), false},
                                            {QStringLiteral("删除"), true}}));
}

// What a screen reader finds: a name for every control of the home page (edit mode too) and of
// the picker; draft cards are buttons named by date and length, source cards radio buttons
// checked while selected.
TEST_F(ShellFlow, ScreenReadersFindEveryControlNamedAndTheCardsStates) {
    library->drafts.push_back(
        apptest::makeDraft(1, QDateTime(QDate::currentDate(), QTime(9, 5)), 65));
    shell->showHome();
    HomeView* home = shell->homeView();
    ASSERT_TRUE(pumpUntil([&] { return home->cardViews().size() == 1; }));
    using Names = std::vector<std::string>;
    EXPECT_EQ(qttest::unnamedControls(shell->window()), Names{});
    home->toggleEditing();
    EXPECT_EQ(qttest::unnamedControls(shell->window()), Names{});
    QAccessibleInterface* draft = QAccessible::queryAccessibleInterface(home->cardViews()[0]);
    ASSERT_TRUE(draft);
    EXPECT_EQ(draft->role(), QAccessible::Button);
    EXPECT_EQ(draft->text(QAccessible::Name), QStringLiteral("今天 09:05，时长 01:05，草稿"));
    EXPECT_TRUE(draft->state().focusable);

    home->screenRecordButton()->click();
    qttest::settle();
    SourcePickerView* picker = shell->sourcePicker();
    ASSERT_TRUE(picker);
    ASSERT_TRUE(pumpUntil([&] { return picker->cardViews().size() == 2; }));
    EXPECT_EQ(qttest::unnamedControls(shell->window()), Names{});
    QAccessibleInterface* first = QAccessible::queryAccessibleInterface(picker->cardViews()[0]);
    QAccessibleInterface* second = QAccessible::queryAccessibleInterface(picker->cardViews()[1]);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second->role(), QAccessible::RadioButton);
    EXPECT_EQ(second->text(QAccessible::Name), QStringLiteral("文档，Editor"));
    EXPECT_TRUE(first->state().checked);
    EXPECT_FALSE(second->state().checked);
    // Pressed through the accessibility interface, as a screen reader does.
    ASSERT_TRUE(second->actionInterface());
    second->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_FALSE(first->state().checked);
    EXPECT_TRUE(second->state().checked);
    EXPECT_EQ(picker->selectedTarget()->id, "window-42");
}

// A recording window the test finishes itself, as if a draft had been saved.
class FinishingWindow : public RecordingWindowHandle {
  public:
    FinishingWindow() { window_ = new QWidget; }
    ~FinishingWindow() override { delete window_.data(); }
    QWidget* window() override { return window_; }
    void setOnFinish(std::function<void(const RecordingProject&)> f) override {
        onFinish_ = std::move(f);
    }
    void setOnCancel(std::function<void()>) override {}
    void finish(const RecordingProject& project) {
        auto finish = onFinish_;
        if (finish) finish(project);
    }

  private:
    QPointer<QWidget> window_;
    std::function<void(const RecordingProject&)> onFinish_;
};

// A draft saved while the recording window is in front goes home quietly; one saved while the
// user is in another window is announced, and the announcement's action plays it.
TEST_F(ShellFlow, ADraftSavedBehindTheUsersBackIsAnnouncedAndOpensFromThere) {
    std::vector<std::pair<Uuid, std::function<void()>>> announced;
    services.announceSaved = [&](const RecordingProject& p, std::function<void()> open) {
        announced.emplace_back(p.id, std::move(open));
    };
    std::shared_ptr<FinishingWindow> window;
    services.recordingWindows = [&](const capture::ScreenCaptureTarget&) {
        window = std::make_shared<FinishingWindow>();
        return window;
    };
    shell = HomeWindowController::create(services);
    shell->window()->show();
    const auto first = apptest::makeDraft(1, QDateTime::currentDateTime(), 5);
    const auto second = apptest::makeDraft(2, QDateTime::currentDateTime(), 5);

    shell->startRecording(apptest::makeDisplayTarget(7, 1));
    ASSERT_TRUE(qttest::activate(window->window()));
    window->finish(first);
    EXPECT_TRUE(announced.empty()) << "announced while the window was in front";
    EXPECT_FALSE(shell->recordingWindowController());

    shell->startRecording(apptest::makeDisplayTarget(7, 1));
    QWidget elsewhere;  // another program's window, where the user is now
    elsewhere.show();
    ASSERT_TRUE(qttest::activate(&elsewhere));
    window->finish(second);
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].first, second.id);
    announced[0].second();
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{*localFile(second.mainVideo)});
}

// A notification service of our own on a private session bus: it records each Notify call and
// answers with id 42.
class FakeNotificationService : public QDBusVirtualObject {
  public:
    std::vector<QList<QVariant>> calls;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QStringLiteral("Notify")) return false;
        calls.push_back(message.arguments());
        connection.send(message.createReply(QVariant::fromValue(uint(42))));
        return true;
    }
};

// The notice goes out over D-Bus as the desktop expects it; the user's click on it (the
// "default" action, or "open") opens the draft, once; other notifications' actions do nothing.
TEST(DraftNotifier, AnnouncesOverTheBusAndOpensOnTheNoticesAction) {
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    ASSERT_TRUE(daemon.waitForStarted(5000));
    ASSERT_TRUE(pumpUntil([&] { return daemon.canReadLine(); }));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    {
        QDBusConnection server = QDBusConnection::connectToBus(address, QStringLiteral("server"));
        ASSERT_TRUE(server.isConnected());
        FakeNotificationService service;
        ASSERT_TRUE(server.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"),
                                                 &service));
        ASSERT_TRUE(server.registerService(QStringLiteral("org.freedesktop.Notifications")));
        DraftNotifier notifier(QDBusConnection::connectToBus(address, QStringLiteral("client")));
        int opens = 0;
        auto draft = apptest::makeDraft(1, QDateTime(QDate::currentDate(), QTime(9, 5)), 65);
        notifier.notifySaved(draft, [&] { ++opens; });
        ASSERT_TRUE(pumpUntil([&] { return !service.calls.empty(); }));
        const QList<QVariant>& call = service.calls[0];
        ASSERT_EQ(call.size(), 8);
        EXPECT_EQ(call[0].toString(), QStringLiteral("Zimlo"));
        EXPECT_EQ(call[3].toString(), QStringLiteral("已保存草稿"));
        EXPECT_EQ(call[4].toString(), QStringLiteral("今天 09:05，时长 01:05"));
        EXPECT_EQ(call[5].toStringList(),
                  (QStringList{QStringLiteral("default"), QStringLiteral("打开"),
                               QStringLiteral("open"), QStringLiteral("打开")}));
        pumpFor(std::chrono::milliseconds(200));  // the reply with the id arrives
        auto invoke = [&](uint id, const QString& action) {
            QDBusMessage signal = QDBusMessage::createSignal(
                QStringLiteral("/org/freedesktop/Notifications"),
                QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
            signal << id << action;
            server.send(signal);
        };
        invoke(7, QStringLiteral("default"));  // not ours
        invoke(42, QStringLiteral("default"));
        invoke(42, QStringLiteral("default"));  // gone once used
        pumpFor(std::chrono::milliseconds(500));
        EXPECT_EQ(opens, 1);
        server.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("server"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    daemon.terminate();
    daemon.waitForFinished(5000);
}

// The desktop's opener: xdg-open with the movie; its failure (no application for the type)
// becomes a sentence for the user, its success says nothing.
TEST(DesktopOpener, AFailingXdgOpenIsReported) {
    const QByteArray oldPath = qgetenv("PATH");
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    const QString log = bin.filePath(QStringLiteral("opened"));
    auto writeOpener = [&](int code) {
        QFile script(bin.filePath(QStringLiteral("xdg-open")));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write(QStringLiteral("#!/bin/sh\necho \"$1\" >> '%1'\nexit %2\n")
                         .arg(log)
                         .arg(code)
                         .toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    qputenv("PATH", bin.path().toUtf8() + ":" + oldPath);
    std::vector<QString> problems;
    bool done = false;
    writeOpener(4);
    openWithDefaultApplication("/drafts/1/main.mp4", [&](const QString& p) {
        problems.push_back(p);
        done = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return done; }));
    writeOpener(0);
    openWithDefaultApplication("/drafts/2/main.mp4",
                               [&](const QString& p) { problems.push_back(p); });
    pumpUntil([&] { return QFile(log).size() > 36; });
    pumpFor(std::chrono::milliseconds(300));  // a failure would have arrived by now
    qputenv("PATH", oldPath);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_TRUE(problems[0].contains(QStringLiteral("/drafts/1/main.mp4")))
        << problems[0].toStdString();
    QFile opened(log);
    ASSERT_TRUE(opened.open(QIODevice::ReadOnly));
    EXPECT_EQ(opened.readAll(), QByteArray("/drafts/1/main.mp4\n/drafts/2/main.mp4\n"));
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
