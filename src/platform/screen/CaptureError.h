#pragma once

#include <ostream>
#include <stdexcept>
#include <string>

namespace zimlo::screen {

// Why a screen capture could not start or ended, from either back end: what happened, and
// what the system said where it said something (a display name, an X error code, the portal's
// or PipeWire's message). The layers that show it put it in words; what() is for the log.
// Kinds without a "detail:" note may carry one for the log only.
class CaptureError : public std::runtime_error {
  public:
    enum class Kind {
        // X11
        displayUnreachable,        // detail: the display's name, when known
        unsupportedPixelFormat,    // the screen is not 24-bit true colour
        displayNotFound,           // the display to record is not on the screen any more
        windowCaptureUnsupported,  // no Composite extension
        windowMissing,             // the window to record does not exist
        xProtocolError,            // detail: the X error code
        windowClosed,              // the window being recorded was closed
        windowNotVisible,
        // The desktop portal's ScreenCast session
        portalUnavailable,
        portalCannotRecordWindows,
        portalCannotRecordScreens,
        portalRefused,  // the user refused or cancelled the chooser
        portalFailed,   // detail: the portal's reason, if any
        portalGaveNoPipeWire,
        portalGaveNoStream,
        portalGaveNoSession,
        // The PipeWire stream of a session
        pipeWireUnavailable,
        pipeWireUnreachable,
        pipeWireStreamNotCreated,
        pipeWireStreamNotConnected,
        shareFailed,          // detail: PipeWire's message, if any
        shareEnded,           // detail: PipeWire's message, if any
        shareEndedByDesktop,  // the desktop's "stop sharing"
        noPictures,           // the stream never sent a frame
        stopped,              // stopped while starting
        // Anything else; detail: its own description
        other,
    };

    explicit CaptureError(Kind kind, std::string detail = {});

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }

    friend bool operator==(const CaptureError& a, const CaptureError& b) {
        return a.kind_ == b.kind_ && a.detail_ == b.detail_;
    }

  private:
    Kind kind_;
    std::string detail_;
};

inline std::ostream& operator<<(std::ostream& out, const CaptureError& error) {
    return out << error.what();
}

}  // namespace zimlo::screen
