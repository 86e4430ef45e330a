#include "capture/ScreenCaptureStatus.h"

#include <algorithm>
#include <cmath>

namespace zimlo::capture {

std::string ScreenCaptureStatus::displayText() const {
    std::string text =
        "实际采样：" + std::to_string(actualWidth) + "×" + std::to_string(actualHeight);
    text += " · 目标：" + settings.resolution.displayName + " / " +
            std::to_string(rawValue(settings.frameRate)) + "fps";
    if (measuredFrameRate && std::isfinite(*measuredFrameRate)) {
        // std::llround rounds halves away from zero.
        text += " · 实际约" + std::to_string(std::llround(*measuredFrameRate)) + "fps";
    }
    if (std::max(actualWidth, actualHeight) < std::max(requestedWidth, requestedHeight)) {
        text += "（";
        text += isDisplayCapture ? "屏幕源像素不足" : "窗口源像素不足";
        text += "，按实际像素录制）";
    }
    return text;
}

}  // namespace zimlo::capture
