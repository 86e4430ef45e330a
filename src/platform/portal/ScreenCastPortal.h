#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/Result.h"
#include "platform/screen/CaptureError.h"
#include "platform/screen/CaptureStream.h"

namespace zimlo::portal {

// What a screen cast can show, as the portal numbers it.
enum class SourceType : uint32_t { monitor = 1, window = 2 };

// What the session bus's portal says about its ScreenCast interface.
struct ScreenCastInfo {
    uint32_t version = 0;
    uint32_t sourceTypes = 0;  // bit mask of SourceType
    uint32_t cursorModes = 0;  // 1 hidden, 2 embedded, 4 metadata

    bool offers(SourceType type) const { return (sourceTypes & static_cast<uint32_t>(type)) != 0; }
    bool embedsCursor() const { return (cursorModes & 2u) != 0; }
};

// Asks the portal on the session bus (starting it when the bus can); nothing when there is no
// bus, no portal, or a portal without ScreenCast. Waits at most `timeoutSeconds`.
std::optional<ScreenCastInfo> probeScreenCast(double timeoutSeconds = 5.0);

struct SessionRequest {
    SourceType type = SourceType::monitor;
    std::string restoreToken;  // empty: the user chooses
    bool persist = true;       // ask for a token that restores this choice until revoked
    bool embedCursor = true;   // where the portal offers it
};

// The stream a started session delivers.
struct StreamInfo {
    uint32_t nodeId = 0;
    std::optional<PixelSize> size;       // as the portal announced it
    std::optional<uint32_t> sourceType;  // not reliable on every back end
};

// Cancels a session that is being opened (the chooser closes, open() fails with portalRefused).
class OpenCancellation {
  public:
    OpenCancellation();
    ~OpenCancellation();
    OpenCancellation(const OpenCancellation&) = delete;
    OpenCancellation& operator=(const OpenCancellation&) = delete;
    void cancel();
    bool isCancelled() const;
    void* gCancellable() const { return cancellable_; }

  private:
    void* cancellable_;
};

// One ScreenCast session: CreateSession, SelectSources, Start and OpenPipeWireRemote done. The
// portal ends a session with the D-Bus connection that created it; that connection (GLib's
// session bus) stays open for the process, and the session is closed when this object goes.
class ScreenCastSession {
  public:
    // Blocks while the portal and the user decide (the system chooser may be shown); never
    // call it on the main thread of a user interface. Fails (logged) when the portal is missing
    // or cannot record this kind of source (portalUnavailable, portalCannotRecordWindows,
    // portalCannotRecordScreens), the user refused or the cancellation came (portalRefused), or
    // the portal failed (the other portal kinds).
    static Result<std::shared_ptr<ScreenCastSession>, screen::CaptureError> open(
        const SessionRequest& request,
        const std::shared_ptr<OpenCancellation>& cancellation = nullptr);
    ~ScreenCastSession();
    ScreenCastSession(const ScreenCastSession&) = delete;
    ScreenCastSession& operator=(const ScreenCastSession&) = delete;

    const StreamInfo& stream() const { return stream_; }
    // Whether the session was opened with the pointer drawn into its frames.
    bool embedsCursor() const { return embedsCursor_; }
    // The token Start returned (tokens are single-use: store it to restore this choice).
    const std::optional<std::string>& restoreToken() const { return restoreToken_; }
    // A new descriptor of the PipeWire remote the portal opened for this session; the caller
    // owns it. -1 when the session is closed.
    int duplicatePipeWireFd() const;
    // True once the desktop ended the session (for example its "stop sharing" indicator).
    bool isClosed() const;
    // Called once, on the portal thread, when the desktop ends the session. Returns an id to
    // remove the handler again.
    int addClosedHandler(std::function<void()> handler);
    void removeClosedHandler(int id);

    struct State;

  private:
    ScreenCastSession() = default;
    std::shared_ptr<State> state_;
    StreamInfo stream_;
    std::optional<std::string> restoreToken_;
    int pipeWireFd_ = -1;
    bool embedsCursor_ = false;
};

}  // namespace zimlo::portal
