#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/CameraPreviewLayer.h"
#include "capture/SourceError.h"
#include "model/RecordingSettings.h"
#include "platform/audio/PulseCapture.h"
#include "platform/audio/ReconnectingCapture.h"
#include "platform/camera/CameraDevice.h"
#include "platform/media/MediaSample.h"
#include "platform/runtime/Guarded.h"
#include "platform/runtime/Result.h"
#include "platform/runtime/SerialQueue.h"

namespace zimlo::capture {

// The camera and the microphone of a recording window, run together as one session. Every
// operation runs on the source's camera-session queue unless it says otherwise; those that can
// fail return SourceError. Its handlers never reach the session itself, so they may outlive it.
class CameraMicrophoneSession {
  public:
    struct Handlers {
        // On the camera-data queue, after the preview layer has the frame.
        std::function<void(const media::VideoSample&)> cameraFrame;
        // On the microphone-data queue.
        std::function<void(const media::AudioSample&)> microphoneSample;
        // On the capture's own thread: the microphone's sound was lost (why) or flows again.
        std::function<void(std::optional<audio::AudioError>)> microphoneInterruption;
    };

    // Empty discoveries mean the system's default devices.
    CameraMicrophoneSession(
        camera::CameraDiscovery cameraDiscovery,
        std::function<std::optional<audio::AudioSourceInfo>()> microphoneDiscovery,
        std::shared_ptr<SerialQueue> cameraDataQueue, std::shared_ptr<SerialQueue> microphoneQueue,
        Handlers handlers);
    // Stops the devices; nothing it runs reaches the session.
    ~CameraMicrophoneSession();
    CameraMicrophoneSession(const CameraMicrophoneSession&) = delete;
    CameraMicrophoneSession& operator=(const CameraMicrophoneSession&) = delete;

    // Opens the camera in the format closest to `settings`; nothing when it is configured.
    Result<void, SourceError> configureCamera(const RecordingSettings& settings);
    // Closes the camera and drops its preview layer.
    void removeCamera();
    // The open camera takes the format closest to `settings`; nothing without a camera.
    Result<void, SourceError> applyCameraFormat(const RecordingSettings& settings);
    // Connects the microphone (a new one when the default changed).
    Result<void, SourceError> configureMicrophone();
    // Streams whatever is configured and not streaming yet.
    Result<void, SourceError> startIfNeeded();
    void stop();
    bool isRunning() const { return isRunning_; }
    // Stops a running session until `resume`, which says why it could not start again (the
    // camera is then removed).
    void suspend();
    Result<void, SourceError> resume();

    std::shared_ptr<CameraPreviewLayer> previewLayer() const { return previewLayer_; }

    // Any thread.
    bool isCameraConfigured() const { return isCameraConfigured_.load(); }
    bool isMicrophoneConfigured() const { return isMicrophoneConfigured_.load(); }
    // The readable name of the microphone last connected; none before that or when it failed.
    std::optional<std::string> microphoneName() const { return *microphoneName_.lock(); }
    // Camera frames replaced by a newer one before the camera-data queue took them.
    uint64_t framesDiscarded() const { return framesDiscarded_->load(); }

  private:
    Result<void, SourceError> applyCameraFormat(camera::CameraDevice& device,
                                                const RecordingSettings& settings);
    std::unique_ptr<audio::ReconnectingCapture> captureMicrophone(
        const audio::AudioSourceInfo& device);

    const camera::CameraDiscovery cameraDiscovery_;
    const std::function<std::optional<audio::AudioSourceInfo>()> microphoneDiscovery_;
    const std::shared_ptr<SerialQueue> cameraDataQueue_;
    const std::shared_ptr<SerialQueue> microphoneQueue_;
    const Handlers handlers_;

    std::shared_ptr<camera::CameraDevice> camera_;
    std::shared_ptr<CameraPreviewLayer> previewLayer_;
    std::optional<audio::AudioSourceInfo> microphone_;
    std::unique_ptr<audio::ReconnectingCapture> microphoneCapture_;
    bool isRunning_ = false;
    bool isSuspended_ = false;
    std::atomic<bool> isCameraConfigured_{false};
    std::atomic<bool> isMicrophoneConfigured_{false};
    Guarded<std::optional<std::string>> microphoneName_;  // read on the main thread
    const std::shared_ptr<std::atomic<uint64_t>> framesDiscarded_ =
        std::make_shared<std::atomic<uint64_t>>(0);
};

}  // namespace zimlo::capture
