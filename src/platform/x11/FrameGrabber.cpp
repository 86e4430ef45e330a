#include "platform/x11/FrameGrabber.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "platform/log/Log.h"
#include "platform/media/RgbToNV12.h"
#include "platform/screen/CaptureError.h"
#include "platform/x11/X11Connection.h"

namespace zimlo::x11 {
namespace {

// Frames are BGRA in memory; X servers on little-endian machines hand 24/32-bit TrueColor
// pixels in that order.
bool isBgrx(const Visual* v, int depth) {
    return v && (depth == 24 || depth == 32) && v->red_mask == 0xff0000 &&
           v->green_mask == 0xff00 && v->blue_mask == 0xff;
}

[[noreturn]] void fail(screen::CaptureError::Kind kind, const std::string& detail = {}) {
    screen::CaptureError error(kind, detail);
    ZIMLO_LOG_WARN("x11") << "setting up the capture: " << error.what();
    throw error;
}

void forceOpaqueRow(uint8_t* row, int width) {
    auto* pixels = reinterpret_cast<uint32_t*>(row);
    for (int x = 0; x < width; ++x) pixels[x] |= 0xff000000u;
}

}  // namespace

FrameGrabber::FrameGrabber(Display* display, ContentFilter filter, bool excludeOwnProcess)
    : d_(display),
      root_(DefaultRootWindow(display)),
      filter_(std::move(filter)),
      excludeOwnProcess_(excludeOwnProcess) {
    int major = 0, minor = 0;
    Bool pixmaps = False;
    hasShm_ = XShmQueryVersion(d_, &major, &minor, &pixmaps);
    int eventBase = 0, errorBase = 0;
    if (XCompositeQueryExtension(d_, &eventBase, &errorBase)) {
        int cmajor = 0, cminor = 2;
        XCompositeQueryVersion(d_, &cmajor, &cminor);
        hasComposite_ = cmajor > 0 || cminor >= 2;
    }
    int damageError = 0;
    bool hasDamage = XDamageQueryExtension(d_, &damageEvent_, &damageError);
    int fixesError = 0;
    hasFixes_ = XFixesQueryExtension(d_, &fixesEvent_, &fixesError);
    netWmPid_ = XInternAtom(d_, "_NET_WM_PID", False);
    rootPixmapAtom_ = XInternAtom(d_, "_XROOTPMAP_ID", False);

    int screen = DefaultScreen(d_);
    if (!isBgrx(DefaultVisual(d_, screen), DefaultDepth(d_, screen))) {
        fail(screen::CaptureError::Kind::unsupportedPixelFormat,
             "depth " + std::to_string(DefaultDepth(d_, screen)));
    }

    ErrorTrap trap(d_);
    if (filter_.kind == ContentFilter::Kind::display) {
        PixelRect screenRect{0, 0, DisplayWidth(d_, screen), DisplayHeight(d_, screen)};
        region_ = filter_.display.frame.intersected(screenRect);
        if (region_.isEmpty())
            fail(screen::CaptureError::Kind::displayNotFound, filter_.display.name);
        XSelectInput(d_, root_, SubstructureNotifyMask);
        if (hasDamage) damage_ = XDamageCreate(d_, root_, XDamageReportNonEmpty);
        srcWidth_ = region_.width;
        srcHeight_ = region_.height;
    } else {
        if (!hasComposite_) fail(screen::CaptureError::Kind::windowCaptureUnsupported);
        window_ = static_cast<Window>(filter_.windowId);
        XWindowAttributes attrs{};
        if (!XGetWindowAttributes(d_, window_, &attrs) || trap.sync())
            fail(screen::CaptureError::Kind::windowMissing, "window " + std::to_string(window_));
        // Kept off-screen by the server, so covered parts still hold the window's own picture.
        {
            ErrorTrap redirect(d_);
            XCompositeRedirectWindow(d_, window_, CompositeRedirectAutomatic);
            redirected_ = !redirect.sync();
        }
        XSelectInput(d_, window_, StructureNotifyMask);
        if (hasDamage) damage_ = XDamageCreate(d_, window_, XDamageReportNonEmpty);
        srcWidth_ = std::max(1, attrs.width);
        srcHeight_ = std::max(1, attrs.height);
    }
    if (hasFixes_) XFixesSelectCursorInput(d_, root_, XFixesDisplayCursorNotifyMask);
    if (trap.sync())
        fail(screen::CaptureError::Kind::xProtocolError, std::to_string(trap.errorCode()));
    if (hasFixes_) watchPointerMotion();

    // Black until the first grab.
    srcStride_ = srcWidth_ * 4;
    fallback_.assign(static_cast<size_t>(srcStride_) * srcHeight_, 0);
    srcData_ = fallback_.data();
}

// Asking the server where the pointer is costs a round trip; on a still screen that was most of
// a tick's work. XInput2's raw motion says when a device moved the pointer (from the server
// 2.1 on, even while another client holds a grab), so the question is asked only then. Without
// the extension, or when it refuses, the pointer is asked after every tick as before.
void FrameGrabber::watchPointerMotion() {
    int event = 0, error = 0;
    if (!XQueryExtension(d_, "XInputExtension", &xiOpcode_, &event, &error)) {
        xiOpcode_ = -1;
        return;
    }
    ErrorTrap trap(d_);
    int major = 2, minor = 2;
    if (XIQueryVersion(d_, &major, &minor) != Success || trap.sync() || major < 2 ||
        (major == 2 && minor < 1)) {
        xiOpcode_ = -1;
        return;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof(bits)), bits};
    XISelectEvents(d_, root_, &mask, 1);
    if (trap.sync()) xiOpcode_ = -1;
}

FrameGrabber::~FrameGrabber() {
    ErrorTrap trap(d_);
    if (pixmap_) XFreePixmap(d_, pixmap_);
    if (damage_) XDamageDestroy(d_, damage_);
    if (redirected_ && window_)
        XCompositeUnredirectWindow(d_, window_, CompositeRedirectAutomatic);
    else if (redirected_)
        XCompositeUnredirectSubwindows(d_, root_, CompositeRedirectAutomatic);
    releaseShm(shm_);
    releaseShm(scratch_);
}

bool FrameGrabber::ensureShm(ShmImage& segment, size_t bytes) {
    if (!hasShm_) return false;
    if (segment.capacity >= bytes) return true;
    releaseShm(segment);
    int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
        hasShm_ = false;  // from now on plain requests
        return false;
    }
    void* address = shmat(id, nullptr, 0);
    // shmat reports failure as the address (void*)-1.
    if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr)
        shmctl(id, IPC_RMID, nullptr);
        hasShm_ = false;
        return false;
    }
    segment.info.shmid = id;
    segment.info.shmaddr = static_cast<char*>(address);
    segment.info.readOnly = False;
    ErrorTrap trap(d_);
    XShmAttach(d_, &segment.info);
    bool failed = trap.sync();
    // Removed now, freed once both sides detach (also when we crash).
    shmctl(id, IPC_RMID, nullptr);
    if (failed) {
        // Server on another machine: no shared memory.
        shmdt(address);
        segment = ShmImage{};
        hasShm_ = false;
        return false;
    }
    segment.attached = true;
    segment.capacity = bytes;
    return true;
}

void FrameGrabber::releaseShm(ShmImage& segment) {
    if (!segment.info.shmaddr) return;
    if (segment.attached) {
        ErrorTrap trap(d_);
        XShmDetach(d_, &segment.info);
        trap.sync();
    }
    bool wasSource = srcData_ == reinterpret_cast<uint8_t*>(segment.info.shmaddr);
    shmdt(segment.info.shmaddr);
    segment = ShmImage{};
    if (wasSource) {
        srcStride_ = srcWidth_ * 4;
        fallback_.assign(static_cast<size_t>(srcStride_) * srcHeight_, 0);
        srcData_ = fallback_.data();
    }
}

// Reads an area of a drawable through shared memory when possible; null on failure. The
// result stays valid until the next call.
const uint8_t* FrameGrabber::readArea(Drawable drawable, Visual* visual, int depth,
                                      const PixelRect& area, int& stride) {
    ErrorTrap trap(d_);
    if (ensureShm(scratch_, static_cast<size_t>(area.width) * area.height * 4)) {
        XImage* image = XShmCreateImage(d_, visual, static_cast<unsigned>(depth), ZPixmap, nullptr,
                                        &scratch_.info, static_cast<unsigned>(area.width),
                                        static_cast<unsigned>(area.height));
        if (!image) return nullptr;
        image->data = scratch_.info.shmaddr;
        bool ok = XShmGetImage(d_, drawable, image, area.x, area.y, AllPlanes) && !trap.sync() &&
                  image->bits_per_pixel == 32;
        stride = image->bytes_per_line;
        image->data = nullptr;
        XDestroyImage(image);
        return ok ? reinterpret_cast<const uint8_t*>(scratch_.info.shmaddr) : nullptr;
    }
    XImage* image = XGetImage(d_, drawable, area.x, area.y, static_cast<unsigned>(area.width),
                              static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
    if (!image || trap.sync() || image->bits_per_pixel != 32) {
        if (image) XDestroyImage(image);
        return nullptr;
    }
    stride = area.width * 4;
    scratchCopy_.resize(static_cast<size_t>(stride) * area.height);
    for (int row = 0; row < area.height; ++row) {
        std::memcpy(scratchCopy_.data() + static_cast<size_t>(row) * stride,
                    image->data + static_cast<size_t>(row) * image->bytes_per_line,
                    static_cast<size_t>(stride));
    }
    XDestroyImage(image);
    return scratchCopy_.data();
}

// Reads w × h pixels at (x, y) of `drawable` into the source image.
bool FrameGrabber::grabInto(Drawable drawable, Visual* visual, int depth, int x, int y, int w,
                            int h) {
    size_t bytes = static_cast<size_t>(w) * h * 4;
    ErrorTrap trap(d_);
    if (ensureShm(shm_, bytes)) {
        XImage* image =
            XShmCreateImage(d_, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &shm_.info,
                            static_cast<unsigned>(w), static_cast<unsigned>(h));
        if (!image) return false;
        image->data = shm_.info.shmaddr;
        bool ok = XShmGetImage(d_, drawable, image, x, y, AllPlanes) && !trap.sync() &&
                  image->bits_per_pixel == 32;
        int stride = image->bytes_per_line;
        image->data = nullptr;
        XDestroyImage(image);
        if (!ok) return false;
        srcData_ = reinterpret_cast<uint8_t*>(shm_.info.shmaddr);
        srcStride_ = stride;
    } else {
        XImage* image = XGetImage(d_, drawable, x, y, static_cast<unsigned>(w),
                                  static_cast<unsigned>(h), AllPlanes, ZPixmap);
        if (!image || trap.sync() || image->bits_per_pixel != 32) {
            if (image) XDestroyImage(image);
            return false;
        }
        fallback_.resize(bytes);
        for (int row = 0; row < h; ++row) {
            std::memcpy(fallback_.data() + static_cast<size_t>(row) * w * 4,
                        image->data + static_cast<size_t>(row) * image->bytes_per_line,
                        static_cast<size_t>(w) * 4);
        }
        XDestroyImage(image);
        srcData_ = fallback_.data();
        srcStride_ = w * 4;
    }
    srcWidth_ = w;
    srcHeight_ = h;
    return true;
}

bool FrameGrabber::poll(bool showsCursor) {
    while (XPending(d_) > 0) {
        XEvent event;
        XNextEvent(d_, &event);
        if (damage_ && event.type == damageEvent_ + XDamageNotify) {
            changed_ = true;
        } else if (event.type == GenericEvent && event.xcookie.extension == xiOpcode_) {
            pointerMoved_ = true;  // raw motion: the only XInput2 event asked for
        } else if (hasFixes_ && event.type == fixesEvent_ + XFixesCursorNotify) {
            cursorShapeDirty_ = true;
        } else if (window_) {
            if (event.type == DestroyNotify && event.xdestroywindow.window == window_) {
                targetGone_ = true;
            } else if (event.type == ConfigureNotify && event.xconfigure.window == window_) {
                if (event.xconfigure.width != windowWidth_ ||
                    event.xconfigure.height != windowHeight_) {
                    // A resized window gets a new pixmap; the old name shows the old size.
                    pixmapStale_ = true;
                    changed_ = true;
                }
            } else if ((event.type == MapNotify || event.type == UnmapNotify) &&
                       event.xany.window == window_) {
                pixmapStale_ = true;
                changed_ = true;
            }
        } else if (event.type == CreateNotify || event.type == DestroyNotify ||
                   event.type == MapNotify || event.type == UnmapNotify ||
                   event.type == ReparentNotify) {
            topologyDirty_ = true;
        }
    }
    if (showsCursor != lastShowsCursor_) changed_ = true;
    if (showsCursor && hasFixes_ && pointerQueryDue()) {
        Window rootReturn = 0, child = 0;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned int mask = 0;
        if (XQueryPointer(d_, root_, &rootReturn, &child, &rx, &ry, &wx, &wy, &mask) &&
            (rx != lastCursorX_ || ry != lastCursorY_)) {
            // On a display, only moves that touch it matter.
            const int reach = std::max({64, cursorWidth_, cursorHeight_});
            auto near = [&](int x, int y) {
                return !PixelRect{x - reach, y - reach, 2 * reach, 2 * reach}
                            .intersected(region_)
                            .isEmpty();
            };
            if (window_ || near(rx, ry) || near(lastCursorX_, lastCursorY_)) changed_ = true;
            if (!changed_) {
                lastCursorX_ = rx;
                lastCursorY_ = ry;
            }
        }
        if (cursorShapeDirty_) changed_ = true;
    }
    return changed_;
}

bool FrameGrabber::pointerQueryDue() {
    const auto now = std::chrono::steady_clock::now();
    // A program that warps the pointer makes no raw motion: such moves are caught by the
    // occasional question.
    if (xiOpcode_ >= 0 && !pointerMoved_ && now - pointerAskedAt_ < kPointerRecheck) return false;
    pointerMoved_ = false;  // motion read after this point asks again at the next poll
    pointerAskedAt_ = now;
    return true;
}

bool FrameGrabber::waitForChange(bool showsCursor, std::chrono::nanoseconds limit) {
    sleepUntilEvent(-1, std::chrono::steady_clock::now() + limit);
    return poll(showsCursor);
}

std::chrono::steady_clock::time_point FrameGrabber::nextLookAt(bool showsCursor) const {
    using Clock = std::chrono::steady_clock;
    if (!showsCursor || !hasFixes_) return Clock::time_point::max();
    if (xiOpcode_ < 0 || pointerMoved_) return Clock::time_point::min();
    return pointerAskedAt_ + kPointerRecheck;
}

void FrameGrabber::sleepUntilEvent(int wakeFd, std::chrono::steady_clock::time_point until) {
    XFlush(d_);
    if (XEventsQueued(d_, QueuedAlready) > 0) return;
    const auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero()) return;
    // A year at most: the time_point may be the far end of the clock.
    const auto limit = std::min<std::chrono::nanoseconds>(left, std::chrono::hours(24 * 365));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
    const timespec wait{static_cast<time_t>(seconds.count()),
                        static_cast<long>((limit - seconds).count())};
    pollfd fds[2] = {{ConnectionNumber(d_), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    ::ppoll(fds, wakeFd >= 0 ? 2 : 1, &wait, nullptr);
}

bool FrameGrabber::grab(bool showsCursor) {
    changed_ = false;
    justRedirected_ = false;
    lastShowsCursor_ = showsCursor;
    // Cleared before reading, so whatever changes during the read is reported next time.
    if (damage_) XDamageSubtract(d_, damage_, None, None);
    int originX = 0, originY = 0;
    if (window_) {
        if (!grabWindow()) return false;
        ErrorTrap trap(d_);
        Window child = 0;
        if (!XTranslateCoordinates(d_, window_, root_, 0, 0, &originX, &originY, &child) ||
            trap.sync()) {
            originX = originY = 0;
        }
    } else {
        grabDisplay();
        originX = region_.x;
        originY = region_.y;
    }
    if (showsCursor && hasFixes_) blendCursor(originX, originY);
    return true;
}

bool FrameGrabber::grabWindow() {
    ErrorTrap trap(d_);
    if (pixmapStale_ || !pixmap_) {
        if (pixmap_) XFreePixmap(d_, pixmap_);
        pixmap_ = 0;
        XWindowAttributes attrs{};
        if (!XGetWindowAttributes(d_, window_, &attrs) || trap.sync()) {
            targetGone_ = true;
            return false;
        }
        windowWidth_ = attrs.width;
        windowHeight_ = attrs.height;
        if (attrs.map_state != IsViewable) return false;  // minimised or on another desktop
        windowBorder_ = attrs.border_width;
        windowDepth_ = attrs.depth;
        windowVisual_ = attrs.visual;
        if (!isBgrx(windowVisual_, windowDepth_)) return false;
        pixmap_ = XCompositeNameWindowPixmap(d_, window_);
        if (trap.sync()) {
            pixmap_ = 0;
            trap.reset();
            return false;
        }
        pixmapStale_ = false;
    }
    if (windowWidth_ < 1 || windowHeight_ < 1) return false;
    if (!grabInto(pixmap_, windowVisual_, windowDepth_, windowBorder_, windowBorder_, windowWidth_,
                  windowHeight_)) {
        pixmapStale_ = true;
        return false;
    }
    // A window with an alpha channel shows over black (its pixels are premultiplied): the
    // colour channels are kept and rendering makes every pixel opaque.
    return true;
}

void FrameGrabber::grabDisplay() {
    int screen = DefaultScreen(d_);
    if (!grabInto(root_, DefaultVisual(d_, screen), DefaultDepth(d_, screen), region_.x, region_.y,
                  region_.width, region_.height)) {
        return;
    }
    if (hasComposite_) composeWithoutOwnWindows();
}

void FrameGrabber::refreshOwnTopLevels() {
    topologyDirty_ = false;
    ownTopLevels_.clear();
    std::set<Window> excluded;
    for (uint32_t id : filter_.excludedWindows) {
        if (Window top = topLevelOf(d_, root_, id)) excluded.insert(top);
    }
    const auto ownPid = static_cast<unsigned long>(getpid());
    auto isOurs = [&](Window w) {
        auto pid = cardinalProperty(d_, w, netWmPid_, XA_CARDINAL, 1);
        return pid && !pid->empty() && (*pid)[0] == ownPid;
    };
    for (Window top : rootChildren(d_, root_)) {
        bool own = excluded.count(top) > 0;
        if (!own && excludeOwnProcess_) {
            own = isOurs(top);
            if (!own) {
                // A window manager's frame holds the client one level down.
                Window r = 0, parent = 0;
                Window* children = nullptr;
                unsigned int count = 0;
                ErrorTrap trap(d_);
                if (XQueryTree(d_, top, &r, &parent, &children, &count) && children) {
                    for (unsigned int i = 0; i < count && !own; ++i) own = isOurs(children[i]);
                }
                if (children) XFree(children);
            }
        }
        if (own) ownTopLevels_.push_back(top);
    }
}

void FrameGrabber::composeWithoutOwnWindows() {
    if (topologyDirty_) refreshOwnTopLevels();
    if (ownTopLevels_.empty()) return;
    std::vector<PixelRect> covered;
    {
        ErrorTrap trap(d_);
        for (Window w : ownTopLevels_) {
            XWindowAttributes attrs{};
            trap.reset();
            if (!XGetWindowAttributes(d_, w, &attrs) || trap.sync() ||
                attrs.map_state != IsViewable)
                continue;
            PixelRect outer{attrs.x, attrs.y, attrs.width + 2 * attrs.border_width,
                            attrs.height + 2 * attrs.border_width};
            PixelRect r = outer.intersected(region_);
            if (!r.isEmpty()) covered.push_back(r);
        }
    }
    if (covered.empty()) return;
    if (!redirectTried_) {
        // From now on every top-level keeps a pixmap of its own, so the frame can be recomposed
        // without ours. Done only once needed: redirection costs the server a copy per drawing.
        // Under a compositing manager the windows already have pixmaps; a refusal changes nothing.
        redirectTried_ = true;
        ErrorTrap redirect(d_);
        XCompositeRedirectSubwindows(d_, root_, CompositeRedirectAutomatic);
        redirected_ = !redirect.sync();
        // Covered parts are repainted by their owners after the redirection; grab again soon.
        changed_ = true;
        justRedirected_ = true;
    }
    std::vector<Window> stacking = rootChildren(d_, root_);  // bottom to top
    for (const PixelRect& area : covered) {
        paintBackground(area);
        for (Window w : stacking) {
            if (std::find(ownTopLevels_.begin(), ownTopLevels_.end(), w) != ownTopLevels_.end())
                continue;
            XWindowAttributes attrs{};
            ErrorTrap trap(d_);
            if (!XGetWindowAttributes(d_, w, &attrs) || trap.sync()) continue;
            if (attrs.map_state != IsViewable || attrs.c_class != InputOutput) continue;
            PixelRect outer{attrs.x, attrs.y, attrs.width + 2 * attrs.border_width,
                            attrs.height + 2 * attrs.border_width};
            PixelRect r = outer.intersected(area);
            if (!r.isEmpty()) copyWindowArea(w, attrs, r);
        }
    }
}

// What lies under every window: the desktop's root pixmap when one is published, else black.
void FrameGrabber::paintBackground(const PixelRect& rect) {
    for (int y = 0; y < rect.height; ++y) {
        uint8_t* row = srcPixel(rect.x - region_.x, rect.y - region_.y + y);
        for (int x = 0; x < rect.width; ++x) {
            row[x * 4 + 0] = row[x * 4 + 1] = row[x * 4 + 2] = 0;
            row[x * 4 + 3] = 0xff;
        }
    }
    auto pixmap = windowProperty(d_, root_, rootPixmapAtom_);
    if (!pixmap) {
        auto values = cardinalProperty(d_, root_, rootPixmapAtom_, XA_PIXMAP, 1);
        if (values && !values->empty()) pixmap = static_cast<Window>((*values)[0]);
    }
    if (!pixmap || *pixmap == 0) return;
    int stride = 0;
    int screen = DefaultScreen(d_);
    const uint8_t* pixels =
        readArea(*pixmap, DefaultVisual(d_, screen), DefaultDepth(d_, screen), rect, stride);
    if (!pixels) return;
    for (int y = 0; y < rect.height; ++y) {
        uint8_t* row = srcPixel(rect.x - region_.x, rect.y - region_.y + y);
        std::memcpy(row, pixels + static_cast<size_t>(y) * stride,
                    static_cast<size_t>(rect.width) * 4);
        forceOpaqueRow(row, rect.width);
    }
}

void FrameGrabber::copyWindowArea(Window w, const XWindowAttributes& attrs, const PixelRect& rect) {
    if (!isBgrx(attrs.visual, attrs.depth)) return;
    ErrorTrap trap(d_);
    Pixmap pixmap = XCompositeNameWindowPixmap(d_, w);
    if (trap.sync()) return;
    int stride = 0;
    const uint8_t* pixels =
        readArea(pixmap, attrs.visual, attrs.depth,
                 PixelRect{rect.x - attrs.x, rect.y - attrs.y, rect.width, rect.height}, stride);
    if (pixels) {
        bool hasAlpha = attrs.depth == 32;
        for (int y = 0; y < rect.height; ++y) {
            uint8_t* dst = srcPixel(rect.x - region_.x, rect.y - region_.y + y);
            const uint8_t* src = pixels + static_cast<size_t>(y) * stride;
            if (!hasAlpha) {
                std::memcpy(dst, src, static_cast<size_t>(rect.width) * 4);
                forceOpaqueRow(dst, rect.width);
                continue;
            }
            for (int x = 0; x < rect.width; ++x) {  // premultiplied "over"
                unsigned a = src[x * 4 + 3];
                for (int c = 0; c < 3; ++c) {
                    dst[x * 4 + c] =
                        static_cast<uint8_t>(src[x * 4 + c] + dst[x * 4 + c] * (255 - a) / 255);
                }
                dst[x * 4 + 3] = 0xff;
            }
        }
    }
    XFreePixmap(d_, pixmap);
}

void FrameGrabber::fetchCursorImage() {
    cursorShapeDirty_ = false;
    XFixesCursorImage* image = XFixesGetCursorImage(d_);
    if (!image) {
        cursorWidth_ = cursorHeight_ = 0;
        return;
    }
    cursorWidth_ = image->width;
    cursorHeight_ = image->height;
    cursorHotX_ = image->xhot;
    cursorHotY_ = image->yhot;
    cursorPixels_.resize(static_cast<size_t>(cursorWidth_) * cursorHeight_);
    for (size_t i = 0; i < cursorPixels_.size(); ++i)
        cursorPixels_[i] = static_cast<uint32_t>(image->pixels[i]);
    XFree(image);
}

void FrameGrabber::blendCursor(int originX, int originY) {
    if (cursorShapeDirty_ || cursorPixels_.empty()) fetchCursorImage();
    Window rootReturn = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(d_, root_, &rootReturn, &child, &rx, &ry, &wx, &wy, &mask)) return;
    lastCursorX_ = rx;
    lastCursorY_ = ry;
    int left = rx - cursorHotX_ - originX, top = ry - cursorHotY_ - originY;
    for (int cy = 0; cy < cursorHeight_; ++cy) {
        int y = top + cy;
        if (y < 0 || y >= srcHeight_) continue;
        for (int cx = 0; cx < cursorWidth_; ++cx) {
            int x = left + cx;
            if (x < 0 || x >= srcWidth_) continue;
            uint32_t argb = cursorPixels_[static_cast<size_t>(cy) * cursorWidth_ + cx];
            unsigned a = argb >> 24;
            if (a == 0) continue;
            uint8_t* p = srcPixel(x, y);
            // Cursor images are premultiplied.
            p[0] = static_cast<uint8_t>((argb & 0xff) + p[0] * (255 - a) / 255);
            p[1] = static_cast<uint8_t>(((argb >> 8) & 0xff) + p[1] * (255 - a) / 255);
            p[2] = static_cast<uint8_t>(((argb >> 16) & 0xff) + p[2] * (255 - a) / 255);
        }
    }
}

// Where the source goes in an output of outW × outH: all of it, or a centred rectangle of the
// source's shape when its aspect ratio is kept.
PixelRect FrameGrabber::placement(int outW, int outH, bool preservesAspectRatio) const {
    int dw = outW, dh = outH;
    if (preservesAspectRatio && srcWidth_ > 0 && srcHeight_ > 0) {
        double scale =
            std::min(static_cast<double>(outW) / srcWidth_, static_cast<double>(outH) / srcHeight_);
        dw = std::clamp(static_cast<int>(std::lround(srcWidth_ * scale)), 1, outW);
        dh = std::clamp(static_cast<int>(std::lround(srcHeight_ * scale)), 1, outH);
    }
    return {(outW - dw) / 2, (outH - dh) / 2, dw, dh};
}

void FrameGrabber::render(media::PixelBuffer& out, bool preservesAspectRatio) {
    if (out.format() == media::PixelFormat::NV12VideoRange) {
        renderNV12(out, preservesAspectRatio);
        return;
    }
    const int outW = out.width(), outH = out.height();
    const PixelRect place = placement(outW, outH, preservesAspectRatio);
    const int dw = place.width, dh = place.height, offX = place.x, offY = place.y;
    if (dw != outW || dh != outH) {
        for (int y = 0; y < outH; ++y) {
            auto* row =
                reinterpret_cast<uint32_t*>(out.data() + static_cast<size_t>(y) * out.stride());
            if (y < offY || y >= offY + dh) {
                std::fill(row, row + outW, 0xff000000u);
            } else {
                std::fill(row, row + offX, 0xff000000u);
                std::fill(row + offX + dw, row + outW, 0xff000000u);
            }
        }
    }
    uint8_t* dst = out.data() + static_cast<size_t>(offY) * out.stride() + offX * 4;
    resampler_.resize(srcData_, srcWidth_, srcHeight_, srcStride_, dst, dw, dh, out.stride());
}

// Straight from the source image to what the encoder takes: one pass over the pixels where no
// scaling is needed, instead of a copy here and a conversion in the encoder.
void FrameGrabber::renderNV12(media::PixelBuffer& out, bool preservesAspectRatio) {
    const int outW = out.width(), outH = out.height();
    PixelRect place = placement(outW, outH, preservesAspectRatio);
    // Chroma covers 2 × 2 pixels: the picture lies on even coordinates with even sizes.
    place.width = std::max(2, place.width & ~1);
    place.height = std::max(2, place.height & ~1);
    place.x &= ~1;
    place.y &= ~1;
    auto black = [&](int x, int y, int w, int h) {
        if (w <= 0 || h <= 0) return;
        for (int row = y; row < y + h; ++row)
            std::memset(out.data(0) + static_cast<size_t>(row) * out.stride(0) + x, 16,
                        static_cast<size_t>(w));
        for (int row = y / 2; row < (y + h + 1) / 2; ++row)
            std::memset(out.data(1) + static_cast<size_t>(row) * out.stride(1) + (x & ~1), 128,
                        static_cast<size_t>((w + 1) & ~1));
    };
    black(0, 0, outW, place.y);
    black(0, place.y + place.height, outW, outH - place.y - place.height);
    black(0, place.y, place.x, place.height);
    black(place.x + place.width, place.y, outW - place.x - place.width, place.height);
    // An odd-sized source loses its last column or row rather than being scaled for it.
    if (place.width == (srcWidth_ & ~1) && place.height == (srcHeight_ & ~1)) {
        media::rgbxToNV12(srcData_, srcStride_, place.width, place.height, out, place.x, place.y);
        return;
    }
    const int stride = place.width * 4;
    scaled_.resize(static_cast<size_t>(stride) * place.height);
    resampler_.resize(srcData_, srcWidth_, srcHeight_, srcStride_, scaled_.data(), place.width,
                      place.height, stride);
    media::rgbxToNV12(scaled_.data(), stride, place.width, place.height, out, place.x, place.y);
}

}  // namespace zimlo::x11
