#pragma once

// Internal helpers around an Xlib connection: opening it (or saying why not), trapping
// protocol errors per call site, and reading properties.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/Result.h"
#include "platform/screen/CaptureError.h"

namespace zimlo::x11 {

// An open connection that is closed when dropped. Protocol errors on it never end the process;
// a lost server does, as for every Xlib client (the user interface's own connection is gone too).
class Connection {
  public:
    // A connection to the display (DISPLAY when null), or why not (displayUnreachable, logged).
    static Result<std::unique_ptr<Connection>, screen::CaptureError> open(const char* displayName);
    // For owners that cannot be made without one: throws screen::CaptureError as open() fails.
    explicit Connection(const char* displayName);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Display* get() const { return display_; }
    operator Display*() const { return display_; }
    Atom atom(const char* name) const { return XInternAtom(display_, name, False); }

  private:
    explicit Connection(Display* opened);
    Display* display_ = nullptr;
};

// Catches the protocol errors of requests made on `display` by this thread while it lives,
// instead of Xlib's default of ending the process.
class ErrorTrap {
  public:
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    // Waits for the server to process every request so far; true when any of them failed.
    bool sync();
    bool failed() const { return errorCode_ != 0; }
    int errorCode() const { return errorCode_; }
    void reset() { errorCode_ = 0; }

    Display* display() const { return display_; }
    void record(int code) {
        if (errorCode_ == 0) errorCode_ = code;
    }

  private:
    Display* display_;
    ErrorTrap* previous_;
    int errorCode_ = 0;
};

// Installs the process-wide handlers once (idempotent).
void installErrorHandlers();

std::optional<std::vector<unsigned long>> cardinalProperty(Display* d, Window w, Atom property,
                                                           Atom type, long maxItems = 1 << 20);
std::optional<std::string> textProperty(Display* d, Window w, Atom property, Atom type);
std::optional<Window> windowProperty(Display* d, Window w, Atom property);
std::vector<std::string> stringListProperty(Display* d, Window w, Atom property);

// Top-level children of the root, bottom to top.
std::vector<Window> rootChildren(Display* d, Window root);
// The top-level (child of the root) that holds `w`, or 0.
Window topLevelOf(Display* d, Window root, Window w);

}  // namespace zimlo::x11
