#include "capture/PortalSessions.h"

#include "platform/log/Log.h"

namespace zimlo::capture {
namespace {

std::mutex& openingMutex() {
    // serialises: opening portal sessions and keeping their tokens (a token can be used once)
    static std::mutex mutex;
    return mutex;
}

portal::SourceType portalType(PortalSource::Type type) {
    return type == PortalSource::Type::window ? portal::SourceType::window
                                              : portal::SourceType::monitor;
}

}  // namespace

PortalSessionResult openPortalSession(PortalSource::Type type,
                                      const std::shared_ptr<portal::OpenCancellation>& cancellation,
                                      PortalSourceMemory memory, bool embedCursor) {
    std::lock_guard lock(openingMutex());
    portal::SessionRequest request;
    request.type = portalType(type);
    request.embedCursor = embedCursor;
    request.restoreToken = memory.restoreToken(type).value_or("");
    auto session = portal::ScreenCastSession::open(request, cancellation);
    if (!session) {
        using Kind = screen::CaptureError::Kind;
        const screen::CaptureError& error = session.error();
        const bool cancelled = cancellation && cancellation->isCancelled();
        const bool unavailable = error.kind() == Kind::portalUnavailable ||
                                 error.kind() == Kind::portalCannotRecordWindows ||
                                 error.kind() == Kind::portalCannotRecordScreens;
        if (request.restoreToken.empty() || cancelled || unavailable) return session;
        // The portal may refuse an old token instead of asking: drop it and ask.
        ZIMLO_LOG_INFO("capture") << "the portal refused the kept choice, asking again: "
                                  << error.what();
        memory.forgetToken(type);
        if (error.kind() == Kind::portalRefused) return session;
        request.restoreToken.clear();
        session = portal::ScreenCastSession::open(request, cancellation);
        if (!session) return session;
    }
    std::optional<PixelSize> size;
    if (auto announced = (*session)->stream().size)
        size = PixelSize{static_cast<int>(announced->width), static_cast<int>(announced->height)};
    memory.remember(type, (*session)->restoreToken(), size);
    return session;
}

PortalSessionResult PortalSessionKeeper::obtain(
    const std::shared_ptr<portal::OpenCancellation>& cancellation, bool embedCursor) {
    std::lock_guard lock(mutex_);
    if (session_ && !session_->isClosed() && embedsCursor_ == embedCursor) return session_;
    // A stream still using the old session keeps it until it stops.
    session_.reset();
    auto session = openPortalSession(type_, cancellation, PortalSourceMemory(), embedCursor);
    if (session) {
        session_ = *session;
        embedsCursor_ = embedCursor;
    }
    return session;
}

}  // namespace zimlo::capture
