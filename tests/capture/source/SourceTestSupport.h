#pragma once

#include "capture/ScreenCameraSource.h"
#include "platform/media/MonotonicClock.h"

namespace zimlo::capture::test {

inline ScreenCaptureTarget displayTarget(int width, int height, int id = 1) {
    x11::DisplayInfo display;
    display.id = static_cast<uint32_t>(id);
    display.name = "screen";
    display.frame = {0, 0, width, height};
    display.nativeWidth = width;
    display.nativeHeight = height;
    ScreenCaptureTarget target;
    target.id = "display-" + std::to_string(id);
    target.title = "Display";
    target.kind.payload = display;
    return target;
}

inline ScreenCaptureTarget windowTarget(int width, int height, uint32_t id = 7) {
    x11::WindowInfo window;
    window.id = id;
    window.title = "Window";
    window.frame = {10, 10, width, height};
    ScreenCaptureTarget target;
    target.id = "window-" + std::to_string(id);
    target.title = "Window";
    target.kind.payload = window;
    return target;
}

inline media::VideoSample frameAt(
    double seconds, int width, int height,
    std::optional<media::FrameStatus> status = media::FrameStatus::complete) {
    media::VideoSample sample;
    sample.pixels = std::make_shared<media::PixelBuffer>(width, height, media::PixelFormat::BGRA);
    sample.presentationTime =
        media::MediaTime::fromSeconds(seconds, media::MonotonicClock::kTimescale);
    sample.status = status;
    return sample;
}

}  // namespace zimlo::capture::test
