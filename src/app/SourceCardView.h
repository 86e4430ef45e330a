#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <optional>

#include "capture/ScreenCaptureTarget.h"

class QLabel;

namespace zimlo::app {

// One capture target in the source picker: live thumbnail (or "预览生成中…"), icon, title and
// subtitle; drawn with a blue border when selected. Takes the focus: Space selects it, Return
// picks it (selects and confirms), arrow keys move to the neighbouring cards.
class SourceCardView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kWidth = 260;
    static constexpr int kHeight = 190;

    explicit SourceCardView(capture::ScreenCaptureTarget target, QWidget* parent = nullptr);

    const capture::ScreenCaptureTarget& captureTarget() const { return captureTarget_; }
    std::function<void()> onSelect;
    std::function<void()> onPick;             // Return on the focused card
    std::function<void(int key)> onArrowKey;  // an arrow key, Home or End on the focused card

    bool isSelected() const { return isSelected_; }
    void setSelected(bool selected);
    // Shows the picture; a null image brings the placeholder back.
    void setThumbnail(const QImage& image);
    const QImage& thumbnail() const { return thumbnail_; }

    QLabel* titleLabel() const { return titleLabel_; }
    QLabel* subtitleLabel() const { return subtitleLabel_; }
    QLabel* placeholderLabel() const { return placeholderLabel_; }

    QSize sizeHint() const override { return {kWidth, kHeight}; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    capture::ScreenCaptureTarget captureTarget_;
    QImage thumbnail_;
    QImage icon_;
    QLabel* titleLabel_;
    QLabel* subtitleLabel_;
    QLabel* placeholderLabel_;
    bool isSelected_ = false;
};

}  // namespace zimlo::app
