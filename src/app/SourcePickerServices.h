#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "capture/ScreenCaptureTarget.h"
#include "capture/ScreenCaptureTargetProvider.h"

namespace zimlo::app {

// What the source picker needs from the capture layer: the listing, thumbnails and the on-screen
// border. Completions run on the main thread.
class SourcePickerServices {
  public:
    using TargetsResult = capture::ScreenCaptureTargetProvider::TargetsResult;

    virtual ~SourcePickerServices() = default;
    virtual void loadTargets(std::function<void(TargetsResult)> completion) = 0;
    virtual void loadThumbnail(
        const capture::ScreenCaptureTarget& target,
        std::function<void(std::optional<capture::TargetImage>)> completion) = 0;
    // Brings the target forward and borders it; whether it could be located.
    virtual bool highlight(const capture::ScreenCaptureTarget& target) = 0;
    virtual void hideHighlight() = 0;
};

// The X11 target provider and the shared highlighter.
std::shared_ptr<SourcePickerServices> makeSystemPickerServices();

}  // namespace zimlo::app
