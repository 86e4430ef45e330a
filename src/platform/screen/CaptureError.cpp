#include "platform/screen/CaptureError.h"

namespace zimlo::screen {
namespace {

std::string logText(CaptureError::Kind kind, const std::string& detail) {
    using Kind = CaptureError::Kind;
    std::string text = [kind]() -> std::string {
        switch (kind) {
            case Kind::displayUnreachable:
                return "cannot connect to the X display";
            case Kind::unsupportedPixelFormat:
                return "the screen is not 24-bit true colour";
            case Kind::displayNotFound:
                return "the display to record is not on the screen";
            case Kind::windowCaptureUnsupported:
                return "the X server cannot record windows (no Composite extension)";
            case Kind::windowMissing:
                return "the window to record does not exist";
            case Kind::xProtocolError:
                return "X protocol error while setting up the capture, code";
            case Kind::windowClosed:
                return "the recorded window was closed";
            case Kind::windowNotVisible:
                return "the window is not visible";
            case Kind::portalUnavailable:
                return "the desktop portal offers no ScreenCast";
            case Kind::portalCannotRecordWindows:
                return "the desktop portal cannot record single windows";
            case Kind::portalCannotRecordScreens:
                return "the desktop portal cannot record whole screens";
            case Kind::portalRefused:
                return "screen recording refused or the chooser cancelled";
            case Kind::portalFailed:
                return "the desktop portal could not start the screen cast";
            case Kind::portalGaveNoPipeWire:
                return "the desktop portal opened no PipeWire remote";
            case Kind::portalGaveNoStream:
                return "the desktop portal's session has no stream";
            case Kind::portalGaveNoSession:
                return "no portal session to record";
            case Kind::pipeWireUnavailable:
                return "cannot start PipeWire";
            case Kind::pipeWireUnreachable:
                return "cannot connect to the desktop's PipeWire";
            case Kind::pipeWireStreamNotCreated:
                return "cannot create the PipeWire stream";
            case Kind::pipeWireStreamNotConnected:
                return "cannot connect the PipeWire stream to the screen cast";
            case Kind::shareFailed:
                return "the screen cast failed";
            case Kind::shareEnded:
                return "the screen cast ended";
            case Kind::shareEndedByDesktop:
                return "the desktop ended the screen cast";
            case Kind::noPictures:
                return "the screen cast sent no picture";
            case Kind::stopped:
                return "stopped while starting";
            case Kind::other:
                return "screen capture failed";
        }
        return "screen capture failed";
    }();
    if (!detail.empty()) text += (kind == Kind::xProtocolError ? " " : ": ") + detail;
    return text;
}

}  // namespace

CaptureError::CaptureError(Kind kind, std::string detail)
    : std::runtime_error(logText(kind, detail)), kind_(kind), detail_(std::move(detail)) {}

}  // namespace zimlo::screen
