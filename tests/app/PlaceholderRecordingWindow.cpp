#include "app/PlaceholderRecordingWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

#include "app/AppStyle.h"

namespace zimlo::app {
namespace {

class PlaceholderWindow : public QWidget {
  public:
    std::function<void()> onClosed;

  protected:
    void closeEvent(QCloseEvent* event) override {
        QWidget::closeEvent(event);
        if (event->isAccepted() && onClosed) {
            auto closed = onClosed;  // the handler may release this window's controller
            closed();
        }
    }
};

class PlaceholderRecordingWindow : public RecordingWindowHandle {
  public:
    explicit PlaceholderRecordingWindow(const capture::ScreenCaptureTarget& target) {
        window_ = new PlaceholderWindow;
        window_->setAttribute(Qt::WA_DeleteOnClose);
        window_->setWindowTitle(QStringLiteral("Zimlo录屏"));
        window_->resize(1180, 760);
        window_->setMinimumSize(920, 620);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            window_->move(screen->availableGeometry().center() - QPoint(1180 / 2, 760 / 2));
        }
        QPalette palette = window_->palette();
        palette.setColor(QPalette::Window, Qt::black);
        window_->setPalette(palette);
        window_->setAutoFillBackground(true);
        auto* layout = new QVBoxLayout(window_);
        auto* label = new QLabel(QString::fromStdString(target.title), window_);
        label->setAlignment(Qt::AlignCenter);
        label->setFont(style::font(18, QFont::DemiBold));
        layout->addWidget(label);
        window_->onClosed = [this] {
            window_.clear();
            auto cancel = onCancel_;  // the handler may release this controller
            if (cancel) cancel();
        };
    }
    ~PlaceholderRecordingWindow() override {
        if (window_) {
            window_->onClosed = nullptr;
            window_->close();
        }
    }

    QWidget* window() override { return window_; }
    void setOnFinish(std::function<void(const RecordingProject&)> onFinish) override {
        onFinish_ = std::move(onFinish);
    }
    void setOnCancel(std::function<void()> onCancel) override { onCancel_ = std::move(onCancel); }

  private:
    QPointer<PlaceholderWindow> window_;
    std::function<void(const RecordingProject&)> onFinish_;
    std::function<void()> onCancel_;
};

}  // namespace

std::shared_ptr<RecordingWindowHandle> makePlaceholderRecordingWindow(
    const capture::ScreenCaptureTarget& target) {
    return std::make_shared<PlaceholderRecordingWindow>(target);
}

}  // namespace zimlo::app
