#pragma once

#include <QTimer>
#include <QWidget>

namespace zimlo::recording {

// The spinning indicator of the processing overlay: an arc that turns while it is shown.
class SpinningIndicator : public QWidget {
  public:
    explicit SpinningIndicator(QWidget* parent);
    void startAnimation();
    void stopAnimation();  // and hides it

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QTimer timer_;
    int angle_ = 0;
};

}  // namespace zimlo::recording
