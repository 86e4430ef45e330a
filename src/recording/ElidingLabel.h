#pragma once

#include <QLabel>

namespace zimlo::recording {

// A one-line label that cuts its text with an ellipsis instead of being cut off; text() keeps the
// whole text. The cut is at the end, or in the middle for names.
class ElidingLabel : public QLabel {
  public:
    ElidingLabel(Qt::TextElideMode mode, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;
    QSize minimumSizeHint() const override;

  private:
    Qt::TextElideMode mode_;
};

}  // namespace zimlo::recording
