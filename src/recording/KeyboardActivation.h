#pragma once

#include <QKeySequence>
#include <functional>
#include <vector>

class QAbstractButton;
class QShortcut;
class QWidget;

namespace zimlo::recording {

// The enabled button or check box that has the focus in `scope`'s window; null when none has.
QAbstractButton* focusedButton(const QWidget* scope);

// A window-wide `key` on `scope`: a focused button or check box of the window acts itself (so the
// key never takes over the control the user is on); with the focus elsewhere `fallback`, the
// page's default action, runs.
QShortcut* addDefaultKey(QWidget* scope, const QKeySequence& key, std::function<void()> fallback);

// For grids of focusable cards: the index that arrow `key` moves to from `index` in a grid of
// `count` entries, `columns` to a row; `index` itself at an edge, -1 for other keys.
int gridStep(int index, int count, int columns, int key);

// A clearly visible focus ring along the edge of a custom-painted control that has the focus,
// for the dark theme; paints nothing without the focus.
void paintFocusRing(QWidget* widget, double radius);

}  // namespace zimlo::recording
