#include "recording/DraggableOverlayView.h"

#include <QMouseEvent>
#include <cmath>

#include "recording/OverlayGeometry.h"

namespace zimlo::recording {

DraggableOverlayView::DraggableOverlayView(QWidget* parent) : QWidget(parent) {}

void DraggableOverlayView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !parentWidget()) {
        QWidget::mousePressEvent(event);
        return;
    }
    dragging_ = true;
    dragStartLocation_ = mapToParent(event->position());
    originalFrame_ = geometry();
    dragStarted();
    event->accept();
}

void DraggableOverlayView::mouseMoveEvent(QMouseEvent* event) {
    QWidget* container = parentWidget();
    if (!dragging_ || !container || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QPointF delta = mapToParent(event->position()) - dragStartLocation_;
    const QRectF candidate = QRectF(originalFrame_).translated(delta);
    const QRectF clamped = clampOverlayFrame(candidate, QSizeF(container->size()));
    move(static_cast<int>(std::lround(clamped.x())), static_cast<int>(std::lround(clamped.y())));
    dragStepped();
    event->accept();
}

void DraggableOverlayView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !dragging_) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    dragging_ = false;
    dragEnded();
    event->accept();
}

}  // namespace zimlo::recording
