#include "recording/DraggablePiPView.h"

#include <QPainter>
#include <QPainterPath>
#include <QRegion>

#include "platform/media/MonotonicClock.h"
#include "recording/OverlayGeometry.h"
#include "recording/SteadyDropShadowEffect.h"

namespace zimlo::recording {
namespace {

// The thin light border drawn over the content.
class PiPBorder : public QWidget {
  public:
    explicit PiPBorder(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(255, 255, 255, 64), 1));
        painter.setBrush(Qt::NoBrush);
        const double r = DraggablePiPView::kCornerRadius;
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), r, r);
    }
};

QRegion roundedRegion(QSize size, double radius) {
    QPainterPath path;
    path.addRoundedRect(QRectF(QPointF(0, 0), size), radius, radius);
    return QRegion(path.toFillPolygon().toPolygon());
}

}  // namespace

DraggablePiPView::DraggablePiPView(QWidget* content, QWidget* parent)
    : DraggableOverlayView(parent), content_(content), border_(new PiPBorder(this)) {
    if (content_) {
        content_->setParent(this);
        content_->setGeometry(rect());
        content_->show();
    }
    border_->raise();
    // Opacity 0.22, falling below the window; the camera and the preview under it are drawn
    // thirty times a second.
    setGraphicsEffect(new SteadyDropShadowEffect(QColor(0, 0, 0, 56), 20, QPointF(0, 6), this));
    updateShape();
}

PiPKeyframe DraggablePiPView::keyframe(QSize containerSize) const {
    return pipKeyframe(QRectF(geometry()), QSizeF(containerSize), cornerRadius());
}

void DraggablePiPView::resizeEvent(QResizeEvent* event) {
    DraggableOverlayView::resizeEvent(event);
    updateShape();
}

void DraggablePiPView::updateShape() {
    if (content_) {
        content_->setGeometry(rect());
        // Clip the content to the rounded outline.
        if (!size().isEmpty()) content_->setMask(roundedRegion(size(), kCornerRadius));
    }
    border_->setGeometry(rect());
    border_->raise();
}

void DraggablePiPView::dragStepped() {
    if (onLayoutChanged) onLayoutChanged();
}

PiPKeyframeRecorder::PiPKeyframeRecorder(std::function<double()> clock)
    : clock_(clock ? std::move(clock)
                   : std::function<double()>(&media::MonotonicClock::nowSeconds)) {}

void PiPKeyframeRecorder::beginRecording() { beginRecording(clock_()); }

void PiPKeyframeRecorder::beginRecording(double startTime) {
    pipTrack_.clear();
    recordStartTime_ = startTime;
}

bool PiPKeyframeRecorder::record(bool isPiPEnabled, const DraggablePiPView* view,
                                 const QWidget* container) {
    if (!isPiPEnabled || !view || !container || view->parentWidget() != container) return false;
    // A container without area would store the made-up fallback position, not what was shown.
    if (container->width() <= 0 || container->height() <= 0) return false;
    PiPKeyframe keyframe = view->keyframe(container->size());
    keyframe.time = recordStartTime_ ? clock_() - *recordStartTime_ : 0;
    pipTrack_.push_back(keyframe);
    return true;
}

}  // namespace zimlo::recording
