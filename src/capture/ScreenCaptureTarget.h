#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/Geometry.h"
#include "platform/media/MediaSample.h"
#include "platform/x11/X11Types.h"

namespace zimlo::capture {

// An image shown for a target: either a named system symbol ("desktopcomputer", "app.dashed")
// that the user interface draws itself, or BGRA pixels.
struct TargetImage {
    std::string symbolName;
    std::shared_ptr<const media::PixelBuffer> pixels;

    static TargetImage symbol(std::string name) { return TargetImage{std::move(name), nullptr}; }
    static TargetImage image(std::shared_ptr<const media::PixelBuffer> p) {
        return TargetImage{{}, std::move(p)};
    }
    bool isSymbol() const { return !pixels; }
};

// A source the desktop portal's own chooser picks (Wayland desktops, where other programs'
// windows and the screens cannot be listed): the kind offered, and what is remembered from the
// last recording of that kind.
struct PortalSource {
    enum class Type { monitor, window };
    Type type = Type::monitor;
    std::optional<PixelSize> lastKnownSize;  // the stream size the portal last announced
    bool restoresLastChoice = false;         // a restore token is kept: no chooser needed

    friend bool operator==(const PortalSource& a, const PortalSource& b) {
        return a.type == b.type;
    }
};

// One thing the user can record: a whole display or one application window.
struct ScreenCaptureTarget {
    // `display` carrying an X11 display, `window` carrying an X11 window, or a portal source;
    // payloads compare by identifier (portal sources by type).
    struct Kind {
        std::variant<x11::DisplayInfo, x11::WindowInfo, PortalSource> payload;

        bool isDisplay() const { return payload.index() == 0; }
        bool isWindow() const { return payload.index() == 1; }
        bool isPortal() const { return payload.index() == 2; }
        const x11::DisplayInfo& display() const { return std::get<0>(payload); }
        const x11::WindowInfo& window() const { return std::get<1>(payload); }
        const PortalSource& portal() const { return std::get<2>(payload); }
        // A whole screen, whichever back end shows it.
        bool capturesWholeScreen() const {
            return isDisplay() || (isPortal() && portal().type == PortalSource::Type::monitor);
        }
        friend bool operator==(const Kind& a, const Kind& b) {
            if (a.payload.index() != b.payload.index()) return false;
            if (a.isPortal()) return a.portal() == b.portal();
            return a.isDisplay() ? a.display().id == b.display().id
                                 : a.window().id == b.window().id;
        }
    };

    std::string id;  // "display-N", "window-N", "portal-monitor" or "portal-window"
    std::string title;
    std::optional<std::string> subtitle;
    std::optional<TargetImage> icon;
    Kind kind;
    std::vector<x11::WindowInfo> excludedWindows;  // display targets: this process's windows
    std::optional<TargetImage> thumbnail;          // filled in by whoever shows the target

    // Identified by `id`.
    friend bool operator==(const ScreenCaptureTarget& a, const ScreenCaptureTarget& b) {
        return a.id == b.id;
    }
};

}  // namespace zimlo::capture
