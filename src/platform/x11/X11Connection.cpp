#include "platform/x11/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xge.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>

#include "platform/log/Log.h"
#include "platform/screen/CaptureError.h"

namespace zimlo::x11 {
namespace {

thread_local ErrorTrap* currentTrap = nullptr;
std::mutex ownedMutex;  // guards: ownedDisplays()
std::set<Display*>& ownedDisplays() {
    static std::set<Display*> displays;
    return displays;
}
XErrorHandler previousErrorHandler = nullptr;

int onError(Display* display, XErrorEvent* event) {
    for (ErrorTrap* trap = currentTrap; trap; trap = nullptr) {
        if (trap->display() == display) {
            trap->record(event->error_code);
            return 0;
        }
    }
    {
        std::lock_guard lock(ownedMutex);
        // Our connections never end the process over a protocol error (a window may vanish
        // between two requests at any time).
        if (ownedDisplays().count(display)) return 0;
    }
    return previousErrorHandler ? previousErrorHandler(display, event) : 0;
}

}  // namespace

void installErrorHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        previousErrorHandler = XSetErrorHandler(onError);
    });
}

namespace {

// libXext keeps one record of its generic-event extension for every connection of the process.
// It makes the record on first use and frees it when the last connection that used it closes,
// without a lock, so another thread opening a connection at that moment writes into freed
// memory. One connection that has used it and is never closed keeps the record for good. It is
// made under a lock before any connection of ours is returned, so no two threads make the record
// at once either.
void keepExtensionRecords(const char* displayName) {
    static std::mutex mutex;  // guards: keeper
    static Display* keeper = nullptr;
    std::lock_guard lock(mutex);
    if (keeper) return;
    keeper = XOpenDisplay(displayName);
    if (!keeper) return;
    int eventBase = 0, errorBase = 0;
    XGEQueryExtension(keeper, &eventBase, &errorBase);
}

Result<Display*, screen::CaptureError> openDisplay(const char* displayName) {
    installErrorHandlers();
    keepExtensionRecords(displayName);
    if (Display* display = XOpenDisplay(displayName)) return display;
    const char* name = displayName ? displayName : std::getenv("DISPLAY");
    screen::CaptureError error(screen::CaptureError::Kind::displayUnreachable, name ? name : "");
    ZIMLO_LOG_WARN("x11") << "opening a connection: " << error.what();
    return fail(std::move(error));
}

Display* openedOrThrown(const char* displayName) {
    auto display = openDisplay(displayName);
    if (!display) throw std::move(display).error();
    return *display;
}

}  // namespace

Result<std::unique_ptr<Connection>, screen::CaptureError> Connection::open(
    const char* displayName) {
    auto display = openDisplay(displayName);
    if (!display) return fail(std::move(display).error());
    return std::unique_ptr<Connection>(new Connection(*display));
}

Connection::Connection(const char* displayName) : Connection(openedOrThrown(displayName)) {}

Connection::Connection(Display* opened) : display_(opened) {
    std::lock_guard lock(ownedMutex);
    ownedDisplays().insert(display_);
}

Connection::~Connection() {
    if (!display_) return;
    {
        std::lock_guard lock(ownedMutex);
        ownedDisplays().erase(display_);
    }
    XCloseDisplay(display_);
}

ErrorTrap::ErrorTrap(Display* display) : display_(display), previous_(currentTrap) {
    currentTrap = this;
}

ErrorTrap::~ErrorTrap() {
    XSync(display_, False);
    currentTrap = previous_;
}

bool ErrorTrap::sync() {
    XSync(display_, False);
    return failed();
}

std::optional<std::vector<unsigned long>> cardinalProperty(Display* d, Window w, Atom property,
                                                           Atom type, long maxItems) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    ErrorTrap trap(d);
    int status = XGetWindowProperty(d, w, property, 0, maxItems, False, type, &actualType, &format,
                                    &count, &after, &data);
    if (status != Success || trap.sync() || actualType != type || format != 32) {
        if (data) XFree(data);
        return std::nullopt;
    }
    // Xlib hands format-32 items as longs.
    auto* items = reinterpret_cast<unsigned long*>(data);
    std::vector<unsigned long> values(items, items + count);
    XFree(data);
    return values;
}

std::optional<std::string> textProperty(Display* d, Window w, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    ErrorTrap trap(d);
    int status = XGetWindowProperty(d, w, property, 0, 4096, False, type, &actualType, &format,
                                    &count, &after, &data);
    if (status != Success || trap.sync() || actualType != type || format != 8) {
        if (data) XFree(data);
        return std::nullopt;
    }
    std::string text(reinterpret_cast<char*>(data), count);
    XFree(data);
    return text;
}

std::optional<Window> windowProperty(Display* d, Window w, Atom property) {
    auto values = cardinalProperty(d, w, property, XA_WINDOW, 1);
    if (!values || values->empty()) return std::nullopt;
    return static_cast<Window>((*values)[0]);
}

std::vector<std::string> stringListProperty(Display* d, Window w, Atom property) {
    auto text = textProperty(d, w, property, XA_STRING);
    std::vector<std::string> parts;
    if (!text) return parts;
    std::string current;
    for (char c : *text) {
        if (c == '\0') {
            parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

std::vector<Window> rootChildren(Display* d, Window root) {
    Window rootReturn = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> result;
    ErrorTrap trap(d);
    if (XQueryTree(d, root, &rootReturn, &parent, &children, &count) && children) {
        result.assign(children, children + count);
    }
    if (children) XFree(children);
    return result;
}

Window topLevelOf(Display* d, Window root, Window w) {
    ErrorTrap trap(d);
    for (int depth = 0; depth < 64 && w != 0; ++depth) {
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(d, w, &rootReturn, &parent, &children, &count)) return 0;
        if (children) XFree(children);
        if (parent == root) return w;
        w = parent;
    }
    return 0;
}

}  // namespace zimlo::x11
