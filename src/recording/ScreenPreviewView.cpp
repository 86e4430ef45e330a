#include "recording/ScreenPreviewView.h"

#include <QPainter>
#include <mutex>

#include "platform/runtime/MainQueue.h"
#include "platform/runtime/SerialQueue.h"
#include "recording/PreviewImage.h"

namespace zimlo::recording {

// Shared between the view (main thread), whoever delivers frames and the render queue. The
// view clears `view` before it goes away; tasks hold the core only weakly.
//
// Frames come faster than a busy machine may convert or draw them, so each stage keeps only
// the newest one: a frame waiting for conversion is replaced by a newer frame, and a converted
// picture waiting for the main thread by a newer picture. Memory stays at one frame per stage
// however long the main thread is blocked.
struct ScreenPreviewView::Core {
    std::mutex mutex;
    ScreenPreviewView* view = nullptr;
    SerialQueue* queue = nullptr;
    std::shared_ptr<const media::PixelBuffer> pendingPixels;  // waiting for the render queue
    bool renderScheduled = false;
    QImage pendingImage;  // waiting for the main thread
    bool showScheduled = false;

    void submit(const std::weak_ptr<Core>& self, const media::VideoSample& sample) {
        if (!sample.pixels) return;
        std::lock_guard lock(mutex);
        if (!view || !queue) return;
        pendingPixels = sample.pixels;
        if (renderScheduled) return;
        renderScheduled = true;
        queue->async([self] {
            if (auto core = self.lock()) core->render(self);
        });
    }

    // On the render queue.
    void render(const std::weak_ptr<Core>& self) {
        std::shared_ptr<const media::PixelBuffer> pixels;
        {
            std::lock_guard lock(mutex);
            pixels = std::move(pendingPixels);
            pendingPixels.reset();
            renderScheduled = false;
        }
        if (!pixels) return;
        QImage image = previewImage(*pixels);
        if (image.isNull()) return;
        std::lock_guard lock(mutex);
        pendingImage = std::move(image);
        if (showScheduled) return;
        showScheduled = true;
        MainQueue::post([self] {
            auto core = self.lock();
            if (!core) return;
            QImage latest;
            {
                std::lock_guard lock(core->mutex);
                latest = std::move(core->pendingImage);
                core->pendingImage = QImage();
                core->showScheduled = false;
            }
            // Main thread: the view cannot go away meanwhile.
            if (core->view && !latest.isNull()) core->view->show(std::move(latest));
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
