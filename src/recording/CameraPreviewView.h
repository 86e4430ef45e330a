#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

#include "capture/ScreenCameraSource.h"
#include "platform/runtime/NewestValueRelay.h"

namespace zimlo::recording {

// The camera picture inside the camera window: fills the view, cropped at the edges, mirrored
// as the source captures it. Frames arrive on the camera-data queue and are drawn on the main
// thread, the newest one only.
class CameraPreviewView : public QWidget {
    Q_OBJECT
  public:
    explicit CameraPreviewView(std::shared_ptr<capture::CameraPreviewLayer> previewLayer,
                               QWidget* parent = nullptr);
    ~CameraPreviewView() override;

    const std::shared_ptr<capture::CameraPreviewLayer>& previewLayer() const {
        return previewLayer_;
    }
    const QImage& currentImage() const { return image_; }
    // Where the current picture is drawn: covers the view, centred.
    QRect imageRect() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::shared_ptr<capture::CameraPreviewLayer> previewLayer_;
    // Pictures converted on the camera-data queue wait here for the main thread, the newest
    // only.
    std::shared_ptr<NewestValueRelay<QImage>> toShow_;
    QImage image_;
};

}  // namespace zimlo::recording
