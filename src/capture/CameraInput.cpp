#include "capture/CameraInput.h"

#include <utility>

#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"

namespace zimlo::capture {

CameraInput::CameraInput(std::unique_ptr<CameraMicrophoneSession> session,
                         SerialQueue& sessionQueue, std::function<RecordingSettings()> settings)
    : session_(std::move(session)), sessionQueue_(sessionQueue), settings_(std::move(settings)) {}

void CameraInput::prepareMicrophone(ErrorCompletion completion) {
    sessionQueue_.async([self = shared_from_this(), completion = std::move(completion)] {
        std::optional<SourceError> failure;
        auto configured = self->session_->configureMicrophone();
        if (!configured) {
            failure = std::move(configured).error();
        } else if (auto started = self->session_->startIfNeeded(); !started) {
            failure = std::move(started).error();
        }
        MainQueue::post([completion, failure] {
            if (completion) completion(failure);
        });
    });
}

void CameraInput::startCamera(std::function<void(CameraStart)> completion) {
    sessionQueue_.async([self = shared_from_this(), completion = std::move(completion)] {
        CameraStart result;
        CameraMicrophoneSession& session = *self->session_;
        if (auto configured = session.configureCamera(self->settings_()); !configured) {
            result.error = std::move(configured).error();
        } else if (auto started = session.startIfNeeded(); !started) {
            session.removeCamera();
            result.error = std::move(started).error();
        } else {
            result.previewLayer = session.previewLayer();
            if (!result.previewLayer)
                result.error = SourceError(SourceError::Kind::cannotConfigureCamera);
        }
        MainQueue::post([completion, result] {
            if (completion) completion(result);
        });
    });
}

void CameraInput::stopCamera() {
    sessionQueue_.async([self = shared_from_this()] {
        CameraMicrophoneSession& session = *self->session_;
        session.removeCamera();
        if (!session.isCameraConfigured() && !session.isMicrophoneConfigured() &&
            session.isRunning())
            session.stop();
    });
}

void CameraInput::applyFormat(const RecordingSettings& settings, ErrorCompletion done) {
    sessionQueue_.async([weak = weak_from_this(), settings, done = std::move(done)] {
        std::optional<SourceError> failure;
        if (auto self = weak.lock()) {
            if (auto applied = self->session_->applyCameraFormat(settings); !applied)
                failure = applied.error();
        }
        done(failure);
    });
}

void CameraInput::shutdown() {
    sessionQueue_.async([self = shared_from_this()] {
        if (self->session_->isRunning()) self->session_->stop();
    });
}

void CameraInput::suspend() {
    sessionQueue_.async(
        weakly(weak_from_this(), [](CameraInput& self) { self.session_->suspend(); }));
}

void CameraInput::resume(ErrorCompletion completion) {
    sessionQueue_.async(
        weakly(weak_from_this(), [completion = std::move(completion)](CameraInput& self) {
            std::optional<SourceError> failure;
            if (auto resumed = self.session_->resume(); !resumed)
                failure = std::move(resumed).error();
            MainQueue::post([completion, failure] {
                if (completion) completion(failure);
            });
        }));
}

}  // namespace zimlo::capture
