#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "capture/ScreenCaptureTarget.h"
#include "model/RecordingProject.h"

namespace zimlo::app {

// What the shell needs of a recording window controller: its window, and the two ways it ends.
// Implementations pass both callbacks on to whatever inside them finishes or cancels.
class RecordingWindowHandle {
  public:
    virtual ~RecordingWindowHandle() = default;

    virtual QWidget* window() = 0;
    // Called once a draft was saved (with the stored project) or when the window was closed
    // without recording. The shell's handlers release this controller and clear both callbacks,
    // so implementations call a copy of the callback.
    virtual void setOnFinish(std::function<void(const RecordingProject&)> onFinish) = 0;
    virtual void setOnCancel(std::function<void()> onCancel) = 0;
};

using RecordingWindowFactory =
    std::function<std::shared_ptr<RecordingWindowHandle>(const capture::ScreenCaptureTarget&)>;

// The recording window the application opens for a chosen target.
RecordingWindowFactory defaultRecordingWindowFactory();

// The recording window for `target`.
std::shared_ptr<RecordingWindowHandle> makeRecordingWindow(
    const capture::ScreenCaptureTarget& target);

}  // namespace zimlo::app
