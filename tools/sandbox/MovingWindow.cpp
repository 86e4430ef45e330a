#include "sandbox/MovingWindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "platform/runtime/Threads.h"

namespace zimlo::sandbox {

struct MovingWindow::Impl {
    Display* display = nullptr;
    Window window = 0;
    GC gc{};
};

MovingWindow::MovingWindow(const std::string& display, int left, int right, int top)
    : impl_(std::make_unique<Impl>()), left_(left), right_(right), top_(top) {
    impl_->display = XOpenDisplay(display.c_str());
    if (!impl_->display) throw std::runtime_error("cannot open display " + display);
    Display* d = impl_->display;
    XSetWindowAttributes attributes{};
    attributes.background_pixel = kRGB;
    attributes.override_redirect = True;  // placed where we say, whatever manages windows
    impl_->window =
        XCreateWindow(d, DefaultRootWindow(d), left, top, kWidth, kHeight, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
    XStoreName(d, impl_->window, "Moving test window");
    long owner = static_cast<long>(::getppid());
    XChangeProperty(d, impl_->window, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&owner), 1);
    impl_->gc = XCreateGC(d, impl_->window, 0, nullptr);
    XSetForeground(d, impl_->gc, kRGB);
    XMapRaised(d, impl_->window);
    XSync(d, False);
    thread_ = startThread("sandbox-window", [this] { run(); });
}

MovingWindow::~MovingWindow() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    XFreeGC(impl_->display, impl_->gc);
    XDestroyWindow(impl_->display, impl_->window);
    XCloseDisplay(impl_->display);
}

void MovingWindow::run() {
    Display* d = impl_->display;
    const int span = std::max(1, right_ - left_);
    auto next = std::chrono::steady_clock::now();
    for (int step = 0; !stop_; ++step) {
        // Eight pixels every 40 ms, turning at both ends.
        const int travel = (step * 8) % (2 * span);
        const int x = left_ + (travel < span ? travel : 2 * span - travel);
        XMoveWindow(d, impl_->window, x, top_);
        // Painted every step: redirected windows keep no background of their own.
        XFillRectangle(d, impl_->window, impl_->gc, 0, 0, kWidth, kHeight);
        XSync(d, False);
        next += std::chrono::milliseconds(40);
        std::this_thread::sleep_until(next);
    }
}

}  // namespace zimlo::sandbox
