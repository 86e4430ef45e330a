#pragma once

#include <QLabel>
#include <QStringList>

namespace zimlo::recording {

// A label that cuts its text with an ellipsis instead of being cut off; text() keeps the whole
// text. One line by default; with more lines allowed the text wraps first and only the last
// line is cut. The cut is at the end, or in the middle for names.
class ElidingLabel : public QLabel {
  public:
    ElidingLabel(Qt::TextElideMode mode, QWidget* parent);

    void setMaximumLines(int lines);
    // The lines drawn at the label's present width.
    QStringList shownLines() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

  private:
    Qt::TextElideMode mode_;
    int maximumLines_ = 1;
};

}  // namespace zimlo::recording
