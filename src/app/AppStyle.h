#pragma once

#include <QColor>
#include <QFont>

class QApplication;

// The application's dark-neutral look: the named colours the views use, and fonts in pixel
// sizes (layout sizes are device-independent pixels throughout).
namespace zimlo::app::style {

QColor windowBackground();
QColor label();
QColor secondaryLabel();
QColor separator();
QColor controlBackground();
QColor control();
QColor accent();
QColor systemBlue();

QColor withAlpha(QColor color, double alpha);

// A user-interface font at `pixelSize` with `weight` (QFont::Medium, QFont::DemiBold, ...),
// preferring the Noto CJK family so that Chinese and Latin text share one design.
QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);

// Fusion with a dark palette and the CJK font as application font.
void apply(QApplication& app);

}  // namespace zimlo::app::style

class QPushButton;
class QAbstractScrollArea;

namespace zimlo::app::style {
// A regular-size rounded push button; `accented` fills it with the accent colour.
void roundedButton(QPushButton* button, bool accented = false);
// A thin overlay-like vertical scroller without arrows, only shown when there is more to see.
void slimScrollBars(QAbstractScrollArea* area);
}  // namespace zimlo::app::style
