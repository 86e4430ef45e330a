#pragma once

#include <memory>
#include <mutex>

#include "capture/PortalSourceMemory.h"
#include "capture/ScreenCaptureTarget.h"
#include "platform/portal/ScreenCastPortal.h"

namespace zimlo::capture {

// Opens a portal ScreenCast session for a kind of source. The last choice is restored with the
// kept token (no chooser); a token the portal no longer honours is dropped and the user is asked
// again; the new token is kept. Sessions are opened one at a time in the process, since a token
// can be used only once. Blocks while the chooser is shown; fails as ScreenCastSession::open.
// `embedCursor`: the pointer is drawn into the frames, where the portal can.
using PortalSessionResult =
    Result<std::shared_ptr<portal::ScreenCastSession>, screen::CaptureError>;
PortalSessionResult openPortalSession(PortalSource::Type type,
                                      const std::shared_ptr<portal::OpenCancellation>& cancellation,
                                      PortalSourceMemory memory = PortalSourceMemory(),
                                      bool embedCursor = true);

// The session of one capture source, kept open across stream restarts (new recording settings)
// so the user chooses once per recording window; it closes when the keeper and the last stream
// using it are gone, or when the desktop ends it (the next start then opens a new one). The
// pointer is chosen when a session opens: asking for the other choice opens a new session (the
// kept token spares the user the chooser).
class PortalSessionKeeper {
  public:
    explicit PortalSessionKeeper(PortalSource::Type type) : type_(type) {}
    PortalSessionResult obtain(const std::shared_ptr<portal::OpenCancellation>& cancellation,
                               bool embedCursor = true);

  private:
    PortalSource::Type type_;
    std::mutex mutex_;  // guards: session_, embedsCursor_
    std::shared_ptr<portal::ScreenCastSession> session_;
    bool embedsCursor_ = true;  // what session_ was opened with
};

}  // namespace zimlo::capture
