#pragma once

#include <QWidget>
#include <functional>
#include <vector>

#include "model/RecordingSettings.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;

namespace zimlo::recording {

// The small transient panel under the recording window's "参数" button: resolution, frame rate
// and whether the pointer is recorded, each pick reported at once with the whole settings. Built
// afresh from the current settings every time it opens, as wide as its rows need and as high as the
// wrapped note needs at that width.
class RecordingParameterPopover : public QWidget {
    Q_OBJECT
  public:
    RecordingParameterPopover(RecordingSettings settings,
                              std::vector<RecordingResolution> availableResolutions,
                              QWidget* parent = nullptr);

    // Called after each pick, also of the entry already selected.
    std::function<void(RecordingSettings)> onChange;

    const RecordingSettings& settings() const { return settings_; }
    const std::vector<RecordingResolution>& availableResolutions() const {
        return availableResolutions_;
    }

    bool isInteractionEnabled() const { return isInteractionEnabled_; }
    // Off while a change is being applied: both controls refuse input.
    void setInteractionEnabled(bool enabled);

    QComboBox* resolutionControl() const { return resolutionControl_; }
    // Segments 24fps, 30fps, 60fps with ids 0, 1, 2.
    QButtonGroup* frameRateControl() const { return frameRateControl_; }
    // "录制鼠标指针".
    QCheckBox* cursorControl() const { return cursorControl_; }

    // Appends a section of other settings below the two rows; the panel grows to hold it.
    void addSection(QWidget* section);

    // Opens as a transient popup (closed by a click outside, deleted on close) above `anchor`,
    // for buttons near the bottom of the screen.
    void popUpAbove(QWidget* anchor);

    void resolutionChanged();
    void frameRateChanged();
    void cursorChanged();

  private:
    void popUp(QWidget* anchor, bool above);

    RecordingSettings settings_;
    std::vector<RecordingResolution> availableResolutions_;
    bool isInteractionEnabled_ = true;
    QComboBox* resolutionControl_;
    QButtonGroup* frameRateControl_;
    QCheckBox* cursorControl_;
};

}  // namespace zimlo::recording
