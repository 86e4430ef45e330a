#include "capture/ScreenCaptureStatus.h"

#include <algorithm>
#include <cmath>

#include "platform/i18n/Translation.h"

namespace zimlo::capture {

std::string ScreenCaptureStatus::displayText() const {
    std::string text = withArguments(
        translate("ScreenCaptureStatus", "实际采样：%1×%2 · 目标：%3 / %4fps"),
        {std::to_string(actualWidth), std::to_string(actualHeight), settings.resolution.displayName,
         std::to_string(rawValue(settings.frameRate))});
    if (measuredFrameRate && std::isfinite(*measuredFrameRate)) {
        // std::llround rounds halves away from zero.
        text += withArguments(translate("ScreenCaptureStatus", " · 实际约%1fps"),
                              {std::to_string(std::llround(*measuredFrameRate))});
    }
    if (std::max(actualWidth, actualHeight) < std::max(requestedWidth, requestedHeight)) {
        text += isDisplayCapture
                    ? translate("ScreenCaptureStatus", "（屏幕源像素不足，按实际像素录制）")
                    : translate("ScreenCaptureStatus", "（窗口源像素不足，按实际像素录制）");
    }
    return text;
}

}  // namespace zimlo::capture
