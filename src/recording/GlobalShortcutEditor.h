#pragma once

#include <QWidget>
#include <functional>

#include "recording/GlobalShortcuts.h"

class QKeySequenceEdit;
class QLabel;

namespace zimlo::recording {

// The global-shortcut part of the recording parameters: on X11 an editor for each combination,
// each change reported at once; where global shortcuts cannot work (Wayland), a note saying so
// and which keys work inside the recording window instead.
class GlobalShortcutEditor : public QWidget {
    Q_OBJECT
  public:
    GlobalShortcutEditor(GlobalShortcutSettings settings, bool available,
                         QWidget* parent = nullptr);

    std::function<void(GlobalShortcutSettings)> onChange;

    const GlobalShortcutSettings& settings() const { return settings_; }
    // None where global shortcuts cannot work.
    QKeySequenceEdit* toggleRecordingEdit() const { return toggleRecordingEdit_; }
    QKeySequenceEdit* pauseRecordingEdit() const { return pauseRecordingEdit_; }
    QLabel* note() const { return note_; }

    // A combination was typed into one of the editors (its first chord counts).
    void toggleRecordingEdited();
    void pauseRecordingEdited();

    static QString unavailableNote();

  private:
    void edited(QKeySequenceEdit* edit, QKeySequence& field);

    GlobalShortcutSettings settings_;
    QKeySequenceEdit* toggleRecordingEdit_ = nullptr;
    QKeySequenceEdit* pauseRecordingEdit_ = nullptr;
    QLabel* note_ = nullptr;
};

}  // namespace zimlo::recording
