#pragma once

#include <QString>

class QHBoxLayout;
class QLabel;
class QWidget;

namespace zimlo::recording {

// A label in the default font at the given size in pixels (the unit of every size in the
// application's windows).
QLabel* sizedLabel(const QString& text, int pixelSize);

// A settings row: a right-aligned name and the control beside it, at least minimumControlWidth
// wide. The popover and the shortcut editor line up because both build their rows here.
QHBoxLayout* formRow(const QString& title, QWidget* control, int minimumControlWidth);

}  // namespace zimlo::recording
