#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zimlo::screen {

// How the screen is captured in this session.
enum class CaptureBackend {
    x11,     // our own X connection (an X11 session, or XWayland when forced)
    portal,  // the desktop portal's ScreenCast session with frames from PipeWire (Wayland)
};

// What the choice looks at. `portalOffersScreenCast` is asked only when the answer matters.
struct CaptureEnvironment {
    std::optional<std::string> forced;             // ZIMLO_CAPTURE
    std::optional<std::string> waylandDisplay;     // WAYLAND_DISPLAY
    std::optional<std::string> sessionType;        // XDG_SESSION_TYPE
    std::optional<std::string> x11Display;         // DISPLAY
    std::function<bool()> portalOffersScreenCast;  // the portal answers with a ScreenCast version

    static CaptureEnvironment fromProcess(std::function<bool()> portalOffersScreenCast);
};

// Either the back end or why none can capture.
struct BackendChoice {
    enum class Problem {
        forcedX11WithoutDisplay,        // ZIMLO_CAPTURE=x11 without DISPLAY
        forcedPortalUnavailable,        // ZIMLO_CAPTURE=portal without a ScreenCast portal
        unknownForcedBackEnd,           // ZIMLO_CAPTURE is neither (`forced` holds it)
        waylandWithoutPortalOrDisplay,  // a Wayland session with neither
        noDesktop,                      // neither Wayland nor X11
    };
    std::optional<CaptureBackend> backend;
    std::optional<Problem> problem;  // set when there is no back end
    std::string forced;              // ZIMLO_CAPTURE, as given
};

// A Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE "wayland") whose portal offers
// ScreenCast records through the portal; anything else through X11 when there is an X display.
// ZIMLO_CAPTURE=x11 or =portal forces one (a forced portal that is missing is an error, not a
// silent fallback); any other value is an error.
BackendChoice chooseCaptureBackend(const CaptureEnvironment& environment);

const char* backendName(CaptureBackend backend);

}  // namespace zimlo::screen
