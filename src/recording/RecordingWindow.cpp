#include "recording/RecordingWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QVBoxLayout>

namespace zimlo::recording {
namespace {

class RecordingTopLevel : public QWidget {
  public:
    std::function<bool()> onCloseRequested;  // false keeps the window open

  protected:
    void closeEvent(QCloseEvent* event) override {
        auto handler = onCloseRequested;  // the handler may replace itself
        if (handler && !handler()) {
            event->ignore();
            return;
        }
        QWidget::closeEvent(event);
    }
};

}  // namespace

RecordingWindow::RecordingWindow(capture::ScreenCaptureTarget target,
                                 RecordingView::Dependencies dependencies) {
    auto* window = new RecordingTopLevel;
    window_ = window;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QCoreApplication::translate("RecordingWindow", "Zimlo录屏"));
    window->setMinimumSize(920, 620);
    window->resize(1180, 760);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, Qt::black);
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        window->move(screen->availableGeometry().center() - QPoint(1180 / 2, 760 / 2));
    }
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* controller = new RecordingView(std::move(target), std::move(dependencies), window);
    recordingViewController_ = controller;
    layout->addWidget(controller);

    controller->onFinish = [this](const RecordingProject& project) {
        auto finish = onFinish_;  // the handler may release this window controller
        if (finish) finish(project);
    };
    controller->onCancel = [this] {
        auto cancel = onCancel_;
        if (cancel) cancel();
    };
    // The window's own close button acts like "重选窗口": a recording is stopped and saved
    // (the window stays until the draft is saved), otherwise the window closes as cancelled.
    window->onCloseRequested = [this]() -> bool {
        if (!recordingViewController_) return true;
        if (recordingViewController_->isRecording()) {
            recordingViewController_->closeTapped();
            return false;
        }
        recordingViewController_->closeTapped();
        return true;
    };
}

RecordingWindow::~RecordingWindow() {
    if (window_) {
        static_cast<RecordingTopLevel*>(window_.data())->onCloseRequested = nullptr;
        if (recordingViewController_) {
            recordingViewController_->onFinish = nullptr;
            recordingViewController_->onCancel = nullptr;
        }
        window_->close();
    }
}

void RecordingWindow::setOnFinish(std::function<void(const RecordingProject&)> onFinish) {
    onFinish_ = std::move(onFinish);
}

void RecordingWindow::setOnCancel(std::function<void()> onCancel) {
    onCancel_ = std::move(onCancel);
}

}  // namespace zimlo::recording
