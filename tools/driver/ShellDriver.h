#pragma once

#include <QObject>
#include <QPointer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/RecordingProject.h"
#include "recording/RecordingFinishPipeline.h"

namespace zimlo::app {
class HomeWindowController;
}
namespace zimlo::recording {
class RecordingView;
}

namespace zimlo::driver {

// A step of the walk-through that did not come about in time: says which, what was awaited and
// what the window's status line showed.
class StepFailed : public std::runtime_error {
  public:
    StepFailed(std::string step, std::string detail)
        : std::runtime_error(step + ": " + detail),
          step_(std::move(step)),
          detail_(std::move(detail)) {}
    const std::string& step() const { return step_; }
    const std::string& detail() const { return detail_; }

  private:
    std::string step_;
    std::vector<std::string> stepStatuses_;
    std::string detail_;
};

// The walk-through was stopped from outside (Ctrl-C) while it waited.
class Interrupted : public std::runtime_error {
  public:
    Interrupted() : std::runtime_error("interrupted") {}
};

// What the recording window held when the draft it saved appeared in the home gallery.
struct FinishedRecording {
    RecordingProject draft;                  // the newest draft, as the gallery lists it
    std::vector<SubtitleSegment> subtitles;  // recognised during the recording
    std::string lastHeard;                   // the live caption's last text
    double finishSeconds = 0;                // from the stop press to the listed draft
    // How its composed movie was made, when it was composed.
    std::optional<recording::RecordingFinishPipeline::CompositionReport> composition;
};

// Drives the application's windows the way a user does, on the main thread: home → "去录制" →
// a display in the picker → "确认" → camera window and subtitles → record → stop → the draft in
// the home gallery. Each step clicks the real controls and waits, pumping Qt's event loop, until
// the window shows the step's result; a step that does not come about throws StepFailed. While
// it pumps it watches the status lines (picker, recording window, processing overlay) and
// reports every new text.
class ShellDriver {
  public:
    struct Observer {
        std::function<void(const std::string& step)> onStep;    // a step begins
        std::function<void(const std::string& text)> onStatus;  // a status line changed
        std::function<bool()> interrupted;  // polled while waiting; true throws Interrupted
    };

    explicit ShellDriver(std::shared_ptr<app::HomeWindowController> shell, Observer observer = {});
    ~ShellDriver();
    ShellDriver(const ShellDriver&) = delete;
    ShellDriver& operator=(const ShellDriver&) = delete;

    // The main window shows the home gallery; returns how many drafts it lists.
    size_t waitForHome();
    // "去录制", then the picker lists what can be recorded.
    void openPicker();
    // Clicks the first display's card, then "确认".
    void pickDisplay();
    // The recording window appears and becomes ready to record.
    recording::RecordingView* waitForRecordingWindow();
    // "开启摄像头小窗": the camera window shows over the preview.
    void turnCameraOn();
    // "开启字幕": the subtitle region shows.
    void turnSubtitlesOn();
    // "开始录制"; returns the recording's time 0 (monotonic seconds).
    double startRecording();
    // Waits until the recogniser has finished at least one sentence of the recording.
    void waitForSubtitle(std::chrono::milliseconds timeout = std::chrono::seconds(120));
    // "停止录制", then waits until the home gallery lists one draft more than before.
    FinishedRecording stopAndWaitForDraft(
        std::chrono::milliseconds timeout = std::chrono::seconds(600));

    // The open recording window's view, once waitForRecordingWindow found it; null when closed.
    recording::RecordingView* recordingView() const;
    const std::shared_ptr<app::HomeWindowController>& shell() const { return shell_; }

    // Runs the event loop until `done` holds (true) or `timeout` passes (false), watching the
    // status lines.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs the event loop for `duration`, watching the status lines.
    void pumpFor(std::chrono::milliseconds duration);

  private:
    void beginStep(const std::string& step);
    // Waits for `done`; on a timeout throws StepFailed for the current step with `awaited`.
    void await(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               const std::string& awaited);
    void watchStatusLines();
    // " (status line: "…" → "…")": the latest texts of the current step, for failures.
    std::string statusSummary() const;

    std::shared_ptr<app::HomeWindowController> shell_;
    Observer observer_;
    std::string step_;
    std::vector<std::string> stepStatuses_;
    QPointer<recording::RecordingView> view_;
    std::unique_ptr<QObject> closingWatcher_;
    std::string lastPickerStatus_, lastRecordingStatus_, lastOverlay_;
    std::optional<recording::RecordingFinishPipeline::CompositionReport> composition_;
};

}  // namespace zimlo::driver
