#include "app/SourceCardView.h"

#include <QAccessible>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "app/AppStyle.h"
#include "app/CardAccessibility.h"
#include "app/CardKeys.h"
#include "app/ImageConversion.h"
#include "recording/KeyboardActivation.h"

namespace zimlo::app {
namespace {

const QRect kThumbnailRect(24, 22, SourceCardView::kWidth - 48, 104);
constexpr int kTextInset = 14;

QLabel* makeLabel(QWidget* parent, const QFont& font, const QColor& color) {
    auto* label = new QLabel(parent);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}

// The text, shortened with "…" to the label's width; the label is then as tall as the text asks
// (a pixel more than the font's height with some fonts). The glyphs' outlines may reach a pixel
// past their advance, so the text is shortened to two pixels less than the width.
void setElided(QLabel* label, const QString& text) {
    label->setText(
        QFontMetrics(label->font()).elidedText(text, Qt::ElideRight, label->width() - 2));
    label->setToolTip(text);
    label->resize(label->width(), std::max(label->height(), label->sizeHint().height()));
}

}  // namespace

SourceCardView::SourceCardView(capture::ScreenCaptureTarget target, QWidget* parent)
    : QWidget(parent), captureTarget_(std::move(target)) {
    setFixedSize(kWidth, kHeight);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    installCardAccessibility();

    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setColor(QColor(0, 0, 0, qRound(255 * 0.14)));
    shadow->setBlurRadius(16);
    shadow->setOffset(0, 4);
    setGraphicsEffect(shadow);

    if (captureTarget_.icon) icon_ = toQImage(*captureTarget_.icon, 32, style::accent());

    placeholderLabel_ = makeLabel(this, style::font(13, QFont::Medium), style::secondaryLabel());
    // A portal source shows a picture only once an earlier choice can be restored.
    const bool waitsForChooser =
        captureTarget_.kind.isPortal() && !captureTarget_.kind.portal().restoresLastChoice;
    placeholderLabel_->setText(waitsForChooser ? tr("确认后由系统选择") : tr("预览生成中…"));
    placeholderLabel_->setGeometry(kThumbnailRect);

    titleLabel_ = makeLabel(this, style::font(17, QFont::DemiBold), style::label());
    const int titleHeight = QFontMetrics(titleLabel_->font()).height();
    titleLabel_->setGeometry(kTextInset, kThumbnailRect.bottom() + 1 + 16, kWidth - 2 * kTextInset,
                             titleHeight);
    setElided(titleLabel_, QString::fromStdString(captureTarget_.title));

    subtitleLabel_ = makeLabel(this, style::font(12, QFont::Medium), style::secondaryLabel());
    const int subtitleHeight = QFontMetrics(subtitleLabel_->font()).height();
    subtitleLabel_->setGeometry(kTextInset, titleLabel_->geometry().bottom() + 1 + 4,
                                kWidth - 2 * kTextInset, subtitleHeight);
    if (captureTarget_.subtitle && !captureTarget_.subtitle->empty()) {
        setElided(subtitleLabel_, QString::fromStdString(*captureTarget_.subtitle));
    } else {
        subtitleLabel_->hide();
    }
    QString name = QString::fromStdString(captureTarget_.title);
    if (captureTarget_.subtitle && !captureTarget_.subtitle->empty())
        name = tr("%1，%2").arg(name, QString::fromStdString(*captureTarget_.subtitle));
    setAccessibleName(name);
}

void SourceCardView::setSelected(bool selected) {
    if (isSelected_ != selected) {
        isSelected_ = selected;
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }
    update();
}

void SourceCardView::setThumbnail(const QImage& image) {
    thumbnail_ = image;
    placeholderLabel_->setVisible(image.isNull());
    update();
}

void SourceCardView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    if (onSelect) onSelect();
}

bool SourceCardView::event(QEvent* event) {
    // The page's Return ("确认") must not take the keys the focused card acts on.
    if (claimCardKey(event, false)) return true;
    return QWidget::event(event);
}

void SourceCardView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Space:
            if (onSelect) onSelect();
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (onPick) onPick();
            return;
        default:
            break;
    }
    if (isCardMoveKey(event->key())) {
        if (onArrowKey) onArrowKey(event->key());
        return;
    }
    QWidget::keyPressEvent(event);
}

void SourceCardView::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void SourceCardView::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

void SourceCardView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);

    const double borderWidth = isSelected_ ? 2.5 : 1.0;
    const QRectF card = QRectF(rect()).adjusted(borderWidth / 2, borderWidth / 2, -borderWidth / 2,
                                                -borderWidth / 2);
    if (isSelected_) {
        // The accent wash is laid over the card's own surface so the card stays readable.
        p.setPen(Qt::NoPen);
        p.setBrush(style::withAlpha(style::controlBackground(), 0.96));
        p.drawRoundedRect(card, 18, 18);
        p.setBrush(style::withAlpha(style::accent(), 0.08));
        p.setPen(QPen(style::systemBlue(), borderWidth));
    } else {
        p.setBrush(style::withAlpha(style::controlBackground(), 0.96));
        p.setPen(QPen(style::withAlpha(style::separator(), 0.25), borderWidth));
    }
    p.drawRoundedRect(card, 18, 18);

    QPainterPath clip;
    clip.addRoundedRect(QRectF(kThumbnailRect), 12, 12);
    p.save();
    p.setClipPath(clip);
    p.fillRect(kThumbnailRect, style::withAlpha(style::control(), 0.04));
    if (!thumbnail_.isNull()) {
        // Scaled proportionally to fit, up or down.
        const QSizeF size = thumbnail_.size();
        const double scale = std::min(kThumbnailRect.width() / size.width(),
                                      kThumbnailRect.height() / size.height());
        const QSizeF drawn = size * scale;
        const QPointF centre = QRectF(kThumbnailRect).center();
        p.drawImage(QRectF(centre.x() - drawn.width() / 2, centre.y() - drawn.height() / 2,
                           drawn.width(), drawn.height()),
                    thumbnail_);
    }
    p.restore();

    if (!icon_.isNull()) p.drawImage(QRectF(12, 12, 32, 32), icon_);
    p.end();
    recording::paintFocusRing(this, 18);
}

}  // namespace zimlo::app
