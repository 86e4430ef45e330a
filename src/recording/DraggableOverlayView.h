#pragma once

#include <QPointF>
#include <QRect>
#include <QWidget>

namespace zimlo::recording {

// A view over the preview that follows the mouse while the left button is held, kept 16 points
// inside its container (the parent widget). Each drag step is complete in itself: a drag that
// ends anywhere leaves the view at its last clamped place.
class DraggableOverlayView : public QWidget {
    Q_OBJECT
  public:
    explicit DraggableOverlayView(QWidget* parent = nullptr);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

    virtual void dragStarted() {}
    virtual void dragStepped() = 0;  // after the new frame is set
    virtual void dragEnded() {}

  private:
    bool dragging_ = false;
    QPointF dragStartLocation_;  // in the container
    QRect originalFrame_;
};

}  // namespace zimlo::recording
