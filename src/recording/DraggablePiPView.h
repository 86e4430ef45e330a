#pragma once

#include <QPointer>
#include <functional>

#include "model/RecordingProject.h"
#include "recording/DraggableOverlayView.h"

namespace zimlo::recording {

// The camera window over the preview: a rounded, bordered, shadowed frame around one content
// view (the camera preview) that fills it. Its size never changes after creation.
class DraggablePiPView : public DraggableOverlayView {
    Q_OBJECT
  public:
    static constexpr double kCornerRadius = 18;

    // Takes ownership of `content`.
    explicit DraggablePiPView(QWidget* content, QWidget* parent = nullptr);

    // Called after each drag step.
    std::function<void()> onLayoutChanged;

    double cornerRadius() const { return kCornerRadius; }
    // Centre, size and corner radius of this window in `containerSize` (time 0).
    PiPKeyframe keyframe(QSize containerSize) const;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void dragStepped() override;

  private:
    void updateShape();

    QPointer<QWidget> content_;
    QWidget* border_;
};

// The camera window's keyframes of one recording, timed from the recording's start. Keyframes
// recorded before a recording begins are dropped when it begins.
class PiPKeyframeRecorder {
  public:
    explicit PiPKeyframeRecorder(std::function<double()> clock = {});

    const std::vector<PiPKeyframe>& pipTrack() const { return pipTrack_; }
    bool isRecording() const { return recordStartTime_.has_value(); }
    std::optional<double> recordStartTime() const { return recordStartTime_; }

    // Empties the track and starts the timeline at the clock's current time (or at `startTime`,
    // a reading of the same clock).
    void beginRecording();
    void beginRecording(double startTime);
    void endRecording() { recordStartTime_.reset(); }
    // Switching the camera off drops every keyframe.
    void clear() { pipTrack_.clear(); }

    // Appends the window's keyframe when the camera window is enabled, exists, sits in
    // `container` and the container has an area; time 0 outside a recording. True when added.
    bool record(bool isPiPEnabled, const DraggablePiPView* view, const QWidget* container);

  private:
    std::function<double()> clock_;
    std::optional<double> recordStartTime_;
    std::vector<PiPKeyframe> pipTrack_;
};

}  // namespace zimlo::recording
