#include "RootPainter.h"

#include <X11/Xlib.h>

#include <stdexcept>

namespace zimlo::capture::test {

struct RootPainter::Impl {
    Display* display = nullptr;
    GC gc{};
};

RootPainter::RootPainter(const std::string& display) : impl_(std::make_unique<Impl>()) {
    impl_->display = XOpenDisplay(display.c_str());
    if (!impl_->display) throw std::runtime_error("cannot open " + display);
    impl_->gc = XCreateGC(impl_->display, DefaultRootWindow(impl_->display), 0, nullptr);
}

RootPainter::~RootPainter() {
    XFreeGC(impl_->display, impl_->gc);
    XCloseDisplay(impl_->display);
}

void RootPainter::fill(int x, int y, int width, int height, unsigned long rgb) {
    XSetForeground(impl_->display, impl_->gc, rgb);
    XFillRectangle(impl_->display, DefaultRootWindow(impl_->display), impl_->gc, x, y,
                   static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(impl_->display, False);
}

}  // namespace zimlo::capture::test
