#include "OtherClient.h"

#include <X11/Xlib.h>

#include <stdexcept>

namespace zimlo::recording::test {

struct OtherClient::Impl {
    Display* display = nullptr;
    Window window = 0;
};

OtherClient::OtherClient() : impl_(std::make_unique<Impl>()) {
    impl_->display = XOpenDisplay(nullptr);
    if (!impl_->display) throw std::runtime_error("no X display");
}

OtherClient::~OtherClient() { XCloseDisplay(impl_->display); }

bool OtherClient::focusOwnWindow() {
    Display* d = impl_->display;
    if (!impl_->window) {
        impl_->window =
            XCreateSimpleWindow(d, DefaultRootWindow(d), 40, 40, 200, 120, 0, 0, 0x3060a0);
        XMapRaised(d, impl_->window);
        XSync(d, False);
    }
    XSetInputFocus(d, impl_->window, RevertToParent, CurrentTime);
    XSync(d, False);
    return ownWindowHasFocus();
}

bool OtherClient::ownWindowHasFocus() const {
    Window focused = 0;
    int revert = 0;
    XGetInputFocus(impl_->display, &focused, &revert);
    return impl_->window && focused == impl_->window;
}

void OtherClient::grabControlAlt(char letter) {
    Display* d = impl_->display;
    const KeyCode key = XKeysymToKeycode(d, static_cast<KeySym>(letter));
    XGrabKey(d, key, ControlMask | Mod1Mask, DefaultRootWindow(d), False, GrabModeAsync,
             GrabModeAsync);
    XSync(d, False);
}

}  // namespace zimlo::recording::test
