#include "recording/ElidingLabel.h"

#include <QPainter>

namespace zimlo::recording {

ElidingLabel::ElidingLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    const QString shown = fontMetrics().elidedText(text(), mode_, contentsRect().width());
    painter.drawText(contentsRect(), Qt::AlignVCenter | Qt::AlignLeft, shown);
}

QSize ElidingLabel::minimumSizeHint() const { return QSize(0, QLabel::minimumSizeHint().height()); }

}  // namespace zimlo::recording
