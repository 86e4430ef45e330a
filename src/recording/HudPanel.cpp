#include "recording/HudPanel.h"

#include <QPainter>

namespace zimlo::recording {

HudPanel::HudPanel(QWidget* parent, int cornerRadius, bool bordered)
    : QFrame(parent), radius_(cornerRadius), bordered_(bordered) {
    setAttribute(Qt::WA_TranslucentBackground);
}

void HudPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(QColor(28, 28, 30, 225));
    painter.setPen(bordered_ ? QPen(QColor(255, 255, 255, 31), 1) : Qt::NoPen);  // white at 0.12
    painter.drawRoundedRect(area, radius_, radius_);
}

}  // namespace zimlo::recording
