#include "recording/CameraPreviewView.h"

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
    return centredImageRect(image_.size(), size(), Qt::KeepAspectRatioByExpanding);
}

void CameraPreviewView::paintEvent(QPaintEvent*) { paintPreview(*this, image_, imageRect()); }

}  // namespace zimlo::recording
