#include "recording/ScreenPreviewView.h"

#include "platform/runtime/MainQueue.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/WeakOwner.h"
#include "recording/PreviewImage.h"

namespace zimlo::recording {

ScreenPreviewView::ScreenPreviewView(QWidget* parent)
    : QWidget(parent), renderQueue_(std::make_unique<SerialQueue>(".mac.screen-preview.render")) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    // Main thread: the view outlives every delivery, since it closes the relay first.
    toShow_ = NewestValueRelay<QImage>::create([](Task task) { MainQueue::post(std::move(task)); },
                                               [this](QImage image) { show(std::move(image)); });
    toRender_ = NewestValueRelay<std::shared_ptr<const media::PixelBuffer>>::create(
        [queue = renderQueue_.get()](Task task) { queue->async(std::move(task)); },
        [toShow = toShow_](const std::shared_ptr<const media::PixelBuffer>& pixels) {
            QImage image = previewImage(*pixels);
            if (!image.isNull()) toShow->offer(std::move(image));
        });
}

ScreenPreviewView::~ScreenPreviewView() {
    toRender_->close();
    toShow_->close();
    // Runs what is already queued; those tasks find the relays closed.
    renderQueue_.reset();
}

void ScreenPreviewView::display(const media::VideoSample& sample) {
    if (sample.pixels) toRender_->offer(sample.pixels);
}

std::function<void(const media::VideoSample&)> ScreenPreviewView::frameHandler() {
    return weakly(toRender_, [](auto& relay, const media::VideoSample& sample) {
        if (sample.pixels) relay.offer(sample.pixels);
    });
}

void ScreenPreviewView::show(QImage image) {
    image_ = std::move(image);
    update();
}

QRect ScreenPreviewView::imageRect() const {
    return centredImageRect(image_.size(), size(), Qt::KeepAspectRatio);
}

void ScreenPreviewView::paintEvent(QPaintEvent*) { paintPreview(*this, image_, imageRect()); }

}  // namespace zimlo::recording
