#include "recording/DraggableSubtitleView.h"

#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QPainter>
#include <QTextLayout>
#include <cmath>

#include "recording/OverlayGeometry.h"

namespace zimlo::recording {
namespace {

constexpr int kInsetX = 20;
constexpr int kInsetY = 14;
constexpr int kMaxLines = 2;

// `text` wrapped to `width`, at most two lines, the last cut with an ellipsis when more follows.
QString wrapped(const QString& text, const QFont& font, int width) {
    if (width <= 0 || text.isEmpty()) return text;
    QTextLayout layout(text, font);
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        if (lines.size() == kMaxLines - 1) {
            const QString rest = text.mid(line.textStart());
            lines << QFontMetrics(font).elidedText(rest, Qt::ElideRight, width);
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

const QString& DraggableSubtitleView::placeholderText() {
    static const QString text = QStringLiteral("等待语音字幕，可拖动调整位置");
    return text;
}

const QString& DraggableSubtitleView::toolTipText() {
    static const QString text = QStringLiteral("拖动字幕区域可以调整显示位置");
    return text;
}

DraggableSubtitleView::DraggableSubtitleView(QWidget* parent)
    : DraggableOverlayView(parent), subtitleLabel_(new QLabel(this)) {
    setAttribute(Qt::WA_TranslucentBackground);
    subtitleLabel_->setAlignment(Qt::AlignCenter);
    subtitleLabel_->setWordWrap(true);
    subtitleLabel_->setTextFormat(Qt::PlainText);
    subtitleLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    setCursor(Qt::OpenHandCursor);
    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setColor(QColor(0, 0, 0, 82));  // opacity 0.32
    shadow->setBlurRadius(16);
    shadow->setOffset(0, 4);  // falls below the region
    setGraphicsEffect(shadow);
    showPlaceholder();
}

DraggableSubtitleView::~DraggableSubtitleView() {
    if (cursorPushed_) QGuiApplication::restoreOverrideCursor();
}

void DraggableSubtitleView::showPlaceholder() {
    showingPlaceholder_ = true;
    text_ = placeholderText();
    QFont font = subtitleLabel_->font();
    font.setPointSizeF(16);
    font.setBold(false);
    subtitleLabel_->setFont(font);
    subtitleLabel_->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 128); background: transparent;"));
    setToolTip(toolTipText());
    refreshLabel();
}

void DraggableSubtitleView::showCaption(const QString& text) {
    showingPlaceholder_ = false;
    text_ = text;
    subtitleLabel_->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    refreshLabel();
}

void DraggableSubtitleView::refreshLabel() {
    const QRect inner = rect().adjusted(kInsetX, kInsetY, -kInsetX, -kInsetY);
    subtitleLabel_->setGeometry(inner);
    subtitleLabel_->setText(wrapped(text_, subtitleLabel_->font(), inner.width()));
}

void DraggableSubtitleView::applyLayout(const SubtitleLayout& layout) {
    QWidget* container = parentWidget();
    if (!container) return;
    const auto frame = subtitleFrame(layout, QSizeF(container->size()));
    if (!frame) return;
    setGeometry(QRect(static_cast<int>(std::lround(frame->x())), static_cast<int>(std::lround(frame->y())),
                      static_cast<int>(std::lround(frame->width())), static_cast<int>(std::lround(frame->height()))));
}

SubtitleLayout DraggableSubtitleView::layoutFromFrame() const {
    const QSizeF container = parentWidget() ? QSizeF(parentWidget()->size()) : QSizeF();
    return subtitleLayout(QRectF(geometry()), container);
}

void DraggableSubtitleView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0, 0, 0, 158));            // black at 0.62
    painter.setPen(QPen(QColor(255, 204, 0, 128), 1));  // yellow at 0.5
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
}

void DraggableSubtitleView::resizeEvent(QResizeEvent* event) {
    DraggableOverlayView::resizeEvent(event);
    refreshLabel();
}

void DraggableSubtitleView::dragStarted() {
    if (!cursorPushed_) {
        QGuiApplication::setOverrideCursor(Qt::ClosedHandCursor);
        cursorPushed_ = true;
    }
}

void DraggableSubtitleView::dragStepped() {
    if (onLayoutChanged) onLayoutChanged(layoutFromFrame());
}

void DraggableSubtitleView::dragEnded() {
    if (cursorPushed_) {
        QGuiApplication::restoreOverrideCursor();
        cursorPushed_ = false;
    }
}

}  // namespace zimlo::recording
