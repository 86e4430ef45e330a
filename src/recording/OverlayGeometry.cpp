#include "recording/OverlayGeometry.h"

#include <algorithm>

namespace zimlo::recording {
namespace {

bool hasArea(QSizeF container) { return container.width() > 0 && container.height() > 0; }

}  // namespace

QRectF clampOverlayFrame(QRectF frame, QSizeF container) {
    const double W = container.width();
    const double H = container.height();
    const double w = frame.width();
    const double h = frame.height();
    const double x = std::min(std::max(frame.x(), kOverlayMargin),
                              std::max(W - w - kOverlayMargin, kOverlayMargin));
    // The rule pins oversized frames to the bottom margin, so clamp the distance from the bottom.
    const double fromBottom = H - frame.y() - h;
    const double clampedBottom = std::min(std::max(fromBottom, kOverlayMargin),
                                          std::max(H - h - kOverlayMargin, kOverlayMargin));
    return QRectF(x, H - clampedBottom - h, w, h);
}

std::optional<QRectF> subtitleFrame(const SubtitleLayout& layout, QSizeF container) {
    if (!hasArea(container)) return std::nullopt;
    const double W = container.width();
    const double H = container.height();
    const double width =
        std::min(std::min(std::max(layout.maxWidth * W, 280.0), 760.0), std::max(W - 32, 180.0));
    const double height = std::min(std::max(H - 32, 72.0), 104.0);
    const double x = layout.center.x * W - width / 2;
    const double y = layout.center.y * H - height / 2;  // y from the top
    return clampOverlayFrame(QRectF(x, y, width, height), container);
}

SubtitleLayout subtitleLayout(QRectF frame, QSizeF container) {
    if (!hasArea(container)) return SubtitleLayout{};
    SubtitleLayout layout;
    layout.center =
        Point{frame.center().x() / container.width(), frame.center().y() / container.height()};
    layout.maxWidth = frame.width() / container.width();
    layout.fontScale = 1.0;
    return layout;
}

PiPKeyframe pipKeyframe(QRectF frame, QSizeF container, double cornerRadius) {
    PiPKeyframe keyframe;
    keyframe.cornerRadius = cornerRadius;
    if (!hasArea(container)) {
        keyframe.center = Point{0.82, 0.22};
        keyframe.size = Size{0.22, 0.22};
        return keyframe;
    }
    keyframe.center =
        Point{frame.center().x() / container.width(), frame.center().y() / container.height()};
    keyframe.size = Size{frame.width() / container.width(), frame.height() / container.height()};
    return keyframe;
}

}  // namespace zimlo::recording
