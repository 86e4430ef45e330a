#pragma once

// Windows of pretend applications for X11 tests: each has a background pixmap holding its
// picture, so the server repaints it on exposure without an event loop here.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/x11/X11Types.h"

namespace zimlo::test {

class TestWindows {
  public:
    explicit TestWindows(const std::string& displayName) : d_(XOpenDisplay(displayName.c_str())) {
        if (!d_) throw std::runtime_error("cannot open " + displayName);
    }
    ~TestWindows() {
        for (auto& [w, pixmap] : pixmaps_) XFreePixmap(d_, pixmap);
        XCloseDisplay(d_);
    }

    struct Spec {
        explicit Spec(PixelRect f, uint32_t colour = 0x808080, std::optional<long> p = {},
                      std::string cls = {}, std::string t = {})
            : frame(f), rgb(colour), pid(p), appClass(std::move(cls)), title(std::move(t)) {}
        Spec& withType(const char* t) {
            type = t;
            return *this;
        }
        Spec& asOverrideRedirect() {
            overrideRedirect = true;
            return *this;
        }
        Spec& unmapped() {
            map = false;
            return *this;
        }

        PixelRect frame;
        uint32_t rgb;
        std::optional<long> pid;
        std::string appClass;  // empty: no WM_CLASS
        std::string title;
        const char* type = nullptr;  // e.g. "_NET_WM_WINDOW_TYPE_DOCK"
        bool overrideRedirect = false;
        bool map = true;
    };

    Window create(const Spec& s) {
        XSetWindowAttributes a{};
        a.override_redirect = s.overrideRedirect;
        Window w = XCreateWindow(d_, DefaultRootWindow(d_), s.frame.x, s.frame.y,
                                 static_cast<unsigned>(s.frame.width),
                                 static_cast<unsigned>(s.frame.height), 0, CopyFromParent,
                                 InputOutput, CopyFromParent, CWOverrideRedirect, &a);
        Pixmap pixmap = XCreatePixmap(d_, w, static_cast<unsigned>(s.frame.width),
                                      static_cast<unsigned>(s.frame.height),
                                      static_cast<unsigned>(DefaultDepth(d_, DefaultScreen(d_))));
        pixmaps_[w] = pixmap;
        fillPixmap(w, {0, 0, s.frame.width, s.frame.height}, s.rgb);
        XSetWindowBackgroundPixmap(d_, w, pixmap);
        if (s.pid) {
            long pid = *s.pid;
            XChangeProperty(d_, w, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&pid), 1);
        }
        if (!s.appClass.empty()) {
            std::string instance = s.appClass + "-instance";
            XClassHint hint{instance.data(), const_cast<char*>(s.appClass.c_str())};
            XSetClassHint(d_, w, &hint);
        }
        if (!s.title.empty()) {
            XChangeProperty(d_, w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(s.title.data()),
                            static_cast<int>(s.title.size()));
        }
        if (s.type) {
            Atom type = atom(s.type);
            XChangeProperty(d_, w, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&type), 1);
        }
        if (s.map) XMapWindow(d_, w);
        XSync(d_, False);
        return w;
    }

    // Draws into the window's picture (kept across exposures) and shows it.
    void paint(Window w, const PixelRect& r, uint32_t rgb) {
        fillPixmap(w, r, rgb);
        XClearWindow(d_, w);
        XSync(d_, False);
    }

    void setIcon(Window w, const std::vector<unsigned long>& data) {
        XChangeProperty(d_, w, atom("_NET_WM_ICON"), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<int>(data.size()));
        XSync(d_, False);
    }

    Display* display() const { return d_; }
    Atom atom(const char* name) const { return XInternAtom(d_, name, False); }

  private:
    void fillPixmap(Window w, const PixelRect& r, uint32_t rgb) {
        GC gc = XCreateGC(d_, pixmaps_.at(w), 0, nullptr);
        XSetForeground(d_, gc, rgb);
        XFillRectangle(d_, pixmaps_.at(w), gc, r.x, r.y, static_cast<unsigned>(r.width),
                       static_cast<unsigned>(r.height));
        XFreeGC(d_, gc);
    }

    Display* d_;
    std::map<Window, Pixmap> pixmaps_;
};

// RGB of a BGRA pixel.
inline uint32_t rgbAt(const media::PixelBuffer& image, int x, int y) {
    const uint8_t* p = image.data() + static_cast<size_t>(y) * image.stride() + x * 4;
    return (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[0];
}

}  // namespace zimlo::test
