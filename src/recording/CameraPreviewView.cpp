#include "recording/CameraPreviewView.h"

#include <QPainter>

#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"
#include "recording/PreviewImage.h"

namespace zimlo::recording {

CameraPreviewView::CameraPreviewView(std::shared_ptr<capture::CameraPreviewLayer> previewLayer,
                                     QWidget* parent)
    : QWidget(parent), previewLayer_(std::move(previewLayer)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_TransparentForMouseEvents);  // the camera window handles the drag
    // Main thread: the view outlives every delivery, since it closes the relay first.
    toShow_ = NewestValueRelay<QImage>::create([](Task task) { MainQueue::post(std::move(task)); },
                                               [this](QImage image) {
                                                   image_ = std::move(image);
                                                   update();
                                               });
    if (!previewLayer_) return;
    if (auto frame = previewLayer_->latestFrame(); frame && frame->pixels)
        image_ = previewImage(*frame->pixels);
    previewLayer_->setFrameHandler(
        weakly(toShow_, [](auto& relay, const media::VideoSample& sample) {
            if (!sample.pixels) return;
            QImage image = previewImage(*sample.pixels);
            if (!image.isNull()) relay.offer(std::move(image));
        }));
}

CameraPreviewView::~CameraPreviewView() { toShow_->close(); }

QRect CameraPreviewView::imageRect() const {
    const QImage& image = image_;
    if (image.isNull() || width() <= 0 || height() <= 0) return {};
    const QSize filled = image.size().scaled(size(), Qt::KeepAspectRatioByExpanding);
    return QRect(QPoint((width() - filled.width()) / 2, (height() - filled.height()) / 2), filled);
}

void CameraPreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (image_.isNull()) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(imageRect(), image_);
}

}  // namespace zimlo::recording
