#pragma once

#include <functional>
#include <mutex>
#include <optional>

#include "platform/media/MediaSample.h"

namespace zimlo::capture {

// What the camera window shows: the mirrored camera picture, filling its bounds.
// Frames arrive on the camera-data queue; the view converts and draws them itself.
class CameraPreviewLayer {
  public:
    using FrameHandler = std::function<void(const media::VideoSample&)>;

    // Called on the camera-data queue with every camera frame from now on.
    void setFrameHandler(FrameHandler handler);
    // The newest frame, for a view that draws on its own schedule.
    std::optional<media::VideoSample> latestFrame() const;

    void deliver(const media::VideoSample& frame);

  private:
    mutable std::mutex mutex_;  // guards: handler_, latest_
    FrameHandler handler_;
    std::optional<media::VideoSample> latest_;
};

}  // namespace zimlo::capture
