// Every window in Chinese and in English on a real X server: no text cut off (each label's and
// button's size hint against its geometry), no Chinese left in the English interface, and a
// picture of each under <build>/screenshots/<language>/ for review by eye.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QToolButton>
#include <sstream>

#include "app/AppStyle.h"
#include "app/AppTestSupport.h"
#include "app/DraftCard.h"
#include "app/HomeView.h"
#include "app/HomeWindowController.h"
#include "app/PlaceholderRecordingWindow.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerView.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/i18n/Language.h"
#include "platform/speech/SpeechRecognizer.h"
#include "recording/ElidingLabel.h"
#include "recording/RecordingWindowText.h"
#include "recording/window/RecordingWindowTestSupport.h"
#include "subtitles/LiveSpeechRecognizer.h"

namespace zimlo::i18n {
namespace {

using namespace std::chrono_literals;
using qttest::pumpUntil;

const QRegularExpression kChinese(
    QStringLiteral("[\\x{3000}-\\x{303f}\\x{3400}-\\x{9fff}\\x{ff00}-"
                   "\\x{ffef}]"));

QString describe(QWidget* widget, const QString& text) {
    return QStringLiteral("%1 \"%2\" (%3×%4)")
        .arg(QString::fromLatin1(widget->metaObject()->className()), text)
        .arg(widget->width())
        .arg(widget->height());
}

// XDG_DATA_HOME pointed at an empty folder for the object's life.
class EmptyDataHome {
  public:
    explicit EmptyDataHome(const std::filesystem::path& folder)
        : wasSet_(qEnvironmentVariableIsSet("XDG_DATA_HOME")), previous_(qgetenv("XDG_DATA_HOME")) {
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(folder.string()));
    }
    ~EmptyDataHome() {
        if (wasSet_)
            qputenv("XDG_DATA_HOME", previous_);
        else
            qunsetenv("XDG_DATA_HOME");
    }
    EmptyDataHome(const EmptyDataHome&) = delete;
    EmptyDataHome& operator=(const EmptyDataHome&) = delete;

  private:
    bool wasSet_;
    QByteArray previous_;
};

// The texts `root` shows, each with the space it needs and the space it has.
struct ShownText {
    QWidget* widget;
    QString text;
    QSize needed;
};

std::vector<ShownText> shownTexts(QWidget* root) {
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    std::vector<ShownText> texts;
    for (QWidget* w : widgets) {
        if (!w->isVisible() || w->width() <= 0) continue;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->text().isEmpty()) continue;
            QSize needed = label->minimumSizeHint();
            // An eliding label shortens long texts on purpose and shows them whole in its tool
            // tip; a wrapping one needs the height its width gives it.
            if (dynamic_cast<recording::ElidingLabel*>(label))
                needed = QSize(0, 0);
            else if (label->wordWrap())
                needed = QSize(0, label->heightForWidth(label->width()));
            texts.push_back({w, label->text(), needed});
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            auto* tool = qobject_cast<QToolButton*>(w);
            if (button->text().isEmpty() ||
                (tool && tool->toolButtonStyle() == Qt::ToolButtonIconOnly))
                continue;
            texts.push_back({w, button->text(), button->sizeHint()});
        } else if (auto* box = qobject_cast<QComboBox*>(w)) {
            texts.push_back({w, box->currentText(), box->minimumSizeHint()});
        }
    }
    return texts;
}

class InterfaceLanguage : public recording::test::RecordingWindowTest,
                          public ::testing::WithParamInterface<Language> {
  protected:
    void SetUp() override {
        // First: the fixture names its display target in the language.
        ASSERT_TRUE(installLanguage(GetParam()));
        RecordingWindowTest::SetUp();
        app::style::apply(*qApp);
    }
    void TearDown() override {
        while (QMessageBox* box = apptest::visibleAlert()) box->done(0);
        shell.reset();
        qttest::settle();
        installLanguage(Language::chinese);
        RecordingWindowTest::TearDown();
    }

    QString languageName() const {
        return GetParam() == Language::english ? QStringLiteral("en") : QStringLiteral("zh");
    }

    // Saves a picture of `window`, and fails for every text in it that does not fit, and in
    // English for every Chinese text except the user's own (`userTexts`: window titles).
    void check(QWidget* window, const QString& name, const QStringList& userTexts = {}) {
        qttest::settle();
        QDir().mkpath(qttest::screenshotDirectory() + QLatin1Char('/') + languageName());
        ASSERT_TRUE(qttest::saveScreenshot(window, languageName() + QLatin1Char('/') + name))
            << name.toStdString();
        std::ostringstream clipped, untranslated;
        for (const ShownText& shown : shownTexts(window)) {
            if (shown.needed.width() > shown.widget->width() ||
                shown.needed.height() > shown.widget->height())
                clipped << "\n  " << describe(shown.widget, shown.text).toStdString() << " needs "
                        << shown.needed.width() << "×" << shown.needed.height();
            if (GetParam() == Language::english && shown.text.contains(kChinese) &&
                !std::any_of(userTexts.begin(), userTexts.end(),
                             [&](const QString& user) { return shown.text.contains(user); }))
                untranslated << "\n  " << describe(shown.widget, shown.text).toStdString();
        }
        EXPECT_TRUE(clipped.str().empty()) << name.toStdString() << ": cut off" << clipped.str();
        EXPECT_TRUE(untranslated.str().empty())
            << name.toStdString() << ": not in English" << untranslated.str();
    }

    void openShell(std::vector<RecordingProject> drafts,
                   app::SourcePickerServices::TargetsResult listing) {
        library->drafts = drafts;
        pickerServices->listing = listing;
        app::ShellServices services;
        services.drafts = library;
        services.thumbnails = std::make_shared<apptest::FakeThumbnails>();
        services.pickerServices = [this] { return pickerServices; };
        services.recordingWindows = app::makePlaceholderRecordingWindow;
        services.reveal = [](const std::filesystem::path&) {};
        shell = app::HomeWindowController::create(services);
        shell->window()->show();
        ASSERT_TRUE(pumpUntil([&] { return !shell->homeView()->isListing(); }));
    }

    QMessageBox* waitForAlert() {
        QMessageBox* box = nullptr;
        pumpUntil([&] { return (box = apptest::visibleAlert()) != nullptr; });
        return box;
    }

    std::shared_ptr<apptest::FakeLibrary> library = std::make_shared<apptest::FakeLibrary>();
    std::shared_ptr<apptest::FakePickerServices> pickerServices =
        std::make_shared<apptest::FakePickerServices>();
    std::shared_ptr<app::HomeWindowController> shell;
};

TEST_P(InterfaceLanguage, HomePickerAndAlertsShowEveryTextWhole) {
    const QDateTime now = QDateTime::currentDateTime();
    openShell(
        {apptest::makeDraft(1, QDateTime(now.date(), QTime(9, 5)), 59.5),
         apptest::makeDraft(2, now.addDays(-1), 754),
         apptest::makeDraft(3, QDateTime(QDate(now.date().year(), 9, 25), QTime(21, 7)), 4503),
         apptest::makeDraft(4, now.addDays(-40), 3599.4, false)},
        std::vector<capture::ScreenCaptureTarget>{});
    check(shell->window(), QStringLiteral("home.png"));
    shell->homeView()->toggleEditing();
    check(shell->window(), QStringLiteral("home-editing.png"));
    shell->homeView()->toggleEditing();

    shell->homeView()->confirmDelete(library->listed(0));
    QMessageBox* confirm = waitForAlert();
    ASSERT_TRUE(confirm);
    check(confirm, QStringLiteral("alert-delete.png"));
    confirm->done(0);
    shell->homeView()->showError(
        QCoreApplication::translate("HomeWindowController", "无法打开视频"),
        QCoreApplication::translate("DesktopReveal",
                                    "没有可以打开这个视频的应用。请安装视频播放器，或用“在文件夹中"
                                    "显示”找到文件：%1")
            .arg(QStringLiteral("/home/user/Documents/Drafts/1/main.mp4")));
    QMessageBox* error = waitForAlert();
    ASSERT_TRUE(error);
    check(error, QStringLiteral("alert-error.png"));
    error->done(0);

    // The picker on X11, with the display named as the provider names it.
    auto content = zimlo::test::valueOrFailure(x11::listCaptureTargets());
    auto targets = capture::ScreenCaptureTargetProvider::buildTargets(content, ::getpid());
    targets.push_back(apptest::makeWindowTarget(100, "Terminal — zimlo", "Terminal"));
    targets.push_back(
        apptest::makeWindowTarget(101, "Firefox: developer documentation", "Firefox"));
    pickerServices->listing = targets;
    shell->homeView()->screenRecordButton()->click();
    app::SourcePickerView* picker = nullptr;
    ASSERT_TRUE(pumpUntil([&] {
        picker = shell->sourcePicker();
        return picker && picker->cardViews().size() == targets.size();
    }));
    picker->selectTarget(targets.back());
    check(shell->window(), QStringLiteral("picker-x11.png"), {QStringLiteral("zimlo")});

    recording::PermissionAlert::show(recording::PermissionKind::screenRecording, shell->window());
    QMessageBox* permission = waitForAlert();
    ASSERT_TRUE(permission);
    check(permission, QStringLiteral("alert-permission.png"));
    permission->done(0);
    picker->backButton()->click();
    qttest::settle();

    // The picker on Wayland: the portal's chooser picks after "确认".
    portal::ScreenCastInfo info;
    info.sourceTypes = static_cast<uint32_t>(portal::SourceType::monitor) |
                       static_cast<uint32_t>(portal::SourceType::window);
    pickerServices->listing = capture::ScreenCaptureTargetProvider::buildPortalTargets(
        info, capture::PortalSourceMemory());
    shell->homeView()->screenRecordButton()->click();
    ASSERT_TRUE(pumpUntil([&] {
        picker = shell->sourcePicker();
        return picker && picker->cardViews().size() == 2;
    }));
    picker->selectTarget(
        std::get<std::vector<capture::ScreenCaptureTarget>>(pickerServices->listing).front());
    check(shell->window(), QStringLiteral("picker-wayland.png"));

    shell->showHome();
    library->drafts.clear();
    shell->showHome();
    ASSERT_TRUE(pumpUntil([&] { return !shell->homeView()->isListing(); }));
    check(shell->window(), QStringLiteral("home-empty.png"));
}

TEST_P(InterfaceLanguage, RecordingWindowPopoverAndOverlayShowEveryTextWhole) {
    auto controller = makeController();
    ASSERT_TRUE(waitUntilReady(*controller));
    check(controller.get(), QStringLiteral("recording-ready.png"));

    controller->parameterButton()->click();
    ASSERT_TRUE(pumpUntil([&] {
        return controller->parameterController() && controller->parameterController()->isVisible();
    }));
    check(controller->parameterController()->window(), QStringLiteral("popover.png"));
    controller->parameterController()->window()->close();
    qttest::settle();

    controller->cameraToggle()->click();
    ASSERT_TRUE(
        pumpUntil([&] { return controller->pipView() && controller->pipView()->isVisible(); }));
    controller->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return controller->isRecording(); }, 20s));
    qttest::pumpFor(1500ms);
    check(controller.get(), QStringLiteral("recording.png"));
    controller->togglePause();
    check(controller.get(), QStringLiteral("recording-paused.png"));
    controller->togglePause();

    // Stopping composes the camera window into the movie under the processing overlay.
    controller->toggleRecording();
    if (pumpUntil([&] { return controller->processingOverlay()->isVisible(); }, 20s))
        check(controller.get(), QStringLiteral("processing-overlay.png"));
    ASSERT_TRUE(pumpUntil(
        [&] {
            return !controller->isRecording() && !controller->processingOverlay()->isVisible() &&
                   controller->recordButton()->isEnabled();
        },
        60s));
    check(controller.get(), QStringLiteral("recording-finished.png"));
}

TEST_P(InterfaceLanguage, CountdownAndMissingSpeechModelReadWhole) {
    // No speech model where the recogniser looks: subtitles say what to do.
    const EmptyDataHome dataHome(directory / "data");
    auto deps = dependencies();
    deps.speech =
        LiveSpeechRecognizer::create(speech::SpeechRecognizer::shared("zh-CN", std::nullopt));
    auto controller = std::make_unique<recording::RecordingView>(target, deps);
    controller->resize(1180, 760);
    controller->show();
    ASSERT_TRUE(waitUntilReady(*controller));
    controller->subtitleToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return controller->installModelButton()->isVisible(); }, 10s))
        << controller->statusLabel()->text().toStdString();
    check(controller.get(), QStringLiteral("recording-no-speech-model.png"));
    // The long notice on the status line gives way before the short target title.
    auto* title = controller->findChild<QLabel*>(QStringLiteral("targetTitleLabel"));
    ASSERT_TRUE(title);
    EXPECT_GE(title->width(), title->fontMetrics().horizontalAdvance(title->toolTip()))
        << title->toolTip().toStdString();
    controller->subtitleToggle()->click();

    controller->setCountdownSeconds(recording::RecordingView::kCountdownSeconds);
    controller->toggleRecording();
    ASSERT_TRUE(pumpUntil([&] { return controller->isCountingDown(); }, 10s));
    check(controller.get(), QStringLiteral("recording-countdown.png"));
    controller->toggleRecording();
    EXPECT_FALSE(controller->isCountingDown());
    EXPECT_FALSE(controller->isRecording());
}

TEST_P(InterfaceLanguage, ErrorsOnTheStatusLineReadWhole) {
    adjustSource = [](capture::ScreenCameraSource::Options& options) {
        options.cameraDiscovery = [] { return std::shared_ptr<camera::CameraDevice>(); };
    };
    auto controller = makeController();
    ASSERT_TRUE(waitUntilReady(*controller));
    controller->cameraToggle()->click();
    ASSERT_TRUE(pumpUntil([&] { return controller->isHoldingError(); }, 20s));
    // The status line elides what does not fit in two lines; its tool tip holds the whole text.
    const QString shown = controller->statusLabel()->toolTip().isEmpty()
                              ? controller->statusLabel()->text()
                              : controller->statusLabel()->toolTip();
    EXPECT_EQ(shown, QCoreApplication::translate("CameraWindowFlow", "无法开启摄像头：%1")
                         .arg(QCoreApplication::translate("SourceError", "无法获取电脑摄像头")));
    check(controller.get(), QStringLiteral("recording-error.png"));
}

INSTANTIATE_TEST_SUITE_P(Languages, InterfaceLanguage,
                         ::testing::Values(Language::chinese, Language::english),
                         [](const ::testing::TestParamInfo<Language>& info) {
                             return info.param == Language::english ? std::string("English")
                                                                    : std::string("Chinese");
                         });

}  // namespace
}  // namespace zimlo::i18n
