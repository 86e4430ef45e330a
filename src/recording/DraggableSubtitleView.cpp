#include "recording/DraggableSubtitleView.h"

#include <QAbstractTextDocumentLayout>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>
#include <cmath>
#include <memory>

#include "recording/OverlayGeometry.h"
#include "recording/SteadyDropShadowEffect.h"

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

// Paints a laid-out caption document when it has one, else behaves as a plain label.
class CaptionLabel : public QLabel {
  public:
    using QLabel::QLabel;

    QTextDocument* document() const { return document_.get(); }
    void setDocument(std::unique_ptr<QTextDocument> document) {
        document_ = std::move(document);
        update();
    }

  protected:
    void paintEvent(QPaintEvent* event) override {
        if (!document_) return QLabel::paintEvent(event);
        QPainter painter(this);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.translate(0, (height() - document_->size().height()) / 2);  // centred vertically
        QAbstractTextDocumentLayout::PaintContext context;
        context.palette.setColor(QPalette::Text, Qt::white);
        document_->documentLayout()->draw(&painter, context);
    }

  private:
    std::unique_ptr<QTextDocument> document_;
};

QTextCharFormat captionFormat(const QFont& base, bool emphasised) {
    QFont font = base;
    font.setPixelSize(emphasised ? DraggableSubtitleView::kEmphasisPixelSize
                                 : DraggableSubtitleView::kCaptionPixelSize);
    font.setWeight(emphasised ? QFont::Bold : QFont::Medium);
    QTextCharFormat format;
    format.setFont(font);
    format.setForeground(emphasised ? DraggableSubtitleView::systemYellow() : QColor(Qt::white));
    if (emphasised) {
        // Qt takes the offset as a percentage of the line height, positive upwards.
        const qreal height = QFontMetricsF(font).height();
        if (height > 0)
            format.setBaselineOffset(DraggableSubtitleView::kEmphasisBaselineOffset / height * 100);
    }
    return format;
}

// The caption as one centred, word-wrapped document `width` wide (no wrapping without a width).
// Ranges outside the text or overlapping an earlier one are ignored.
std::unique_ptr<QTextDocument> captionDocument(const QString& text,
                                               std::vector<text::TextRange> emphasis,
                                               const QFont& base, int width) {
    auto document = std::make_unique<QTextDocument>();
    document->setUndoRedoEnabled(false);
    document->setDocumentMargin(0);
    document->setDefaultFont(captionFormat(base, false).font());
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    document->setDefaultTextOption(option);
    if (width > 0) document->setTextWidth(width);

    QTextCursor cursor(document.get());
    QTextBlockFormat block;
    block.setAlignment(Qt::AlignHCenter);
    cursor.setBlockFormat(block);
    const QTextCharFormat plain = captionFormat(base, false);
    const QTextCharFormat strong = captionFormat(base, true);
    std::sort(emphasis.begin(), emphasis.end());
    int position = 0;
    for (const text::TextRange& range : emphasis) {
        const int start = std::max(range.location, 0);
        const int end = std::min<int>(range.end(), static_cast<int>(text.size()));
        if (start < position || start >= end) continue;
        cursor.insertText(text.mid(position, start - position), plain);
        cursor.insertText(text.mid(start, end - start), strong);
        position = end;
    }
    cursor.insertText(text.mid(position), plain);
    document->size();  // lays the whole text out, so its lines can be read
    return document;
}

// The document's lines, each trimmed.
QStringList documentLines(const QTextDocument& document) {
    QStringList lines;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QTextLayout* layout = block.layout();
        for (int i = 0; layout && i < layout->lineCount(); ++i) {
            const QTextLine line = layout->lineAt(i);
            lines << block.text().mid(line.textStart(), line.textLength()).trimmed();
        }
    }
    return lines;
}

// Where the document's line `index` ends, as a position in the text it was built from.
int endOfLine(const QTextDocument& document, int index) {
    int seen = 0;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QTextLayout* layout = block.layout();
        const int count = layout ? layout->lineCount() : 0;
        if (index < seen + count) {
            const QTextLine line = layout->lineAt(index - seen);
            return block.position() + line.textStart() + line.textLength();
        }
        seen += count;
    }
    return document.characterCount() - 1;
}

// The caption laid out in at most `kMaxLines` lines: when it needs more, it is cut at a
// character boundary and ends with an ellipsis.
std::unique_ptr<QTextDocument> fittedCaption(const QString& text,
                                             const std::vector<text::TextRange>& emphasis,
                                             const QFont& base, int width) {
    auto document = captionDocument(text, emphasis, base, width);
    if (width <= 0 || documentLines(*document).size() <= kMaxLines) return document;
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, text);
    int cut = std::min<int>(endOfLine(*document, kMaxLines - 1), static_cast<int>(text.size()));
    while (cut > 0) {
        characters.setPosition(cut);
        cut = static_cast<int>(characters.toPreviousBoundary());
        if (cut < 0) cut = 0;
        QString shown = text.left(cut);
        // spaces before the ellipsis would only push it further
        while (!shown.isEmpty() && shown.back().isSpace()) shown.chop(1);
        shown += QChar(0x2026);
        document = captionDocument(shown, emphasis, base, width);
        if (documentLines(*document).size() <= kMaxLines) break;
    }
    return document;
}

}  // namespace

QString DraggableSubtitleView::placeholderText() { return tr("等待语音字幕，可拖动调整位置"); }

QString DraggableSubtitleView::toolTipText() { return tr("拖动字幕区域可以调整显示位置"); }

DraggableSubtitleView::DraggableSubtitleView(QWidget* parent)
    : DraggableOverlayView(parent), subtitleLabel_(new CaptionLabel(this)) {
    setAttribute(Qt::WA_TranslucentBackground);
    subtitleLabel_->setAlignment(Qt::AlignCenter);
    subtitleLabel_->setWordWrap(true);
    subtitleLabel_->setTextFormat(Qt::PlainText);
    subtitleLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    setCursor(Qt::OpenHandCursor);
    // Opacity 0.32, falling below the region, which floats over the preview.
    setGraphicsEffect(new SteadyDropShadowEffect(QColor(0, 0, 0, 82), 16, QPointF(0, 4), this));
    showPlaceholder();
}

DraggableSubtitleView::~DraggableSubtitleView() {
    if (cursorPushed_) QGuiApplication::restoreOverrideCursor();
}

void DraggableSubtitleView::showPlaceholder() {
    showPlainText(placeholderText(), toolTipText());
    showingNotice_ = false;
}

void DraggableSubtitleView::showNotice(const QString& text, const QString& details) {
    showPlainText(text, details.isEmpty() ? text : details);
    showingNotice_ = true;
}

void DraggableSubtitleView::showPlainText(const QString& text, const QString& toolTip) {
    showingPlaceholder_ = true;
    text_ = text;
    emphasis_.clear();
    QFont font = subtitleLabel_->font();
    font.setPixelSize(16);
    font.setWeight(QFont::Normal);
    subtitleLabel_->setFont(font);
    subtitleLabel_->setStyleSheet(
        QStringLiteral("color: rgba(255, 255, 255, 128); background: transparent;"));
    setToolTip(toolTip);
    refreshLabel();
}

void DraggableSubtitleView::showCaption(const QString& text,
                                        const std::vector<text::TextRange>& emphasis) {
    showingPlaceholder_ = false;
    showingNotice_ = false;
    text_ = text;
    emphasis_ = emphasis;
    setToolTip(text);
    refreshLabel();
}

const QTextDocument* DraggableSubtitleView::captionDocument() const {
    return static_cast<CaptionLabel*>(subtitleLabel_)->document();
}

void DraggableSubtitleView::refreshLabel() {
    auto* label = static_cast<CaptionLabel*>(subtitleLabel_);
    const QRect inner = rect().adjusted(kInsetX, kInsetY, -kInsetX, -kInsetY);
    label->setGeometry(inner);
    if (showingPlaceholder_) {
        label->setDocument(nullptr);
        label->setText(wrapped(text_, label->font(), inner.width()));
        return;
    }
    auto document = fittedCaption(text_, emphasis_, QGuiApplication::font(), inner.width());
    // The label's text is what it shows, line by line, for whoever reads it (accessibility).
    label->setText(documentLines(*document).join(QLatin1Char('\n')));
    label->setDocument(std::move(document));
}

void DraggableSubtitleView::applyLayout(const SubtitleLayout& layout) {
    QWidget* container = parentWidget();
    if (!container) return;
    const auto frame = subtitleFrame(layout, QSizeF(container->size()));
    if (!frame) return;
    setGeometry(QRect(static_cast<int>(std::lround(frame->x())),
                      static_cast<int>(std::lround(frame->y())),
                      static_cast<int>(std::lround(frame->width())),
                      static_cast<int>(std::lround(frame->height()))));
}

SubtitleLayout DraggableSubtitleView::layoutFromFrame() const {
    const QSizeF container = parentWidget() ? QSizeF(parentWidget()->size()) : QSizeF();
    return subtitleLayout(QRectF(geometry()), container);
}

void DraggableSubtitleView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0, 0, 0, 158));  // black at 0.62
    QColor border = systemYellow();
    border.setAlphaF(0.5);
    painter.setPen(QPen(border, 1));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius,
                            kCornerRadius);
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
