#include "recording/ScreenPreviewView.h"

#include <QPainter>
#include <mutex>

#include "platform/runtime/MainQueue.h"
#include "platform/runtime/SerialQueue.h"
#include "recording/PreviewImage.h"

namespace zimlo::recording {

// Shared between the view (main thread), whoever delivers frames and the render queue. The
// view clears `view` before it goes away; tasks hold the core only weakly.
struct ScreenPreviewView::Core {
    std::mutex mutex;
    ScreenPreviewView* view = nullptr;
    SerialQueue* queue = nullptr;

    void submit(const std::weak_ptr<Core>& self, const media::VideoSample& sample) {
        if (!sample.pixels) return;
        std::lock_guard lock(mutex);
        if (!view || !queue) return;
        queue->async([self, pixels = sample.pixels] {
            if (self.expired()) return;
            QImage image = previewImage(*pixels);
            if (image.isNull()) return;
            MainQueue::post([self, image = std::move(image)]() mutable {
                auto core = self.lock();
                if (!core || !core->view) return;  // main thread: the view cannot go meanwhile
                core->view->show(std::move(image));
            });
        });
    }
};

ScreenPreviewView::ScreenPreviewView(QWidget* parent)
    : QWidget(parent),
      core_(std::make_shared<Core>()),
      renderQueue_(std::make_unique<SerialQueue>(".mac.screen-preview.render")) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    std::lock_guard lock(core_->mutex);
    core_->view = this;
    core_->queue = renderQueue_.get();
}

ScreenPreviewView::~ScreenPreviewView() {
    {
        std::lock_guard lock(core_->mutex);
        core_->view = nullptr;
        core_->queue = nullptr;
    }
    // Runs what is already queued; those tasks find the view gone.
    renderQueue_.reset();
}

void ScreenPreviewView::display(const media::VideoSample& sample) { core_->submit(core_, sample); }

std::function<void(const media::VideoSample&)> ScreenPreviewView::frameHandler() {
    return [weak = std::weak_ptr<Core>(core_)](const media::VideoSample& sample) {
        if (auto core = weak.lock()) core->submit(weak, sample);
    };
}

void ScreenPreviewView::show(QImage image) {
    image_ = std::move(image);
    update();
}

QRect ScreenPreviewView::imageRect() const {
    if (image_.isNull() || width() <= 0 || height() <= 0) return {};
    const QSize fitted = image_.size().scaled(size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

void ScreenPreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (image_.isNull()) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(imageRect(), image_);
}

}  // namespace zimlo::recording
