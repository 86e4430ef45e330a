#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>

#include "platform/media/MediaSample.h"
#include "platform/runtime/NewestValueRelay.h"

namespace zimlo {
class SerialQueue;
}

namespace zimlo::recording {

// The live screen picture of the recording window: every frame is converted to an image on the
// view's own serial render queue and the latest one is drawn whole, centred on black.
class ScreenPreviewView : public QWidget {
    Q_OBJECT
  public:
    explicit ScreenPreviewView(QWidget* parent = nullptr);
    ~ScreenPreviewView() override;

    // Callable from any thread while the view exists. Samples without pixels are ignored.
    void display(const media::VideoSample& sample);
    // A frame callback for the capture source that outlives the view safely: once the view is
    // gone, frames handed to it are dropped.
    std::function<void(const media::VideoSample&)> frameHandler();

    // The frame currently shown (null before the first one) and where it is drawn.
    const QImage& currentImage() const { return image_; }
    QRect imageRect() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void show(QImage image);

    // Frames come faster than a busy machine may convert or draw them, so each stage keeps only
    // the newest: pixels waiting for the render queue, a picture waiting for the main thread.
    // Memory stays at one frame per stage however long the main thread is blocked.
    std::shared_ptr<NewestValueRelay<std::shared_ptr<const media::PixelBuffer>>> toRender_;
    std::shared_ptr<NewestValueRelay<QImage>> toShow_;
    std::unique_ptr<SerialQueue> renderQueue_;
    QImage image_;
};

}  // namespace zimlo::recording
