#pragma once

#include <cstdint>
#include <memory>

#include "platform/x11/X11Types.h"

namespace zimlo::x11 {

class Connection;

// The border shown around a picked display or window: an override-redirect window of ours,
// shaped to a 4-pixel system-blue frame with rounded corners (no compositing manager needed),
// transparent to input, raised above the other windows on every show. Main thread.
class HighlightBorder {
  public:
    // Throws screen::CaptureError when the X server cannot be reached.
    explicit HighlightBorder(const char* displayName = nullptr);
    ~HighlightBorder();
    HighlightBorder(const HighlightBorder&) = delete;
    HighlightBorder& operator=(const HighlightBorder&) = delete;

    // Moves the frame to `rect` (its outer edge), reshapes it and raises it.
    void show(const PixelRect& rect);
    unsigned long windowId() const { return window_; }

    static constexpr int kBorderWidth = 4;
    static constexpr int kCornerRadius = 10;
    static constexpr uint32_t kSystemBlue = 0x007aff;  // RGB

  private:
    void reshape(int width, int height);

    std::unique_ptr<Connection> connection_;
    unsigned long window_ = 0;
    PixelRect shownAt_;
};

// Brings `windowId` forward: with a window manager, switches to the window's desktop and asks
// for it to be activated (_NET_ACTIVE_WINDOW); without one, maps, raises and focuses it.
// False when the window does not exist or the server cannot be reached.
bool activateWindow(uint32_t windowId, const char* displayName = nullptr);

}  // namespace zimlo::x11
