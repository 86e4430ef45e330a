#pragma once

#include <QColor>
#include <QImage>
#include <optional>
#include <string>

#include "capture/ScreenCaptureTarget.h"
#include "platform/media/MediaSample.h"

namespace zimlo::app {

// A deep copy of a picture with its transparency (recording::previewImage).
QImage toQImage(const media::PixelBuffer& pixels);

// A target image: pixels as they are, or the named symbol ("desktopcomputer", "app.dashed")
// drawn in `tint` at `size` × `size` device-independent pixels.
QImage toQImage(const capture::TargetImage& image, int size, const QColor& tint);

// A named symbol ("desktopcomputer", "app.dashed", "video.badge.plus"; unknown names draw
// "app.dashed") in `tint`, `size` × `size` device-independent pixels at twice the resolution.
QImage symbolImage(const std::string& name, int size, const QColor& tint);

// An image tinted with one colour, keeping its alpha (for template images).
QImage tinted(const QImage& templateImage, const QColor& color);

}  // namespace zimlo::app
