#pragma once

#include <QFrame>

namespace zimlo::recording {

// A translucent dark panel standing in for the heads-up material of the recording window's
// toolbar and overlay.
class HudPanel : public QFrame {
  public:
    HudPanel(QWidget* parent, int cornerRadius, bool bordered);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int radius_;
    bool bordered_;
};

}  // namespace zimlo::recording
