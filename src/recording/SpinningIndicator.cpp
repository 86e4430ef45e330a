#include "recording/SpinningIndicator.h"

#include <QPainter>

namespace zimlo::recording {

SpinningIndicator::SpinningIndicator(QWidget* parent) : QWidget(parent) {
    setFixedSize(48, 48);
    timer_.setInterval(33);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 12) % 360;
        update();
    });
}

void SpinningIndicator::startAnimation() {
    timer_.start();
    show();
}

void SpinningIndicator::stopAnimation() {
    timer_.stop();
    hide();
}

void SpinningIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(255, 255, 255, 220), 4, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    painter.drawArc(rect().adjusted(4, 4, -4, -4), -angle_ * 16, 270 * 16);
}

}  // namespace zimlo::recording
