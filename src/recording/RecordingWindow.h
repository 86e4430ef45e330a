#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

#include "capture/ScreenCaptureTarget.h"
#include "model/RecordingProject.h"
#include "recording/RecordingView.h"

namespace zimlo::recording {

// The recording window: "Zimlo录屏", 1180 × 760 (at least 920 × 620), black, centred, never part
// of what it records. Closing it acts like the close button.
class RecordingWindow {
  public:
    explicit RecordingWindow(capture::ScreenCaptureTarget target,
                             RecordingView::Dependencies dependencies = {});
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    QWidget* window() const { return window_; }
    RecordingView* recordingView() const { return recordingViewController_; }

    void setOnFinish(std::function<void(const RecordingProject&)> onFinish);
    void setOnCancel(std::function<void()> onCancel);

  private:
    QPointer<QWidget> window_;
    QPointer<RecordingView> recordingViewController_;
    std::function<void(const RecordingProject&)> onFinish_;
    std::function<void()> onCancel_;
};

}  // namespace zimlo::recording
