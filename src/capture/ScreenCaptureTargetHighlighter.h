#pragma once

#include <memory>

#include "capture/ScreenCaptureTarget.h"
#include "platform/runtime/Task.h"

namespace zimlo::x11 {
class HighlightBorder;
}

namespace zimlo::capture {

// Shows which target was picked: brings a window forward and draws a blue border around the
// display or window. One instance per process; main thread only.
class ScreenCaptureTargetHighlighter
    : public std::enable_shared_from_this<ScreenCaptureTargetHighlighter> {
  public:
    static std::shared_ptr<ScreenCaptureTargetHighlighter> shared();

    // Display: border at the display's frame; false when no such display exists now.
    // Window: asks the window manager to activate it (raise and focus without one), borders it
    // 0.18 s later grown by 4 on every side; returns whether the window was found and asked to
    // come forward.
    bool highlight(const ScreenCaptureTarget& target);
    // Removes the border window.
    void hide();

    // The border window currently shown (0 when hidden); for tests and diagnostics.
    unsigned long overlayWindowId() const;

    ~ScreenCaptureTargetHighlighter();

  private:
    ScreenCaptureTargetHighlighter() = default;
    void showBorder(const PixelRect& rect);

    std::unique_ptr<x11::HighlightBorder> overlayWindow_;
    DelayedWorkHandle pendingShow_;
};

}  // namespace zimlo::capture
