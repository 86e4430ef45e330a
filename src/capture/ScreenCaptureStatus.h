#pragma once

#include <optional>
#include <string>

#include "model/RecordingSettings.h"

namespace zimlo::capture {

// What the screen stream delivers against what was asked for; shown in the recording window.
struct ScreenCaptureStatus {
    int actualWidth = 1;
    int actualHeight = 1;
    int requestedWidth = 0;
    int requestedHeight = 0;
    RecordingSettings settings = RecordingSettings::defaultSettings();
    bool isDisplayCapture = true;
    std::optional<double> measuredFrameRate;

    // "实际采样：W×H · 目标：<resolution> / <fps>fps[ ·
    // 实际约<rate>fps][（…源像素不足，按实际像素录制）]"
    std::string displayText() const;

    friend bool operator==(const ScreenCaptureStatus&, const ScreenCaptureStatus&) = default;
};

}  // namespace zimlo::capture
