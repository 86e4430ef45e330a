#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

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

struct PixelSize {
    double width = 1;
    double height = 1;
    friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// One thing the user can record: a whole display or one application window.
struct ScreenCaptureTarget {
    // `display` carrying a display, `window` carrying a window; payloads compare by identifier.
    struct Kind {
        std::variant<x11::DisplayInfo, x11::WindowInfo> payload;

        bool isDisplay() const { return payload.index() == 0; }
        bool isWindow() const { return payload.index() == 1; }
        const x11::DisplayInfo& display() const { return std::get<0>(payload); }
        const x11::WindowInfo& window() const { return std::get<1>(payload); }
        friend bool operator==(const Kind& a, const Kind& b) {
            if (a.payload.index() != b.payload.index()) return false;
            return a.isDisplay() ? a.display().id == b.display().id
                                 : a.window().id == b.window().id;
        }
    };

    std::string id;  // "display-N" or "window-N"
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
