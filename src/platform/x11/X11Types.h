#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry/Geometry.h"
#include "platform/media/MediaSample.h"

namespace zimlo::x11 {

// One monitor as RandR reports it.
struct DisplayInfo {
    uint32_t id = 0;   // RandR output of the monitor (its first output), or the monitor's name atom
    std::string name;  // RandR monitor or output name, e.g. "screen", "HDMI-1"
    PixelRect frame;   // position and current size on the root window
    int nativeWidth = 0;  // largest mode of the output (0 when the output lists no modes)
    int nativeHeight = 0;
};

// One top-level window (the client window when a window manager frames it).
struct WindowInfo {
    uint32_t id = 0;
    std::string title;            // _NET_WM_NAME, else WM_NAME; empty when it has none
    PixelRect frame;              // client area on the root window
    std::optional<int32_t> pid;   // _NET_WM_PID, else the server's record of a local client
    std::string applicationName;  // WM_CLASS class (instance when the class is empty)
    bool isNormalLayer = false;   // a normal (or dialog) window that is not override-redirect
    bool isOnScreen = false;      // viewable, or on another desktop and not minimised
    std::shared_ptr<const media::PixelBuffer> icon;  // BGRA from _NET_WM_ICON, if any
};

// What the system currently offers for capture.
struct CaptureTargetList {
    std::vector<DisplayInfo> displays;
    std::vector<WindowInfo> windows;  // bottom-to-top stacking order where known
    bool hasWindowManager = false;
};

// What a screen stream or a single grab captures.
struct ContentFilter {
    enum class Kind { display, window };
    Kind kind = Kind::display;
    DisplayInfo display;                    // for Kind::display
    uint32_t windowId = 0;                  // for Kind::window
    std::vector<uint32_t> excludedWindows;  // for Kind::display: windows never shown in frames

    static ContentFilter forDisplay(DisplayInfo display, std::vector<uint32_t> excluded) {
        ContentFilter f;
        f.kind = Kind::display;
        f.display = std::move(display);
        f.excludedWindows = std::move(excluded);
        return f;
    }
    static ContentFilter forWindow(uint32_t windowId) {
        ContentFilter f;
        f.kind = Kind::window;
        f.windowId = windowId;
        return f;
    }
};

}  // namespace zimlo::x11
