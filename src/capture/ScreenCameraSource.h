#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/CameraInput.h"
#include "capture/CameraMicrophoneSession.h"
#include "capture/CameraPreviewLayer.h"
#include "capture/CaptureState.h"
#include "capture/RecordingFileWriter.h"
#include "capture/RecordingStage.h"
#include "capture/RecordingTimeline.h"
#include "capture/ScreenCaptureStatus.h"
#include "capture/ScreenCaptureTarget.h"
#include "capture/ScreenInput.h"
#include "capture/SourceError.h"
#include "model/RecordingSettings.h"
#include "platform/audio/PulseCapture.h"
#include "platform/audio/ReconnectingCapture.h"
#include "platform/camera/CameraDevice.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/Guarded.h"
#include "platform/runtime/Result.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/screen/CaptureStream.h"
#include "platform/storage/FileError.h"
#include "platform/storage/RecordingFolder.h"
#include "platform/x11/X11Types.h"

namespace zimlo::capture {

// The one object a recording window drives the capture through. It wires the inputs (the
// screen with the computer's sound, the camera with the microphone) to the recording stage
// that writes the movies, and keeps the capture state. Public operations and every callback
// except the two sample callbacks run on the main thread. Install the callbacks before
// configureScreenStream and leave them alone afterwards.
class ScreenCameraSource : public std::enable_shared_from_this<ScreenCameraSource> {
  public:
    // Where devices come from. Empty members mean the system's defaults; tests inject others.
    struct Options {
        camera::CameraDiscovery cameraDiscovery;
        std::function<std::optional<audio::AudioSourceInfo>()> microphoneDiscovery;
        // Where each recording gets a folder of its own; empty: recordingsDirectory().
        std::filesystem::path recordingsDirectory;
        std::string displayName;  // X display; empty: $DISPLAY
        // This process's windows, left out of what is captured (X11). Waited for at most
        // kOwnWindowQueryLimitSeconds; a query that fails or takes longer leaves none out.
        // Empty: the X server's windows of this process.
        std::function<std::vector<x11::WindowInfo>()> ownWindowQuery;
        // Builds the X11 screen stream for what is captured and how; throws a
        // screen::CaptureError when it cannot. Empty: the X server's own stream.
        std::function<std::unique_ptr<screen::CaptureStream>(
            const x11::ContentFilter&, const screen::CaptureStreamConfiguration&)>
            makeScreenStream;
    };

    static constexpr double kOwnWindowQueryLimitSeconds = ScreenInput::kOwnWindowQueryLimitSeconds;

    using CameraStart = CameraInput::CameraStart;
    using ErrorCompletion = CameraInput::ErrorCompletion;

    std::function<void(CaptureState)> onStateChange;                       // main queue
    std::function<void(const media::VideoSample&)> onScreenFrame;          // screen-stream queue
    std::function<void(ScreenCaptureStatus)> onScreenCaptureStatusChange;  // main queue
    std::function<void(const media::AudioSample&)> onMicrophoneAudio;      // microphone-data queue
    // Main queue, once per recording: the screen movie and, when recorded, the camera movie.
    std::function<void(std::optional<std::filesystem::path>, std::optional<std::filesystem::path>)>
        onFinishRecording;
    // Main queue, at most once per recording and before onFinishRecording: a movie could not be
    // written (a full disk, say). The recording has been stopped by then; what was written stays
    // playable and is reported by onFinishRecording as usual.
    std::function<void(WriterError)> onRecordingFailure;
    // Main queue: the sound of `source` was lost (the sound server died or froze; `problem` says
    // why) or flows again (none). The picture goes on either way and the gap becomes silence.
    std::function<void(AudioSource source, std::optional<std::string> problem)> onAudioInterruption;

    static std::shared_ptr<ScreenCameraSource> create(ScreenCaptureTarget target,
                                                      Options options = {});
    ~ScreenCameraSource();
    ScreenCameraSource(const ScreenCameraSource&) = delete;
    ScreenCameraSource& operator=(const ScreenCameraSource&) = delete;

    const ScreenCaptureTarget& target() const { return target_; }
    CaptureState state() const;
    RecordingSettings recordingSettings() const;
    void setRecordingSettings(const RecordingSettings& settings);
    bool isRecording() const;
    bool isCameraConfigured() const { return camera_->isCameraConfigured(); }
    bool isMicrophoneConfigured() const { return camera_->isMicrophoneConfigured(); }
    // The readable name of the microphone last prepared; none before that or when it failed.
    std::optional<std::string> microphoneName() const;
    // Why the computer's sound is missing right now (no sound server, say); none while it
    // flows or before the stream is configured.
    std::optional<std::string> systemAudioProblem() const;
    std::optional<std::filesystem::path> mainOutputPath() const { return stage_->mainOutputPath(); }
    // The folder the current or last recording was written into, held (locked) by this process
    // while someone keeps it; whoever finishes the recording takes it over. None when it could
    // not be made: the movies then went to the temporary folder, and
    // recordingFolderProblem() says why.
    const std::shared_ptr<RecordingFolder>& recordingFolder() const {
        return stage_->recordingFolder();
    }
    const std::optional<FileError>& recordingFolderProblem() const {
        return stage_->recordingFolderProblem();
    }
    std::optional<std::filesystem::path> pipOutputPath() const { return stage_->pipOutputPath(); }
    bool shouldRecordPiP() const { return stage_->shouldRecordPiP(); }

    SerialQueue& screenQueue() const { return *screenQueue_; }
    SerialQueue& cameraQueue() const { return *cameraQueue_; }

    // Pixel size the stream captures for `target` at `settings`: the target's native size
    // rounded to whole pixels, then the resolution's capture-size rule.
    static zimlo::PixelSize captureSize(const ScreenCaptureTarget& target,
                                        const RecordingSettings& settings);

    // Builds the screen stream and its system-audio capture for the current settings. On
    // failure the previous stream stays.
    Result<void, SourceError> configureScreenStream();
    void startScreenCapture();
    void notifyStateChange();
    void prepareMicrophone(ErrorCompletion completion);
    void startCamera(std::function<void(CameraStart)> completion);
    void stopCamera();
    void applyRecordingSettings(const RecordingSettings& settings, ErrorCompletion completion);
    void startRecording(bool withPiP);
    void stopRecording();
    void shutdown();
    // Between recordings, while nobody sees the previews (the window is covered while a movie
    // is composed): the screen stream, the camera and the microphone stop, so that no frame is
    // captured or converted for them; the computer's sound stays connected. Ignored while
    // recording. resumePreviews starts again what was stopped; its completion (main queue) has
    // the camera's failure to start again, if any, and the camera is then switched off.
    void suspendPreviews();
    void resumePreviews(ErrorCompletion completion);

    // Pausing leaves out of both movies everything taken from `at` (a reading of the clock the
    // samples are stamped with) until the resume; the movies go on from the resume without a
    // gap, the screen from the picture shown at that moment. False when not recording, or when
    // already paused (pause) or not paused (resume).
    bool pauseRecording(media::MediaTime at = media::MonotonicClock::now());
    bool resumeRecording(media::MediaTime at = media::MonotonicClock::now());
    bool isPaused() const;
    // Whether a sample taken at `t` falls in a pause of the running recording.
    bool isInPause(media::MediaTime t) const;
    // The timeline of the running recording, or of the last one; none before the first.
    std::shared_ptr<const RecordingTimeline> recordingTimeline() const;

    // Sample entry points of the stream and the devices, on the queues named.
    void onScreenSample(const media::VideoSample& sample);       // screen-stream queue
    void onSystemAudioSample(media::AudioSample sample);         // system-audio queue
    void onScreenStreamStopped(const std::string& description);  // main queue
    void onCameraFrame(const media::VideoSample& frame);         // camera-data queue
    void onMicrophoneSample(const media::AudioSample& sample);   // microphone-data queue

    // Counters for tools and benchmarks.
    struct Statistics {
        uint64_t screenFramesDelivered = 0;     // by the stream, this stream's life
        uint64_t screenFramesDropped = 0;       // by the stream (queue full, capture late)
        uint64_t screenFramesLate = 0;          // of those, by a capture fallen behind
        uint64_t screenWriterDroppedVideo = 0;  // last recording
        uint64_t screenWriterDroppedAudio = 0;
        uint64_t cameraWriterDroppedVideo = 0;
        uint64_t cameraFramesDiscarded = 0;             // late camera frames
        std::vector<screen::SourceCount> screenSource;  // the screen back end's own counters
    };
    Statistics statistics() const;

  private:
    struct Status {
        CaptureState state = CaptureState::idle();
        RecordingSettings settings = RecordingSettings::defaultSettings();
    };

    explicit ScreenCameraSource(ScreenCaptureTarget target);

    static ScreenInput::Handlers screenHandlers(const std::weak_ptr<ScreenCameraSource>& weak);
    static CameraMicrophoneSession::Handlers sessionHandlers(
        const std::weak_ptr<ScreenCameraSource>& weak);

    void setState(CaptureState state);
    void failed(const std::string& description);
    // Screen-stream queue: a new picture, for the preview and the recording.
    void screenPictureTaken(const media::VideoSample& sample);
    void recordingFinished(std::optional<std::filesystem::path> main,
                           std::optional<std::filesystem::path> pip);

    const ScreenCaptureTarget target_;
    Guarded<Status> status_;

    // Shared with tasks and device threads that may outlive a recording step.
    std::shared_ptr<SerialQueue> screenQueue_;
    std::shared_ptr<SerialQueue> systemAudioQueue_;
    std::shared_ptr<SerialQueue> cameraQueue_;
    std::shared_ptr<SerialQueue> cameraDataQueue_;
    std::shared_ptr<SerialQueue> microphoneQueue_;

    // The inputs and the stage they feed (made once the queues and the object exist).
    std::shared_ptr<ScreenInput> screen_;
    std::shared_ptr<CameraInput> camera_;
    std::shared_ptr<RecordingStage> stage_;
};

}  // namespace zimlo::capture
