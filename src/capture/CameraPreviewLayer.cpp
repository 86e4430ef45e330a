#include "capture/CameraPreviewLayer.h"

namespace zimlo::capture {

void CameraPreviewLayer::setFrameHandler(FrameHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::optional<media::VideoSample> CameraPreviewLayer::latestFrame() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

void CameraPreviewLayer::deliver(const media::VideoSample& frame) {
    FrameHandler handler;
    {
        std::lock_guard lock(mutex_);
        latest_ = frame;
        handler = handler_;
    }
    if (handler) handler(frame);
}

}  // namespace zimlo::capture
