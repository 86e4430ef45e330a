#pragma once

#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "capture/ScreenCameraSource.h"
#include "recording/DraggablePiPView.h"

class QAbstractButton;
class QWidget;

namespace zimlo::recording {

// The camera window of the recording window: switching it on (camera permission, then the
// source's camera), the draggable window over the preview, switching it off, and the track of
// its places while a recording runs. Main thread only.
class CameraWindowFlow : public std::enable_shared_from_this<CameraWindowFlow> {
    struct Private {};

  public:
    // The recording window's side.
    class Host {
      public:
        virtual ~Host() = default;
        virtual capture::ScreenCameraSource& cameraSource() = 0;
        virtual void cameraStatusChanged(const QString& status) = 0;
        // The camera could not be switched on or went away; says why.
        virtual void cameraFailed(const QString& status) { cameraStatusChanged(status); }
        // Whether the camera window is part of the picture (the draft's layout follows it).
        virtual void cameraWindowEnabledChanged(bool enabled) = 0;
    };

    // `toggle` (the check box "开启摄像头小窗"), `container` (where the window floats) and
    // `keptOnTop` (a view the window must not cover) belong to the recording window. `clock` is
    // the recording's clock, paused time left out.
    static std::shared_ptr<CameraWindowFlow> create(Host& host, QAbstractButton* toggle,
                                                    QWidget* container, QWidget* keptOnTop,
                                                    std::function<double()> clock);
    CameraWindowFlow(Private, Host& host, QAbstractButton* toggle, QWidget* container,
                     QWidget* keptOnTop, std::function<double()> clock);
    ~CameraWindowFlow();

    // The toggle changed: switches the camera on or off by its state.
    void toggleChanged();
    // The previews could not start the camera again: it is switched off.
    void restartFailed(const capture::SourceError& error);

    // The container changed size: a window never moved goes to its default place.
    void placeIfNeeded();
    // Keeps where the window is now on the track.
    void recordKeyframe();
    // Empties the track and times it from `startTime` (a reading of the clock).
    void recordingBegan(double startTime) { recorder_.beginRecording(startTime); }
    void recordingEnded() { recorder_.endRecording(); }

    DraggablePiPView* view() const { return view_; }
    // The window is on and shown: the recording takes the camera too.
    bool isShown() const { return enabled_ && view_; }
    const std::vector<PiPKeyframe>& track() const { return recorder_.pipTrack(); }

  private:
    void start();
    void failed(const QString& message);
    void removeWindow();
    void setEnabled(bool enabled);

    Host& host_;
    QPointer<QAbstractButton> toggle_;
    QPointer<QWidget> container_;
    QPointer<QWidget> keptOnTop_;
    QPointer<DraggablePiPView> view_;
    PiPKeyframeRecorder recorder_;
    bool enabled_ = false;
};

}  // namespace zimlo::recording
