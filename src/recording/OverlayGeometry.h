#pragma once

#include <QRectF>
#include <QSizeF>

#include "model/RecordingProject.h"

namespace zimlo::recording {

// Geometry of the views that float over the preview. Frames are in the container's top-left
// coordinates; stored values are fractions of the container, y from the top.

inline constexpr double kOverlayMargin = 16;

// Keeps a frame 16 points inside the container without resizing it. A frame too large for the
// container sticks to the left and bottom margins.
QRectF clampOverlayFrame(QRectF frame, QSizeF container);

// Where a subtitle region with `layout` goes in a container (clamped); nothing when the
// container has no area.
std::optional<QRectF> subtitleFrame(const SubtitleLayout& layout, QSizeF container);
// The layout a region at `frame` stands for; the default layout when the container has no area.
SubtitleLayout subtitleLayout(QRectF frame, QSizeF container);
// The keyframe of a camera window at `frame` (time 0).
PiPKeyframe pipKeyframe(QRectF frame, QSizeF container, double cornerRadius);

}  // namespace zimlo::recording
