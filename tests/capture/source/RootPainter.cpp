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

unsigned long AnimatedScreen::grey(int i) {
    const auto level = static_cast<unsigned long>(30 + i % 60);
    return (level << 16) | (level << 8) | level;
}

unsigned long AnimatedScreen::noise(int i) {
    return static_cast<unsigned long>(i) * 7919 % 0xffffff;
}

AnimatedScreen::AnimatedScreen(const std::string& display, Area area, Colours colours,
                               std::chrono::milliseconds every)
    : thread_([this, display, area, colours = std::move(colours), every] {
          RootPainter painter(display);
          for (int i = 0; running_; ++i) {
              painter.fill(area.x, area.y, area.width, area.height, colours(i));
              std::this_thread::sleep_for(every);
          }
      }) {}

AnimatedScreen::~AnimatedScreen() { stop(); }

void AnimatedScreen::stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

}  // namespace zimlo::capture::test
