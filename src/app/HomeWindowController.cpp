#include "app/HomeWindowController.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>
#include <utility>

#include "app/AppStyle.h"
#include "app/DesktopReveal.h"
#include "app/DraftLibrary.h"
#include "app/DraftNotifier.h"
#include "app/HomeView.h"
#include "app/SourcePickerServices.h"
#include "app/SourcePickerView.h"
#include "model/DraftStore.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"

namespace zimlo::app {

ShellServices ShellServices::system() {
    ShellServices services;
    services.drafts = makeDraftStoreLibrary();
    services.thumbnails = makeMovieThumbnailGenerator();
    services.pickerServices = makeSystemPickerServices;
    services.recordingWindows = defaultRecordingWindowFactory();
    services.reveal = revealInFileManager;
    services.open = openWithDefaultApplication;
    services.announceSaved = [notifier = std::make_shared<DraftNotifier>()](
                                 const RecordingProject& project, std::function<void()> open) {
        notifier->notifySaved(project, std::move(open));
    };
    services.recoverRecordings = [] {
        auto store = DraftStore::shared();
        store->sweepInterruptedSaves();
        return compose::recoverRecordings(*store);
    };
    return services;
}

QString recoveryNotice(const compose::RecoveryReport& report) {
    const auto recovered = static_cast<qulonglong>(report.recovered.size());
    const auto kept = static_cast<qulonglong>(report.kept);
    if (recovered > 0 && kept > 0)
        return QCoreApplication::translate(
                   "HomeWindowController",
                   "已恢复 %1 个意外中断的录制，已存为草稿；另有 %2 个暂未能恢复，下次启动时再试")
            .arg(recovered)
            .arg(kept);
    if (recovered > 0)
        return QCoreApplication::translate("HomeWindowController",
                                           "已恢复 %1 个意外中断的录制，已存为草稿")
            .arg(recovered);
    if (kept > 0)
        return QCoreApplication::translate("HomeWindowController",
                                           "有 %1 个意外中断的录制暂未能恢复，下次启动时再试")
            .arg(kept);
    return {};
}

MainWindow::MainWindow() {
    setWindowTitle(QStringLiteral("Zimlo"));
    setMinimumSize(900, 620);
    resize(1120, 760);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, style::windowBackground());
    setPalette(palette);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move(available.center() - QPoint(width() / 2, height() / 2));
    }
}

void MainWindow::setContent(QWidget* content) {
    if (content_) {
        // The old content may be the sender of the click that brought us here.
        content_->hide();
        layout_->removeWidget(content_);
        content_->deleteLater();
    }
    content_ = content;
    layout_->addWidget(content);
    content->show();
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    // Presses that no control took land here: the background drags the window.
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    event->accept();
    if (windowHandle() && windowHandle()->startSystemMove()) return;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!dragOffset_) return QWidget::mouseMoveEvent(event);
    move(event->globalPosition().toPoint() - *dragOffset_);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
    dragOffset_.reset();
    QWidget::mouseReleaseEvent(event);
}

std::shared_ptr<HomeWindowController> HomeWindowController::create(ShellServices services) {
    std::shared_ptr<HomeWindowController> controller(new HomeWindowController(std::move(services)));
    controller->showHome();
    controller->startRecovery();
    return controller;
}

void HomeWindowController::startRecovery() {
    if (!services_.recoverRecordings) return;
    recoveryQueue_ = std::make_unique<SerialQueue>(".recovery");
    recoveryQueue_->async([work = services_.recoverRecordings, weak = weak_from_this()] {
        auto report = work();
        MainQueue::post([weak, report = std::move(report)] {
            if (auto self = weak.lock()) self->recoveryFinished(report);
        });
    });
}

void HomeWindowController::recoveryFinished(const compose::RecoveryReport& report) {
    const QString notice = recoveryNotice(report);
    if (notice.isEmpty()) return;
    // Said once: on the home view showing now, else on the next one.
    if (homeViewController_ && window_->content() == homeViewController_.data()) {
        homeViewController_->showNotice(notice);
        homeViewController_->reloadDrafts();
    } else {
        pendingNotice_ = notice;
    }
}

HomeWindowController::HomeWindowController(ShellServices services)
    : services_(std::move(services)), window_(std::make_unique<MainWindow>()) {}

HomeWindowController::~HomeWindowController() {
    if (recordingWindowController_) {
        recordingWindowController_->setOnFinish(nullptr);
        recordingWindowController_->setOnCancel(nullptr);
    }
}

SourcePickerView* HomeWindowController::sourcePicker() const {
    return qobject_cast<SourcePickerView*>(window_->content());
}

void HomeWindowController::showHome() {
    auto* home = new HomeView(services_.drafts, services_.thumbnails);
    homeViewController_ = home;
    home->onOpenScreenRecording =
        weakly(weak_from_this(), [](HomeWindowController& self) { self.showSourcePicker(); });
    home->onOpenDraft = weakly(weak_from_this(), [](auto& self, const RecordingProject& project) {
        self.openDraft(project);
    });
    home->onRevealDraft = weakly(weak_from_this(), [](auto& self, const RecordingProject& project) {
        self.revealDraft(project);
    });
    window_->setContent(home);
    window_->setWindowTitle(QStringLiteral("Zimlo"));
    if (!pendingNotice_.isEmpty()) home->showNotice(std::exchange(pendingNotice_, QString()));
}

void HomeWindowController::showSourcePicker() {
    auto* picker = new SourcePickerView(services_.pickerServices());
    picker->onBack = weakly(weak_from_this(), [](HomeWindowController& self) { self.showHome(); });
    picker->onStartRecording =
        weakly(weak_from_this(), [](auto& self, const capture::ScreenCaptureTarget& target) {
            self.startRecording(target);
        });
    window_->setContent(picker);
    window_->setWindowTitle(QCoreApplication::translate("HomeWindowController", "选择录屏内容"));
}

void HomeWindowController::startRecording(const capture::ScreenCaptureTarget& target) {
    std::shared_ptr<RecordingWindowHandle> recording = services_.recordingWindows(target);
    if (!recording) return;
    // Only while both the shell and this recording window are there.
    std::weak_ptr<RecordingWindowHandle> weakRecording = recording;
    auto returnHome = weakly(weak_from_this(), [weakRecording](HomeWindowController& self) {
        if (weakRecording.lock()) self.returnHome();
    });
    recording->setOnFinish([weak = weak_from_this(), weakRecording](const RecordingProject& saved) {
        auto self = weak.lock();
        auto handle = weakRecording.lock();
        if (!self || !handle) return;
        QWidget* w = handle->window();
        self->recordingFinished(saved, w && w->isActiveWindow());
    });
    recording->setOnCancel(returnHome);
    if (recordingWindowController_) {
        recordingWindowController_->setOnFinish(nullptr);
        recordingWindowController_->setOnCancel(nullptr);
    }
    recordingWindowController_ = recording;

    if (QWidget* w = recording->window()) {
        // The main window is hidden meanwhile: closing this one must not end the application.
        w->setAttribute(Qt::WA_QuitOnClose, false);
        w->show();
        w->raise();
        w->activateWindow();
    }
    window_->hide();
}

void HomeWindowController::recordingFinished(const RecordingProject& project, bool windowInFront) {
    returnHome();
    // The user is elsewhere: the desktop says the draft is there, and offers to open it.
    if (windowInFront || !services_.announceSaved) return;
    services_.announceSaved(
        project, weakly(weak_from_this(),
                        [project](HomeWindowController& self) { self.openDraft(project); }));
}

void HomeWindowController::returnHome() {
    std::shared_ptr<RecordingWindowHandle> recording = std::move(recordingWindowController_);
    recordingWindowController_.reset();
    // Bring the main window back first, so that there is always a window open.
    showHome();
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (recording) {
        recording->setOnFinish(nullptr);
        recording->setOnCancel(nullptr);
        if (QWidget* w = recording->window()) w->close();
    }
}

void HomeWindowController::revealDraft(const RecordingProject& project) {
    if (auto movie = localFile(project.mainVideo); movie && services_.reveal)
        services_.reveal(*movie);
}

void HomeWindowController::openDraft(const RecordingProject& project) {
    const auto movie = localFile(project.mainVideo);
    if (!movie || !services_.open) return;
    services_.open(*movie, [weak = weak_from_this()](const QString& problem) {
        auto self = weak.lock();
        if (self && self->homeViewController_)
            self->homeViewController_->showError(
                QCoreApplication::translate("HomeWindowController", "无法打开视频"), problem);
    });
}

}  // namespace zimlo::app
