#include "capture/ScreenCaptureTargetHighlighter.h"

#include "platform/log/Log.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"
#include "platform/x11/CaptureTargetList.h"
#include "platform/x11/Highlight.h"

namespace zimlo::capture {

std::shared_ptr<ScreenCaptureTargetHighlighter> ScreenCaptureTargetHighlighter::shared() {
    static std::shared_ptr<ScreenCaptureTargetHighlighter> instance(
        new ScreenCaptureTargetHighlighter());
    return instance;
}

ScreenCaptureTargetHighlighter::~ScreenCaptureTargetHighlighter() = default;

bool ScreenCaptureTargetHighlighter::highlight(const ScreenCaptureTarget& target) {
    if (pendingShow_) pendingShow_->cancel();
    pendingShow_.reset();
    if (target.kind.isDisplay()) {
        std::optional<PixelRect> frame;
        for (const auto& display : x11::queryDisplays().valueOr({})) {
            if (display.id == target.kind.display().id) frame = display.frame;
        }
        if (!frame) return false;  // no display (its connection logged why) or not this one
        showBorder(*frame);
        return true;
    }
    const auto& window = target.kind.window();
    bool raised = x11::activateWindow(window.id);
    // Give the window manager time to bring the window up before the border lands on it.
    PixelRect frame = window.frame;
    PixelRect grown{frame.x - 4, frame.y - 4, frame.width + 8, frame.height + 8};
    pendingShow_ = MainQueue::postAfter(
        0.18, weakly(weak_from_this(), [grown](ScreenCaptureTargetHighlighter& self) {
            self.pendingShow_.reset();
            self.showBorder(grown);
        }));
    return raised;
}

void ScreenCaptureTargetHighlighter::showBorder(const PixelRect& rect) {
    try {
        if (!overlayWindow_) overlayWindow_ = std::make_unique<x11::HighlightBorder>();
        overlayWindow_->show(rect);
    } catch (const std::exception& error) {
        // Without an X server there is nothing to draw on.
        ZIMLO_LOG_WARN("capture") << "showing the border around the target: " << error.what();
    }
}

void ScreenCaptureTargetHighlighter::hide() {
    // A border still scheduled would otherwise reappear after the picker was left.
    if (pendingShow_) pendingShow_->cancel();
    pendingShow_.reset();
    overlayWindow_.reset();
}

unsigned long ScreenCaptureTargetHighlighter::overlayWindowId() const {
    return overlayWindow_ ? overlayWindow_->windowId() : 0;
}

}  // namespace zimlo::capture
