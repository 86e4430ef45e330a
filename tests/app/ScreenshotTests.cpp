#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QToolButton>
#include <memory>

#include "app/AppStyle.h"
#include "app/AppTestSupport.h"
#include "app/DraftCard.h"
#include "app/HomeView.h"
#include "app/HomeWindowController.h"
#include "app/PlaceholderRecordingWindow.h"
#include "app/QtTestSupport.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerView.h"
#include "recording/PermissionAlert.h"

// Pictures of the main screens and alerts under <build>/screenshots, for review by eye (the
// Chinese texts must show real glyphs). Each test also checks that its picture was written and
// is not blank.
namespace zimlo::app {
namespace {

using qttest::pumpUntil;

bool hasContent(const QString& file) {
    QImage image(qttest::screenshotDirectory() + QLatin1Char('/') + file);
    if (image.isNull()) return false;
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); y += 7) {
        for (int x = 0; x < image.width(); x += 7) {
            if (image.pixel(x, y) != first) return true;
        }
    }
    return false;
}

class Screenshots : public ::testing::Test {
  protected:
    void SetUp() override {
        style::apply(*qApp);
        library = std::make_shared<apptest::FakeLibrary>();
        pickerServices = std::make_shared<apptest::FakePickerServices>();
        ShellServices services;
        services.drafts = library;
        services.thumbnails = std::make_shared<apptest::FakeThumbnails>();
        services.pickerServices = [this] { return pickerServices; };
        services.recordingWindows = makePlaceholderRecordingWindow;
        services.reveal = [](const std::filesystem::path&) {};
        shellServices = services;
    }
    void TearDown() override {
        while (QMessageBox* box = apptest::visibleAlert()) box->done(0);
        shell.reset();
        qttest::settle();
    }
    void openShell() {
        shell = HomeWindowController::create(shellServices);
        shell->window()->show();
        qttest::settle();
    }
    void capture(QWidget* widget, const QString& name) {
        ASSERT_TRUE(qttest::saveScreenshot(widget, name)) << name.toStdString();
        EXPECT_TRUE(hasContent(name)) << name.toStdString();
    }

    std::shared_ptr<apptest::FakeLibrary> library;
    std::shared_ptr<apptest::FakePickerServices> pickerServices;
    ShellServices shellServices;
    std::shared_ptr<HomeWindowController> shell;
};

TEST_F(Screenshots, HomeWithDraftsAndEmpty) {
    const QDateTime now = QDateTime::currentDateTime();
    library->drafts = {
        apptest::makeDraft(1, QDateTime(now.date(), QTime(9, 5)), 59.5),
        apptest::makeDraft(2, now.addDays(-1), 754),
        apptest::makeDraft(3, QDateTime(QDate(now.date().year(), 3, 5), QTime(21, 7)), 4503),
        apptest::makeDraft(4, now.addDays(-40), 12),
        apptest::makeDraft(5, now.addDays(-41), 3599.4, false),
    };
    openShell();
    HomeView* home = shell->homeView();
    ASSERT_TRUE(pumpUntil([&] {
        int withPictures = 0;
        for (auto* card : home->cardViews()) withPictures += !card->thumbnail().isNull();
        return withPictures == 4;
    }));
    capture(shell->window(), QStringLiteral("home-drafts.png"));
    home->toggleEditing();
    capture(shell->window(), QStringLiteral("home-drafts-editing.png"));

    library->drafts.clear();
    shell->showHome();
    ASSERT_TRUE(pumpUntil([&] { return !shell->homeView()->isListing(); }));
    qttest::settle();
    capture(shell->window(), QStringLiteral("home-empty.png"));
}

TEST_F(Screenshots, PickerAndAlerts) {
    std::vector<capture::ScreenCaptureTarget> targets{apptest::makeDisplayTarget(1, 1)};
    const char* titles[] = {"终端 — zimlo",
                            "Firefox 浏览器：开发文档",
                            "设置",
                            "音乐播放器",
                            "Visual Studio Code",
                            "一个标题非常非常长以至于需要截断显示的窗口名称",
                            "计算器"};
    for (uint32_t i = 0; i < 7; ++i)
        targets.push_back(apptest::makeWindowTarget(100 + i, titles[i], "应用"));
    targets.back().subtitle.reset();
    pickerServices->listing = targets;
    pickerServices->noThumbnail = {"window-103"};
    openShell();
    shell->homeView()->screenRecordButton()->click();
    qttest::settle();
    SourcePickerView* picker = shell->sourcePicker();
    ASSERT_TRUE(picker);
    ASSERT_TRUE(pumpUntil([&] {
        return picker->cardViews().size() == 8 && !picker->cardViews()[7]->thumbnail().isNull();
    }));
    picker->selectTarget(targets[2]);
    capture(shell->window(), QStringLiteral("picker.png"));

    recording::PermissionAlert::show(recording::PermissionKind::screenRecording, shell->window());
    QMessageBox* permission = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (permission = apptest::visibleAlert()) != nullptr; }));
    capture(permission, QStringLiteral("alert-permission.png"));
    permission->done(0);
    qttest::settle();

    picker->backButton()->click();
    qttest::settle();
    library->drafts = {apptest::makeDraft(1, QDateTime::currentDateTime(), 30)};
    shell->showHome();
    ASSERT_TRUE(pumpUntil([&] { return !shell->homeView()->isListing(); }));
    shell->homeView()->confirmDelete(library->listed(0));
    QMessageBox* confirm = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (confirm = apptest::visibleAlert()) != nullptr; }));
    capture(confirm, QStringLiteral("alert-delete.png"));
}

}  // namespace
}  // namespace zimlo::app
