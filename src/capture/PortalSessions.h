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
using PortalSessionResult =
    Result<std::shared_ptr<portal::ScreenCastSession>, screen::CaptureError>;
PortalSessionResult openPortalSession(PortalSource::Type type,
                                      const std::shared_ptr<portal::OpenCancellation>& cancellation,
                                      PortalSourceMemory memory = PortalSourceMemory());

// The session of one capture source, kept open across stream restarts (new recording settings)
// so the user chooses once per recording window; it closes when the keeper and the last stream
// using it are gone, or when the desktop ends it (the next start then opens a new one).
class PortalSessionKeeper {
  public:
    explicit PortalSessionKeeper(PortalSource::Type type) : type_(type) {}
    PortalSessionResult obtain(const std::shared_ptr<portal::OpenCancellation>& cancellation);

  private:
    PortalSource::Type type_;
    std::mutex mutex_;
    std::shared_ptr<portal::ScreenCastSession> session_;
};

}  // namespace zimlo::capture
