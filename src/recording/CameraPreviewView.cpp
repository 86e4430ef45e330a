#include "recording/CameraPreviewView.h"

#include <QPainter>
#include <QPointer>
#include <atomic>
#include <mutex>

#include "platform/runtime/MainQueue.h"
#include "recording/PreviewImage.h"

namespace zimlo::recording {

struct CameraPreviewView::Core {
    std::mutex mutex;
    QImage latest;
    std::atomic<bool> repaintPending{false};
    QPointer<CameraPreviewView> view;  // read on the main thread only
};

CameraPreviewView::CameraPreviewView(std::shared_ptr<capture::CameraPreviewLayer> previewLayer,
                                     QWidget* parent)
    : QWidget(parent), previewLayer_(std::move(previewLayer)), core_(std::make_shared<Core>()) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_TransparentForMouseEvents);  // the camera window handles the drag
    core_->view = this;
    if (!previewLayer_) return;
    if (auto frame = previewLayer_->latestFrame(); frame && frame->pixels)
        core_->latest = previewImage(*frame->pixels);
    previewLayer_->setFrameHandler(
        [weak = std::weak_ptr<Core>(core_)](const media::VideoSample& sample) {
            auto core = weak.lock();
            if (!core || !sample.pixels) return;
            QImage image = previewImage(*sample.pixels);
            if (image.isNull()) return;
            {
                std::lock_guard lock(core->mutex);
                core->latest = std::move(image);
            }
            // One repaint request in flight at a time; it draws whatever is newest by then.
            if (core->repaintPending.exchange(true)) return;
            MainQueue::post([weak] {
                auto core = weak.lock();
                if (!core) return;
                core->repaintPending = false;
                if (core->view) core->view->update();
            });
        });
}

CameraPreviewView::~CameraPreviewView() = default;

QImage CameraPreviewView::currentImage() const {
    std::lock_guard lock(core_->mutex);
    return core_->latest;
}

QRect CameraPreviewView::imageRect() const {
    const QImage image = currentImage();
    if (image.isNull() || width() <= 0 || height() <= 0) return {};
    const QSize filled = image.size().scaled(size(), Qt::KeepAspectRatioByExpanding);
    return QRect(QPoint((width() - filled.width()) / 2, (height() - filled.height()) / 2), filled);
}

void CameraPreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const QImage image = currentImage();
    if (image.isNull()) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(imageRect(), image);
}

}  // namespace zimlo::recording
