#pragma once

#include <QColor>
#include <QLabel>
#include <functional>
#include <vector>

#include "model/RecordingProject.h"
#include "platform/text/TextRange.h"
#include "recording/DraggableOverlayView.h"

class QTextDocument;

namespace zimlo::recording {

// The region over the preview that shows the live caption; dragging it moves where the
// finished movie shows subtitles.
class DraggableSubtitleView : public DraggableOverlayView {
    Q_OBJECT
  public:
    static constexpr double kCornerRadius = 16;
    static QString placeholderText();  // "等待语音字幕，可拖动调整位置"
    static QString toolTipText();      // "拖动字幕区域可以调整显示位置"
    // The warm yellow of key words and of the region's border.
    static QColor systemYellow() { return QColor(0xFF, 0xD6, 0x0A); }
    static constexpr int kCaptionPixelSize = 23;             // medium, white
    static constexpr int kEmphasisPixelSize = 28;            // bold, yellow
    static constexpr double kEmphasisBaselineOffset = -1.5;  // pixels, downwards

    explicit DraggableSubtitleView(QWidget* parent = nullptr);
    ~DraggableSubtitleView() override;

    // Called after each drag step with the layout of the new place.
    std::function<void(SubtitleLayout)> onLayoutChanged;

    QLabel* subtitleLabel() const { return subtitleLabel_; }
    bool isShowingPlaceholder() const { return showingPlaceholder_ && !showingNotice_; }
    // Whether a notice (showNotice) is up.
    bool isShowingNotice() const { return showingNotice_; }

    // Shows the waiting text.
    void showPlaceholder();
    // Shows a notice about the subtitles themselves (no model, recognition off) as the waiting
    // text is shown: plain, never with key words. The tool tip is `details`, else the text.
    void showNotice(const QString& text, const QString& details = {});
    // Shows a caption centred and word-wrapped in white, the `emphasis` ranges (UTF-16 code
    // units of `text`) as key words; 2 lines at most, cut at the end. The tool tip is the text.
    void showCaption(const QString& text, const std::vector<text::TextRange>& emphasis = {});
    // The caption as laid out in the label (none while the placeholder shows).
    const QTextDocument* captionDocument() const;

    // Places the region in its container from a layout; does nothing while the container has no
    // area.
    void applyLayout(const SubtitleLayout& layout);
    // The layout the current place stands for.
    SubtitleLayout layoutFromFrame() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragStarted() override;
    void dragStepped() override;
    void dragEnded() override;

  private:
    void showPlainText(const QString& text, const QString& toolTip);
    void refreshLabel();

    QLabel* subtitleLabel_;
    QString text_;
    std::vector<text::TextRange> emphasis_;
    bool showingPlaceholder_ = true;  // plain text: the placeholder or a notice
    bool showingNotice_ = false;
    bool cursorPushed_ = false;
};

}  // namespace zimlo::recording
