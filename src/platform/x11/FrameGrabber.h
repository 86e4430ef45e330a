#pragma once

// Internal: the capture pipeline shared by ScreenStream and captureImage. Used from one thread.

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/media/MediaSample.h"
#include "platform/x11/Resampler.h"
#include "platform/x11/X11Types.h"

namespace zimlo::x11 {

class FrameGrabber {
  public:
    // Throws screen::CaptureError when the content cannot be captured.
    FrameGrabber(Display* display, ContentFilter filter, bool excludeOwnProcess);
    ~FrameGrabber();
    FrameGrabber(const FrameGrabber&) = delete;
    FrameGrabber& operator=(const FrameGrabber&) = delete;

    // Reads pending events; true when the picture may differ from the last grab (content
    // damage, a moved or changed cursor while it is shown, a resized window).
    bool poll(bool showsCursor);
    // Waits up to `limit` for an event that may change the picture, then polls.
    bool waitForChange(bool showsCursor, std::chrono::nanoseconds limit);
    // When the grabber must look again although no event came: at once when the pointer can
    // only be followed by asking where it is, at the next occasional question when it is
    // drawn, else never.
    std::chrono::steady_clock::time_point nextLookAt(bool showsCursor) const;
    // Sleeps until the X connection has an event, `wakeFd` (when not -1) is readable, or `until`.
    void sleepUntilEvent(int wakeFd, std::chrono::steady_clock::time_point until);
    // Set when a captured window was destroyed; the stream then ends.
    bool targetGone() const { return targetGone_; }

    // Grabs the content (with the cursor when asked) into the source image. False when there
    // is nothing to grab (a window not mapped now); the source image then keeps what it had.
    bool grab(bool showsCursor);
    // True when the last grab started redirecting windows: their owners repaint covered parts
    // shortly, so a single picture is worth taking again a moment later.
    bool justRedirected() const { return justRedirected_; }
    // Scales the source image into `out` (opaque BGRA, or NV12VideoRange of an even size),
    // centred on black when the aspect ratio is kept and differs.
    void render(media::PixelBuffer& out, bool preservesAspectRatio);

    int sourceWidth() const { return srcWidth_; }
    int sourceHeight() const { return srcHeight_; }

  private:
    struct ShmImage {
        XShmSegmentInfo info{};
        size_t capacity = 0;
        bool attached = false;
    };

    bool ensureShm(ShmImage& segment, size_t bytes);
    void releaseShm(ShmImage& segment);
    const uint8_t* readArea(Drawable drawable, Visual* visual, int depth, const PixelRect& area,
                            int& stride);
    bool grabInto(Drawable drawable, Visual* visual, int depth, int x, int y, int w, int h);
    bool grabWindow();
    void grabDisplay();
    void refreshOwnTopLevels();
    void composeWithoutOwnWindows();
    void paintBackground(const PixelRect& rect);
    void copyWindowArea(Window w, const XWindowAttributes& attrs, const PixelRect& rect);
    void blendCursor(int originX, int originY);
    PixelRect placement(int outW, int outH, bool preservesAspectRatio) const;
    void renderNV12(media::PixelBuffer& out, bool preservesAspectRatio);
    void fetchCursorImage();
    void watchPointerMotion();
    bool pointerQueryDue();
    uint8_t* srcPixel(int x, int y) {
        return srcData_ + static_cast<size_t>(y) * srcStride_ + x * 4;
    }

    Display* d_;
    Window root_;
    ContentFilter filter_;
    bool excludeOwnProcess_;
    bool hasShm_ = false, hasComposite_ = false, hasFixes_ = false;
    bool redirected_ = false;
    bool redirectTried_ = false;
    bool justRedirected_ = false;
    int damageEvent_ = 0, fixesEvent_ = 0;
    Damage damage_ = 0;
    PixelRect region_;  // display capture: the area of the root captured

    // Window capture.
    Window window_ = 0;
    Pixmap pixmap_ = 0;
    bool pixmapStale_ = true;
    bool targetGone_ = false;
    int windowWidth_ = 0, windowHeight_ = 0, windowBorder_ = 0, windowDepth_ = 24;
    Visual* windowVisual_ = nullptr;

    // Own windows (display capture).
    bool topologyDirty_ = true;
    std::vector<Window> ownTopLevels_;
    Atom netWmPid_ = 0, rootPixmapAtom_ = 0;

    // Source image (shared memory when available).
    ShmImage shm_;
    ShmImage scratch_;  // areas of other windows and of the root pixmap
    std::vector<uint8_t> fallback_;
    std::vector<uint8_t> scratchCopy_;
    uint8_t* srcData_ = nullptr;
    int srcWidth_ = 0, srcHeight_ = 0, srcStride_ = 0;

    // Change tracking.
    bool changed_ = true;
    bool cursorShapeDirty_ = true;
    bool lastShowsCursor_ = false;
    int lastCursorX_ = -100000, lastCursorY_ = -100000;
    // Pointer motion: XInput2's code when raw motion is watched (else -1), motion seen since
    // the pointer was last asked for, and when that was.
    static constexpr std::chrono::milliseconds kPointerRecheck{250};
    int xiOpcode_ = -1;
    bool pointerMoved_ = true;
    std::chrono::steady_clock::time_point pointerAskedAt_{};
    std::vector<uint32_t> cursorPixels_;  // premultiplied ARGB
    int cursorWidth_ = 0, cursorHeight_ = 0, cursorHotX_ = 0, cursorHotY_ = 0;

    Resampler resampler_;
    std::vector<uint8_t> scaled_;  // BGRA of the output's size, before NV12
};

}  // namespace zimlo::x11
