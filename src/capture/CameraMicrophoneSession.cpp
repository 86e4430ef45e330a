#include "capture/CameraMicrophoneSession.h"

#include "capture/PlatformErrorText.h"
#include "platform/runtime/NewestValueRelay.h"

namespace zimlo::capture {

CameraMicrophoneSession::CameraMicrophoneSession(
    camera::CameraDiscovery cameraDiscovery,
    std::function<std::optional<audio::AudioSourceInfo>()> microphoneDiscovery,
    std::shared_ptr<SerialQueue> cameraDataQueue, std::shared_ptr<SerialQueue> microphoneQueue,
    Handlers handlers)
    : cameraDiscovery_(std::move(cameraDiscovery)),
      microphoneDiscovery_(std::move(microphoneDiscovery)),
      cameraDataQueue_(std::move(cameraDataQueue)),
      microphoneQueue_(std::move(microphoneQueue)),
      handlers_(std::move(handlers)) {}

CameraMicrophoneSession::~CameraMicrophoneSession() {
    if (camera_) {
        camera_->stopStreaming();
        camera_->close();
    }
    microphoneCapture_.reset();
}

void CameraMicrophoneSession::removeCamera() {
    if (camera_) {
        camera_->stopStreaming();
        camera_->close();
    }
    camera_.reset();
    previewLayer_.reset();
    isCameraConfigured_ = false;
}

Result<void, SourceError> CameraMicrophoneSession::applyCameraFormat(
    const RecordingSettings& settings) {
    if (isCameraConfigured_ && camera_) return applyCameraFormat(*camera_, settings);
    return {};
}

Result<void, SourceError> CameraMicrophoneSession::applyCameraFormat(
    camera::CameraDevice& device, const RecordingSettings& settings) {
    auto choice =
        camera::chooseCameraFormat(device.formats(), settings.resolution.width,
                                   settings.resolution.height, rawValue(settings.frameRate));
    if (!choice) return fail(SourceError(SourceError::Kind::cannotConfigureCamera));
    if (auto applied = device.setActiveFormat(choice->formatIndex, choice->frameRate); !applied)
        return fail(SourceError::deviceFailure(userText(applied.error())));
    return {};
}

Result<void, SourceError> CameraMicrophoneSession::configureCamera(
    const RecordingSettings& settings) {
    if (isCameraConfigured_) return {};
    removeCamera();
    auto failed = [this](SourceError error) {
        removeCamera();
        return fail(std::move(error));
    };
    auto device = cameraDiscovery_ ? cameraDiscovery_() : camera::defaultCameraDevice();
    if (!device) return failed(SourceError(SourceError::Kind::noCamera));
    if (auto opened = device->open(); !opened)
        return failed(SourceError::deviceFailure(userText(opened.error())));
    camera_ = device;
    if (auto applied = applyCameraFormat(*device, settings); !applied)
        return failed(std::move(applied).error());
    device->setMirrored(true);
    previewLayer_ = std::make_shared<CameraPreviewLayer>();
    isCameraConfigured_ = true;
    return {};
}

Result<void, SourceError> CameraMicrophoneSession::configureMicrophone() {
    auto device = microphoneDiscovery_ ? microphoneDiscovery_() : audio::defaultMicrophone();
    if (!device) return fail(SourceError(SourceError::Kind::noMicrophone));
    if (isMicrophoneConfigured_ && microphone_ && microphone_->name == device->name) return {};

    microphoneCapture_.reset();
    microphone_.reset();
    isMicrophoneConfigured_ = false;
    auto capture = captureMicrophone(*device);
    if (auto problem = capture->problem())
        return fail(SourceError::deviceFailure(userText(*problem)));
    microphoneCapture_ = std::move(capture);
    microphone_ = device;
    *microphoneName_.lock() = device->description.empty() ? device->name : device->description;
    isMicrophoneConfigured_ = true;
    return {};
}

Result<void, SourceError> CameraMicrophoneSession::startIfNeeded() {
    if (!isCameraConfigured_ && !isMicrophoneConfigured_) return {};
    isRunning_ = true;
    if (isCameraConfigured_ && camera_ && !camera_->isStreaming()) {
        // Late frames are discarded: a frame waiting for the camera-data queue is replaced by
        // a newer one.
        auto relay = NewestValueRelay<media::VideoSample>::create(
            [queue = cameraDataQueue_](Task task) { queue->async(std::move(task)); },
            [layer = previewLayer_,
             onFrame = handlers_.cameraFrame](const media::VideoSample& frame) {
                if (layer) layer->deliver(frame);
                if (onFrame) onFrame(frame);
            });
        auto handler = [relay, discarded = framesDiscarded_](media::VideoSample frame) {
            if (!relay->offer(std::move(frame))) discarded->fetch_add(1);
        };
        if (auto started = camera_->startStreaming(handler); !started)
            return fail(SourceError::deviceFailure(userText(started.error())));
    }
    if (isMicrophoneConfigured_ && !microphoneCapture_ && microphone_) {
        // Restarting after a shutdown: the device was usable when it was configured.
        auto capture = captureMicrophone(*microphone_);
        if (capture->problem()) {
            microphone_.reset();
            isMicrophoneConfigured_ = false;
        } else {
            microphoneCapture_ = std::move(capture);
        }
    }
    return {};
}

void CameraMicrophoneSession::stop() {
    if (camera_) camera_->stopStreaming();
    microphoneCapture_.reset();
    isRunning_ = false;
}

void CameraMicrophoneSession::suspend() {
    if (!isRunning_) return;
    stop();
    isSuspended_ = true;
}

Result<void, SourceError> CameraMicrophoneSession::resume() {
    if (!std::exchange(isSuspended_, false)) return {};
    if (auto started = startIfNeeded(); !started) {
        removeCamera();
        return fail(std::move(started).error());
    }
    return {};
}

std::unique_ptr<audio::ReconnectingCapture> CameraMicrophoneSession::captureMicrophone(
    const audio::AudioSourceInfo& device) {
    return std::make_unique<audio::ReconnectingCapture>(
        [device](audio::PulseCapture::SampleHandler onSample,
                 audio::PulseCapture::ErrorHandler onError) {
            return audio::PulseCapture::startMicrophone(device, std::move(onSample),
                                                        std::move(onError));
        },
        [queue = microphoneQueue_,
         onSample = handlers_.microphoneSample](media::AudioSample sample) {
            queue->async([onSample, sample = std::move(sample)] {
                if (onSample) onSample(sample);
            });
        },
        handlers_.microphoneInterruption);
}

}  // namespace zimlo::capture
