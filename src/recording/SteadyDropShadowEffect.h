#pragma once

#include <QColor>
#include <QGraphicsEffect>
#include <QImage>
#include <QPointF>
#include <QSize>

namespace zimlo::recording {

// A drop shadow for a panel that floats over the live preview. Qt's own drop shadow blurs the
// panel's picture every time the panel is drawn, and a panel over the preview is drawn again
// with every preview frame: thirty blurs a second on the main thread. This one blurs once per
// panel size and draws that picture after that. It suits panels whose outline their size
// decides (a rounded rectangle): what they show inside changes nothing outside them.
class SteadyDropShadowEffect : public QGraphicsEffect {
  public:
    SteadyDropShadowEffect(QColor color, qreal blurRadius, QPointF offset, QObject* parent);

    QRectF boundingRectFor(const QRectF& rect) const override;
    // How many shadows were blurred so far.
    int shadowsMade() const { return shadowsMade_; }

  protected:
    void draw(QPainter* painter) override;

  private:
    // The shadow of `source` (device pixels), `margin` device pixels wider on every side.
    QImage makeShadow(const QPixmap& source, int margin) const;

    QColor color_;
    qreal blurRadius_;
    QPointF offset_;
    QImage shadow_;
    QSize shadowSourceSize_;
    qreal shadowRatio_ = 0;
    int shadowsMade_ = 0;
};

}  // namespace zimlo::recording
