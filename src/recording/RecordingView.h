#pragma once

#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "capture/MicrophoneLevel.h"
#include "capture/ScreenCameraSource.h"
#include "capture/ScreenCaptureStatus.h"
#include "capture/ScreenCaptureTarget.h"
#include "model/AspectSettings.h"
#include "model/RecordingProject.h"
#include "model/RecordingSettings.h"
#include "platform/runtime/Guarded.h"
#include "platform/runtime/SerialQueue.h"
#include "recording/CameraWindowFlow.h"
#include "recording/DraggablePiPView.h"
#include "recording/GlobalShortcuts.h"
#include "recording/LiveSubtitleTrack.h"
#include "recording/RecordingFinishPipeline.h"
#include "recording/RecordingParameterPopover.h"

class QCheckBox;
class QFrame;
class QLabel;
class QComboBox;
class QProgressBar;
class QPushButton;
class QTimer;

namespace zimlo::recording {

class DraggableSubtitleView;
class ScreenPreviewView;

// Everything inside the recording window: the live preview of one display or window, the floating
// toolbar, the camera window and the subtitle region over the preview, the processing overlay,
// and the capture source and speech recogniser of this recording. Turns the user's actions into
// calls on the source, writes a status line for every step and hands the stopped recording to
// the finish pipeline. Main thread only; a recording is in progress exactly while
// recordStartTime() has a value.
class RecordingView : public QWidget,
                      private RecordingFinishPipeline::Host,
                      private LiveSubtitleTrack::Host,
                      private CameraWindowFlow::Host {
    Q_OBJECT
  public:
    // Where devices and services come from; empty members mean the application's own.
    struct Dependencies {
        capture::ScreenCameraSource::Options sourceOptions;
        std::shared_ptr<LiveSpeechRecognizer> speech;  // empty: the Mandarin recogniser
        RecordingFinishPipeline::Services finishServices;
        std::shared_ptr<RecordingSettingsStore> settingsStore;  // empty: the shared store
        std::function<double()> clock;                          // steady seconds; empty: monotonic
        // The target's size in pixels; empty: measured from the target.
        std::optional<PixelSize> nativePixelSize;
        // Whether the desktop shows tray icons; empty: Qt's answer.
        std::function<bool()> systemTrayAvailable;
        // Whether key combinations are grabbed on the whole desktop; empty: where they work.
        std::optional<bool> globalShortcuts;
        // Asks for a downloaded speech model (the path, empty when cancelled); empty: a file
        // chooser.
        std::function<QString(QWidget* parent)> chooseSpeechModel;
        // The zimlo-tool that installs it; empty: the one beside this program.
        QString modelTool;
    };

    explicit RecordingView(capture::ScreenCaptureTarget target, Dependencies dependencies = {},
                           QWidget* parent = nullptr);
    ~RecordingView() override;

    std::function<void(const RecordingProject&)> onFinish;  // after a saved draft
    std::function<void()> onCancel;                         // closed without recording

    // User actions.
    void toggleRecording();
    // Pauses a running recording, or resumes a paused one (the button and the P key).
    void togglePause();
    void closeTapped();
    void parameterTapped();
    void cameraToggleChanged();
    void subtitleToggleChanged();
    // Asks for a downloaded speech model and installs it in the background.
    void installModelTapped();

    // Views.
    QPushButton* recordButton() const { return recordButton_; }
    QPushButton* parameterButton() const { return parameterButton_; }
    QPushButton* pauseButton() const { return pauseButton_; }
    QCheckBox* cameraToggle() const { return cameraToggle_; }
    QCheckBox* subtitleToggle() const { return subtitleToggle_; }
    // "安装语音模型…": shown while subtitles are on without a speech model.
    QPushButton* installModelButton() const { return installModelButton_; }
    QLabel* statusLabel() const { return statusLabel_; }
    // Whether the status line holds an error until the user's next action.
    bool isHoldingError() const { return isHoldingError_; }
    QLabel* durationLabel() const { return durationLabel_; }
    QWidget* previewContainer() const { return previewContainer_; }
    DraggableSubtitleView* subtitleRegion() const { return subtitleRegion_; }
    DraggablePiPView* pipView() const { return cameraWindow_->view(); }
    QWidget* processingOverlay() const { return processingOverlay_; }
    QLabel* processingTitleLabel() const { return processingTitleLabel_; }
    QLabel* processingDetailLabel() const { return processingDetailLabel_; }
    RecordingParameterPopover* parameterController() const { return parameterController_; }

    // State.
    const capture::ScreenCaptureTarget& target() const { return target_; }
    const std::vector<RecordingResolution>& availableResolutions() const {
        return availableResolutions_;
    }
    const RecordingSettings& recordingSettings() const { return recordingSettings_; }
    const std::optional<capture::ScreenCaptureStatus>& latestCaptureStatus() const {
        return latestCaptureStatus_;
    }
    int64_t settingsUpdateSerial() const { return settingsUpdateSerial_; }
    bool isApplyingRecordingSettings() const { return isApplyingRecordingSettings_; }
    bool isPreparingRecordingAudio() const { return isPreparingRecordingAudio_; }
    // The screen and camera previews are stopped while the processing overlay covers them.
    bool arePreviewsSuspended() const { return arePreviewsSuspended_; }
    const AspectSettings& aspect() const { return aspect_; }
    const std::vector<PiPKeyframe>& pipTrack() const { return cameraWindow_->track(); }
    SubtitleLayout subtitleLayout() const override { return subtitleLayout_; }
    std::optional<double> recordStartTime() const { return recordStartTime_; }
    bool isRecording() const { return recordStartTime_.has_value(); }
    bool isPaused() const;
    const std::shared_ptr<capture::ScreenCameraSource>& source() const { return source_; }
    // True while a whole-screen Wayland recording runs with the window out of the way.
    bool isSteppedAside() const { return isSteppedAside_; }
    LiveSubtitleTrack& subtitles() const { return *subtitles_; }
    // What turns the stopped recording into a draft (and composes it while it runs).
    const RecordingFinishPipeline& finishPipeline() const { return *finishPipeline_; }

    // The microphone chosen in "参数" (a sound server's source name), kept in the settings; empty:
    // the system's default input, whichever it is at the time.
    static constexpr std::string_view microphoneKey = "zimlo.recording.microphone";
    std::string chosenMicrophone() const;
    void chooseMicrophone(const std::string& name);
    // The live level of the microphone, before and during a recording.
    QProgressBar* microphoneLevel() const { return microphoneLevel_; }

    // The seconds the start waits with a countdown (0: none), as "参数" sets it.
    static constexpr int kCountdownSeconds = 3;
    static constexpr std::string_view countdownKey = "zimlo.recording.countdownSeconds";
    int countdownSeconds() const { return countdownSeconds_; }
    void setCountdownSeconds(int seconds);
    // Counting down to the start ("开始录制" and the space bar cancel it).
    bool isCountingDown() const { return countdownLeft_ > 0; }
    QLabel* countdownLabel() const { return countdownLabel_; }

    // Shows the duration of the running recording (the timer calls this four times a second).
    void updateDurationLabel();

    // The key combinations that work in every window (X11), and whether they are grabbed.
    bool hasGlobalShortcuts() const { return globalShortcuts_ != nullptr; }
    // New combinations from the parameters: stored, grabbed, and the outcome in the status.
    void applyGlobalShortcuts(const GlobalShortcutSettings& settings);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildViews();
    void buildPreview();
    QLabel* buildToolbarControls();
    void layOutToolbar(QLabel* titleLabel);
    void buildMicrophoneLevel();
    void buildCountdown();
    void buildProcessingOverlay();
    void setUpSource();
    void layoutOverlays();
    // A step's news. While an error is held it waits, the latest one shown when the error goes.
    void setStatus(const QString& status);
    // Shown at once and held until the user's next action in the window, so that it can be read.
    void setError(const QString& error);
    // The user acted: a held error gives way to the status that waited, if any.
    void userActed();
    void showStatusText(const QString& text);
    // Enables or disables the record button, keeping the keyboard's focus on it.
    void setRecordButtonEnabled(bool enabled);

    void sourceStateChanged(const capture::CaptureState& state);
    void captureStatusChanged(const capture::ScreenCaptureStatus& status);

    // Opens the microphone so that its level shows before the recording (it records from it).
    void listenToMicrophone();
    void showMicrophoneLevel();
    void fillMicrophoneChoice(QComboBox* choice);
    void startCountdown();
    void countdownTick();
    void cancelCountdown();
    void startRecordingWithMicrophone();
    bool stepsAsideWhileRecording() const;
    void stepAside();
    void comeBack();
    void beginRecording(const QString& statusText);
    void startDurationTimer();
    void stopRecording();
    void recordingFailed(const capture::WriterError& error);
    // The clock less the time the running recording spent paused: differences of its readings
    // are times on the movie's timeline.
    double recordingClock() const;
    void updatePauseButton();

    void applyRecordingSettings(const RecordingSettings& settings);
    void resumePreviews();
    void setUpGlobalShortcuts();

    // RecordingFinishPipeline::Host
    void whenSubtitlesSettled(std::function<void()> done) override;
    FinishInputs takeFinishInputs() override;
    bool compositionExpected() const override;
    std::optional<FollowInputs> followInputs() const override;
    // What the recording has gathered so far.
    FinishInputs gatheredInputs() const;
    void finishStatusChanged(const QString& status) override;
    void processingOverlayShown(const QString& title, const QString& detail) override;
    void processingOverlayHidden() override;
    void processingTitleChanged(const QString& title) override;
    void finishEnded(const std::optional<RecordingProject>& saved) override;

    // LiveSubtitleTrack::Host
    std::optional<double> recordingElapsed() const override;
    bool isRecordingPaused() const override { return isPaused(); }
    void subtitleStatusChanged(const QString& status) override;
    void subtitleFailed(const QString& status) override { setError(status); }
    void prepareMicrophone(std::function<void(std::optional<std::string>)> completion) override;
    QWidget* alertWindow() const override { return window(); }
    void subtitleSegmentsAdded(const std::vector<SubtitleSegment>& segments) override;
    void speechModelMissing(bool missing) override;
    void speechModelInstallEnded(const std::optional<QString>& error);

    // CameraWindowFlow::Host
    capture::ScreenCameraSource& cameraSource() override { return *source_; }
    void cameraStatusChanged(const QString& status) override { setStatus(status); }
    void cameraFailed(const QString& status) override { setError(status); }
    void cameraWindowEnabledChanged(bool enabled) override { aspect_.isPiPEnabled = enabled; }

    const capture::ScreenCaptureTarget target_;
    Dependencies dependencies_;
    std::function<double()> clock_;
    std::vector<RecordingResolution> availableResolutions_;
    std::shared_ptr<RecordingSettingsStore> settingsStore_;
    std::shared_ptr<capture::ScreenCameraSource> source_;

    QWidget* previewContainer_ = nullptr;
    ScreenPreviewView* screenPreview_ = nullptr;
    QFrame* toolbar_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QPushButton* recordButton_ = nullptr;
    // Where the focus went when the focused record button was disabled.
    QPointer<QWidget> focusAwayFromRecord_;
    QLabel* statusLabel_ = nullptr;
    QLabel* durationLabel_ = nullptr;
    DraggableSubtitleView* subtitleRegion_ = nullptr;
    QWidget* processingOverlay_ = nullptr;
    QWidget* processingIndicator_ = nullptr;
    QLabel* processingTitleLabel_ = nullptr;
    QLabel* processingDetailLabel_ = nullptr;
    QPushButton* cancelCompositionButton_ = nullptr;
    QPushButton* parameterButton_ = nullptr;
    QPushButton* pauseButton_ = nullptr;
    QCheckBox* cameraToggle_ = nullptr;
    QCheckBox* subtitleToggle_ = nullptr;
    QPushButton* installModelButton_ = nullptr;
    class SpeechModelInstallJob* modelInstallJob_ = nullptr;
    QPointer<RecordingParameterPopover> parameterController_;  // the popover's content
    QTimer* durationTimer_ = nullptr;  // runs while recording, stopped at the stop button
    QTimer* countdownTimer_ = nullptr;
    QProgressBar* microphoneLevel_ = nullptr;
    QTimer* levelTimer_ = nullptr;
    float shownLevel_ = 0;
    std::shared_ptr<capture::MicrophoneLevelMeter> levelMeter_ =
        std::make_shared<capture::MicrophoneLevelMeter>();
    // Read where the source looks the microphone up (its device queue).
    std::shared_ptr<Guarded<std::string>> microphoneChoice_ =
        std::make_shared<Guarded<std::string>>();
    std::unique_ptr<SerialQueue> deviceQueue_;  // asks the sound server for its inputs
    QLabel* countdownLabel_ = nullptr;          // the seconds left, large over the preview
    int countdownSeconds_ = 0;
    int countdownLeft_ = 0;

    RecordingSettings recordingSettings_;
    std::optional<capture::ScreenCaptureStatus> latestCaptureStatus_;
    int64_t settingsUpdateSerial_ = 0;
    bool isApplyingRecordingSettings_ = false;
    bool isPreparingRecordingAudio_ = false;
    bool arePreviewsSuspended_ = false;
    AspectSettings aspect_;
    // Where the caption starts: a little narrower than the burned-in default, so that a caption
    // never dragged still wraps like the one on screen.
    SubtitleLayout subtitleLayout_{{0.5, 0.82}, 0.72, 1.0};
    std::optional<double> recordStartTime_;
    // The source's timeline of the running recording: where its pauses are kept.
    std::shared_ptr<const capture::RecordingTimeline> timeline_;
    QString recordingStatusText_;  // the status the running recording began with
    bool isHoldingError_ = false;
    std::optional<QString> statusAfterError_;  // the latest status that came while one was held
    bool isSteppedAside_ = false;
    QPointer<QSystemTrayIcon> trayIcon_;
    QPointer<QMenu> trayMenu_;

    GlobalShortcutSettings shortcutSettings_;
    bool globalShortcutsAvailable_ = false;
    std::shared_ptr<GlobalShortcuts> globalShortcuts_;
    // A combination that could not be grabbed at set-up: said once the start-up messages end.
    QString pendingShortcutProblem_;
    QString pendingSettingsProblem_;  // the settings file could not be used

    std::shared_ptr<LiveSubtitleTrack> subtitles_;
    std::shared_ptr<CameraWindowFlow> cameraWindow_;
    std::shared_ptr<RecordingFinishPipeline> finishPipeline_;
};

}  // namespace zimlo::recording
