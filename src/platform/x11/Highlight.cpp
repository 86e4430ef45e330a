#include "platform/x11/Highlight.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/x11/X11Connection.h"

namespace zimlo::x11 {
namespace {

void fillRoundedRect(Display* d, Drawable target, GC gc, int x, int y, int w, int h, int r) {
    r = std::max(0, std::min({r, w / 2, h / 2}));
    if (w <= 0 || h <= 0) return;
    XFillRectangle(d, target, gc, x + r, y, static_cast<unsigned>(w - 2 * r),
                   static_cast<unsigned>(h));
    XFillRectangle(d, target, gc, x, y + r, static_cast<unsigned>(w),
                   static_cast<unsigned>(h - 2 * r));
    if (r == 0) return;
    unsigned diameter = static_cast<unsigned>(2 * r);
    XFillArc(d, target, gc, x, y, diameter, diameter, 90 * 64, 90 * 64);
    XFillArc(d, target, gc, x + w - 2 * r, y, diameter, diameter, 0, 90 * 64);
    XFillArc(d, target, gc, x, y + h - 2 * r, diameter, diameter, 180 * 64, 90 * 64);
    XFillArc(d, target, gc, x + w - 2 * r, y + h - 2 * r, diameter, diameter, 270 * 64, 90 * 64);
}

void sendClientMessage(Display* d, Window root, Window w, Atom type, long l0, long l1, long l2) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = type;
    event.xclient.format = 32;
    event.xclient.data.l[0] = l0;
    event.xclient.data.l[1] = l1;
    event.xclient.data.l[2] = l2;
    XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

bool windowManagerRuns(const Connection& c, Window root) {
    Atom check = c.atom("_NET_SUPPORTING_WM_CHECK");
    auto child = windowProperty(c, root, check);
    if (!child || *child == 0) return false;
    auto again = windowProperty(c, *child, check);
    return again && *again == *child;
}

}  // namespace

HighlightBorder::HighlightBorder(const char* displayName)
    : connection_(std::make_unique<Connection>(displayName)) {
    Display* d = *connection_;
    int screen = DefaultScreen(d);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = kSystemBlue;  // TrueColor: the pixel is the RGB value
    attributes.border_pixel = 0;
    XVisualInfo info{};
    Visual* visual = DefaultVisual(d, screen);
    int depth = DefaultDepth(d, screen);
    if (!XMatchVisualInfo(d, screen, depth, TrueColor, &info)) {
        attributes.background_pixel = BlackPixel(d, screen);
    }
    window_ = XCreateWindow(d, RootWindow(d, screen), 0, 0, 16, 16, 0, depth, InputOutput, visual,
                            CWOverrideRedirect | CWBackPixel | CWBorderPixel, &attributes);
    // Marked as ours, so listings and recordings leave it out.
    long pid = getpid();
    XChangeProperty(d, window_, connection_->atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    XClassHint hint{const_cast<char*>("zimlo-highlight"), const_cast<char*>("Zimlo")};
    XSetClassHint(d, window_, &hint);
    XStoreName(d, window_, "Zimlo highlight");
    Atom type = connection_->atom("_NET_WM_WINDOW_TYPE_NOTIFICATION");
    XChangeProperty(d, window_, connection_->atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&type), 1);
    // Clicks go through to whatever lies below.
    XShapeCombineRectangles(d, window_, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
    XFlush(d);
}

HighlightBorder::~HighlightBorder() {
    if (window_) {
        XDestroyWindow(*connection_, window_);
        XSync(*connection_, False);
    }
}

void HighlightBorder::reshape(int width, int height) {
    Display* d = *connection_;
    Pixmap mask =
        XCreatePixmap(d, window_, static_cast<unsigned>(width), static_cast<unsigned>(height), 1);
    GC gc = XCreateGC(d, mask, 0, nullptr);
    XSetForeground(d, gc, 0);
    XFillRectangle(d, mask, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSetForeground(d, gc, 1);
    fillRoundedRect(d, mask, gc, 0, 0, width, height, kCornerRadius);
    XSetForeground(d, gc, 0);
    fillRoundedRect(d, mask, gc, kBorderWidth, kBorderWidth, width - 2 * kBorderWidth,
                    height - 2 * kBorderWidth, kCornerRadius - kBorderWidth);
    XShapeCombineMask(d, window_, ShapeBounding, 0, 0, mask, ShapeSet);
    XFreeGC(d, gc);
    XFreePixmap(d, mask);
}

void HighlightBorder::show(const PixelRect& rect) {
    Display* d = *connection_;
    int width = std::max(1, rect.width), height = std::max(1, rect.height);
    ErrorTrap trap(d);
    if (rect.width != shownAt_.width || rect.height != shownAt_.height) reshape(width, height);
    XMoveResizeWindow(d, window_, rect.x, rect.y, static_cast<unsigned>(width),
                      static_cast<unsigned>(height));
    XMapRaised(d, window_);
    XFlush(d);
    shownAt_ = rect;
}

bool activateWindow(uint32_t windowId, const char* displayName) {
    auto opened = Connection::open(displayName);
    if (!opened) return false;  // the connection logged why
    const Connection& c = **opened;
    Display* d = c;
    Window root = DefaultRootWindow(d);
    Window w = windowId;
    XWindowAttributes attrs{};
    {
        ErrorTrap trap(d);
        if (!XGetWindowAttributes(d, w, &attrs) || trap.sync()) return false;
    }
    if (windowManagerRuns(c, root)) {
        auto desktop = cardinalProperty(d, w, c.atom("_NET_WM_DESKTOP"), XA_CARDINAL, 1);
        auto current = cardinalProperty(d, root, c.atom("_NET_CURRENT_DESKTOP"), XA_CARDINAL, 1);
        if (desktop && !desktop->empty() && (*desktop)[0] != 0xffffffffUL && current &&
            !current->empty() && (*desktop)[0] != (*current)[0]) {
            sendClientMessage(d, root, root, c.atom("_NET_CURRENT_DESKTOP"),
                              static_cast<long>((*desktop)[0]), CurrentTime, 0);
        }
        // Source indication 2: a pager acting on the user's behalf, which focus-stealing
        // prevention lets through.
        sendClientMessage(d, root, w, c.atom("_NET_ACTIVE_WINDOW"), 2, CurrentTime, 0);
    } else {
        ErrorTrap trap(d);
        Window top = topLevelOf(d, root, w);
        if (top == 0) top = w;
        XMapRaised(d, top);
        if (top != w) XMapWindow(d, w);
        XSync(d, False);
        XSetInputFocus(d, w, RevertToParent, CurrentTime);
        trap.sync();  // a window that cannot take focus is still raised
    }
    XSync(d, False);
    return true;
}

}  // namespace zimlo::x11
