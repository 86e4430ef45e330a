#pragma once

class QWidget;

namespace zimlo::recording {

// Assistive technologies walk the tree from the application's windows, which leaves pop-up
// windows out: a pop-up panel such as the recording window's parameters is then unreachable.
// This makes every visible pop-up child window of `host` one of its accessible children (the
// panel already names `host` as its parent). Safe to call more than once.
void exposePopupsToAssistiveTechnologies(QWidget* host);

}  // namespace zimlo::recording
