#include "recording/ElidingLabel.h"

#include <QPainter>
#include <QTextLayout>

namespace zimlo::recording {

ElidingLabel::ElidingLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {}

void ElidingLabel::setMaximumLines(int lines) {
    maximumLines_ = std::max(1, lines);
    updateGeometry();
    update();
}

QStringList ElidingLabel::shownLines() const {
    const QString whole = text();
    const int width = contentsRect().width();
    if (maximumLines_ == 1 || width <= 0)
        return {fontMetrics().elidedText(whole, mode_, std::max(0, width))};
    QStringList lines;
    QTextLayout layout(whole, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == maximumLines_ - 1) {
            // The last line holds the rest, cut at the end.
            lines.push_back(fontMetrics().elidedText(whole.mid(line.textStart()).simplified(),
                                                     Qt::ElideRight, width));
            break;
        }
        lines.push_back(whole.mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    return lines;
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    painter.drawText(contentsRect(), Qt::AlignVCenter | Qt::AlignLeft, shownLines().join(u'\n'));
}

QSize ElidingLabel::minimumSizeHint() const { return QSize(0, QLabel::minimumSizeHint().height()); }

QSize ElidingLabel::sizeHint() const {
    // As wide as the text on one line; high enough for the lines it may wrap to (a single line
    // is drawn centred in that height).
    const QSize single = QLabel::sizeHint();
    return {single.width(), std::max(single.height(), maximumLines_ * fontMetrics().lineSpacing())};
}

}  // namespace zimlo::recording
