#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/CameraMicrophoneSession.h"
#include "capture/CameraPreviewLayer.h"
#include "capture/SourceError.h"
#include "model/RecordingSettings.h"
#include "platform/runtime/SerialQueue.h"

namespace zimlo::capture {

// The camera and the microphone of a recording window: runs their session on the camera-session
// queue and tells the main queue how each step went. Frames and sound go to the session's
// handlers on their data queues. Operations are called on the main thread.
class CameraInput : public std::enable_shared_from_this<CameraInput> {
  public:
    struct CameraStart {
        std::shared_ptr<CameraPreviewLayer> previewLayer;  // set on success
        std::optional<SourceError> error;
    };
    using ErrorCompletion = std::function<void(std::optional<SourceError>)>;

    // `settings` gives those in force when a step runs. The session's data queues are its own;
    // the session queue outlives the tasks this input gives it.
    CameraInput(std::unique_ptr<CameraMicrophoneSession> session, SerialQueue& sessionQueue,
                std::function<RecordingSettings()> settings);
    CameraInput(const CameraInput&) = delete;
    CameraInput& operator=(const CameraInput&) = delete;

    // Completions run on the main queue.
    void prepareMicrophone(ErrorCompletion completion);
    void startCamera(std::function<void(CameraStart)> completion);
    void stopCamera();
    // `done` runs on the session queue with the failure, if any.
    void applyFormat(const RecordingSettings& settings, ErrorCompletion done);
    void shutdown();
    void suspend();
    void resume(ErrorCompletion completion);

    // Any thread.
    bool isCameraConfigured() const { return session_->isCameraConfigured(); }
    bool isMicrophoneConfigured() const { return session_->isMicrophoneConfigured(); }
    std::optional<std::string> microphoneName() const { return session_->microphoneName(); }
    uint64_t framesDiscarded() const { return session_->framesDiscarded(); }

  private:
    const std::unique_ptr<CameraMicrophoneSession> session_;  // on the session queue
    SerialQueue& sessionQueue_;
    const std::function<RecordingSettings()> settings_;
};

}  // namespace zimlo::capture
