#include "platform/portal/ScreenCastPortal.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <libportal/portal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/log/Log.h"
#include "platform/portal/GLibLoop.h"

namespace zimlo::portal {
namespace {

using Kind = screen::CaptureError::Kind;

screen::CaptureError logged(screen::CaptureError error) {
    ZIMLO_LOG_WARN("portal") << "opening a screen cast session: " << error.what();
    return error;
}

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";

// GLib's shared session connection, which libportal uses too. A desktop's bus outlives its
// programs; where it does not (tests, a restarted session) losing it must not end the process.
GDBusConnection* sessionBus(GError** error) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
    if (bus) g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
}

std::string messageOf(const GError* error) {
    return error && error->message ? std::string(error->message) : std::string();
}

// Created on the portal thread on first use, kept for the process.
XdpPortal* sharedPortal() {
    static XdpPortal* portal = [] {
        GError* error = nullptr;
        if (GDBusConnection* bus = sessionBus(&error)) g_object_unref(bus);
        g_clear_error(&error);
        return xdp_portal_new();
    }();
    return portal;
}

uint32_t propertyU32(GVariant* dictionary, const char* key) {
    uint32_t value = 0;
    g_variant_lookup(dictionary, key, "u", &value);
    return value;
}

}  // namespace

std::optional<ScreenCastInfo> probeScreenCast(double timeoutSeconds) {
    GError* error = nullptr;
    GDBusConnection* bus = sessionBus(&error);
    if (!bus) {
        ZIMLO_LOG_INFO("portal") << "asking for ScreenCast: no session bus: " << messageOf(error);
        g_clear_error(&error);
        return std::nullopt;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "GetAll",
        g_variant_new("(s)", kScreenCast), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE,
        static_cast<int>(timeoutSeconds * 1000), nullptr, &error);
    g_object_unref(bus);
    if (!reply) {
        ZIMLO_LOG_INFO("portal") << "asking for ScreenCast: " << messageOf(error);
        g_clear_error(&error);
        return std::nullopt;
    }
    GVariant* properties = g_variant_get_child_value(reply, 0);
    ScreenCastInfo info;
    info.version = propertyU32(properties, "version");
    info.sourceTypes = propertyU32(properties, "AvailableSourceTypes");
    info.cursorModes = propertyU32(properties, "AvailableCursorModes");
    g_variant_unref(properties);
    g_variant_unref(reply);
    if (info.version == 0) {  // the interface is not served
        ZIMLO_LOG_INFO("portal") << "the desktop portal does not serve ScreenCast";
        return std::nullopt;
    }
    return info;
}

// ---- Cancellation

OpenCancellation::OpenCancellation() : cancellable_(g_cancellable_new()) {}
OpenCancellation::~OpenCancellation() { g_object_unref(static_cast<GCancellable*>(cancellable_)); }
void OpenCancellation::cancel() { g_cancellable_cancel(static_cast<GCancellable*>(cancellable_)); }
bool OpenCancellation::isCancelled() const {
    return g_cancellable_is_cancelled(static_cast<GCancellable*>(cancellable_));
}

// ---- Session

// Touched on the portal thread only, apart from the flag and the handlers' lock.
struct ScreenCastSession::State {
    XdpSession* session = nullptr;
    gulong closedSignal = 0;
    std::mutex mutex;  // guards: closed, nextHandler, closedHandlers
    bool closed = false;
    int nextHandler = 1;
    std::map<int, std::function<void()>> closedHandlers;

    void desktopClosed() {
        std::map<int, std::function<void()>> handlers;
        {
            std::lock_guard lock(mutex);
            if (closed) return;
            closed = true;
            handlers.swap(closedHandlers);
        }
        for (auto& [id, handler] : handlers) handler();
    }
};

namespace {

// One open() in flight: filled in on the portal thread, waited for by the caller. The GLib
// callbacks own a reference, so a caller that gave up (cancelled) may leave before they end.
struct OpenCall {
    SessionRequest request;
    std::shared_ptr<OpenCancellation> cancellation;
    // guards: finished, abandoned, error. The results (session, stream, restoreToken, fd) are
    // filled in on the portal thread before `finished` is set; the caller reads them only after
    // it has seen `finished`.
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    XdpSession* session = nullptr;
    std::optional<screen::CaptureError> error;
    StreamInfo stream;
    std::optional<std::string> restoreToken;
    int fd = -1;

    void finish(std::optional<screen::CaptureError> failure) {
        std::lock_guard lock(mutex);
        error = std::move(failure);
        finished = true;
        if (abandoned) discard();
        done.notify_all();
    }
    // Nobody will take the result: close what was opened.
    void discard() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        if (session) {
            xdp_session_close(session);
            g_object_unref(session);
            session = nullptr;
        }
    }
    // A cancelled request ends as refused whatever else went wrong.
    void fail(screen::CaptureError error) {
        if (cancellation->isCancelled() && error.kind() != Kind::portalRefused)
            error = screen::CaptureError(Kind::portalRefused, error.what());
        {
            std::lock_guard lock(mutex);
            discard();
        }
        finish(logged(std::move(error)));
    }
    void fail(GError* gerror) {
        const bool cancelled = g_error_matches(gerror, G_IO_ERROR, G_IO_ERROR_CANCELLED);
        std::string detail = messageOf(gerror);
        g_clear_error(&gerror);
        fail(screen::CaptureError(cancelled ? Kind::portalRefused : Kind::portalFailed, detail));
    }
};

using CallRef = std::shared_ptr<OpenCall>;

void readStreams(OpenCall& call) {
    GVariant* streams = xdp_session_get_streams(call.session);
    if (!streams) return;
    GVariantIter iter;
    g_variant_iter_init(&iter, streams);
    guint32 node = 0;
    GVariant* properties = nullptr;
    if (g_variant_iter_next(&iter, "(u@a{sv})", &node, &properties)) {
        call.stream.nodeId = node;
        gint32 w = 0, h = 0;
        if (g_variant_lookup(properties, "size", "(ii)", &w, &h) && w > 0 && h > 0)
            call.stream.size = PixelSize{w, h};
        guint32 type = 0;
        if (g_variant_lookup(properties, "source_type", "u", &type)) call.stream.sourceType = type;
        g_variant_unref(properties);
    }
}

void sessionStarted(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<CallRef> ref(static_cast<CallRef*>(data));
    OpenCall& call = **ref;
    GError* error = nullptr;
    if (!xdp_session_start_finish(XDP_SESSION(source), result, &error)) {
        call.fail(error);
        return;
    }
    readStreams(call);
    if (char* token = xdp_session_get_restore_token(call.session)) {
        if (*token) call.restoreToken = std::string(token);
        g_free(token);
    }
    call.fd = xdp_session_open_pipewire_remote(call.session);
    if (call.fd < 0 || call.stream.nodeId == 0) {
        call.fail(screen::CaptureError(call.fd < 0 ? Kind::portalGaveNoPipeWire
                                                   : Kind::portalGaveNoStream));
        return;
    }
    call.finish(std::nullopt);
}

void sessionCreated(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<CallRef> ref(static_cast<CallRef*>(data));
    OpenCall& call = **ref;
    GError* error = nullptr;
    XdpSession* session =
        xdp_portal_create_screencast_session_finish(XDP_PORTAL(source), result, &error);
    if (!session) {
        call.fail(error);
        return;
    }
    {
        std::lock_guard lock(call.mutex);
        call.session = session;
    }
    xdp_session_start(session, nullptr,
                      static_cast<GCancellable*>(call.cancellation->gCancellable()), sessionStarted,
                      ref.release());
}

void onSessionClosed(XdpSession*, gpointer data) {
    static_cast<ScreenCastSession::State*>(data)->desktopClosed();
}

}  // namespace

Result<std::shared_ptr<ScreenCastSession>, screen::CaptureError> ScreenCastSession::open(
    const SessionRequest& request, const std::shared_ptr<OpenCancellation>& cancellation) {
    auto info = probeScreenCast();
    if (!info) return fail(logged(screen::CaptureError(Kind::portalUnavailable)));
    if (!info->offers(request.type))
        return fail(logged(screen::CaptureError(request.type == SourceType::window
                                                    ? Kind::portalCannotRecordWindows
                                                    : Kind::portalCannotRecordScreens)));

    auto call = std::make_shared<OpenCall>();
    call->request = request;
    call->cancellation = cancellation ? cancellation : std::make_shared<OpenCancellation>();
    const auto outputs =
        request.type == SourceType::window ? XDP_OUTPUT_WINDOW : XDP_OUTPUT_MONITOR;
    const auto cursor = request.embedCursor && info->embedsCursor() ? XDP_CURSOR_MODE_EMBEDDED
                                                                    : XDP_CURSOR_MODE_HIDDEN;
    // Tokens need version 4; older portals neither take nor give one.
    const auto persist =
        request.persist && info->version >= 4 ? XDP_PERSIST_MODE_PERSISTENT : XDP_PERSIST_MODE_NONE;
    const std::string token = info->version >= 4 ? request.restoreToken : std::string();
    detail::invoke([call, outputs, cursor, persist, token] {
        xdp_portal_create_screencast_session(
            sharedPortal(), outputs, XDP_SCREENCAST_FLAG_NONE, cursor, persist,
            token.empty() ? nullptr : token.c_str(),
            static_cast<GCancellable*>(call->cancellation->gCancellable()), sessionCreated,
            new CallRef(call));
    });
    {
        // A cancelled request normally ends at once; a portal that does not answer any more is
        // given up after a grace period rather than holding the caller forever.
        std::unique_lock lock(call->mutex);
        std::optional<std::chrono::steady_clock::time_point> giveUpAt;
        while (!call->finished) {
            call->done.wait_for(lock, std::chrono::milliseconds(100));
            if (call->finished || !call->cancellation->isCancelled()) continue;
            auto now = std::chrono::steady_clock::now();
            if (!giveUpAt) giveUpAt = now + std::chrono::seconds(2);
            if (now >= *giveUpAt) {
                call->abandoned = true;
                return fail(logged(
                    screen::CaptureError(Kind::portalRefused, "no answer after cancelling")));
            }
        }
    }
    if (call->error) return fail(*call->error);  // logged when it was settled

    std::shared_ptr<ScreenCastSession> session(new ScreenCastSession);
    session->state_ = std::make_shared<State>();
    session->stream_ = call->stream;
    session->restoreToken_ = call->restoreToken;
    session->pipeWireFd_ = call->fd;
    session->embedsCursor_ = cursor == XDP_CURSOR_MODE_EMBEDDED;
    auto state = session->state_;
    XdpSession* xdpSession = call->session;
    detail::invokeAndWait([state, xdpSession] {
        state->session = xdpSession;
        state->closedSignal =
            g_signal_connect(xdpSession, "closed", G_CALLBACK(onSessionClosed), state.get());
        if (xdp_session_get_session_state(xdpSession) == XDP_SESSION_CLOSED) state->closed = true;
    });
    return session;
}

ScreenCastSession::~ScreenCastSession() {
    if (pipeWireFd_ >= 0) ::close(pipeWireFd_);
    if (!state_) return;
    // The state stays alive until the portal thread has let go of the session.
    detail::invoke([state = state_] {
        if (!state->session) return;
        g_signal_handler_disconnect(state->session, state->closedSignal);
        if (xdp_session_get_session_state(state->session) != XDP_SESSION_CLOSED)
            xdp_session_close(state->session);
        g_object_unref(state->session);
        state->session = nullptr;
    });
}

int ScreenCastSession::duplicatePipeWireFd() const {
    if (pipeWireFd_ < 0 || isClosed()) return -1;
    return ::fcntl(pipeWireFd_, F_DUPFD_CLOEXEC, 3);
}

bool ScreenCastSession::isClosed() const {
    std::lock_guard lock(state_->mutex);
    return state_->closed;
}

int ScreenCastSession::addClosedHandler(std::function<void()> handler) {
    std::unique_lock lock(state_->mutex);
    if (state_->closed) {
        lock.unlock();
        detail::invoke(std::move(handler));
        return 0;
    }
    int id = state_->nextHandler++;
    state_->closedHandlers.emplace(id, std::move(handler));
    return id;
}

void ScreenCastSession::removeClosedHandler(int id) {
    std::lock_guard lock(state_->mutex);
    state_->closedHandlers.erase(id);
}

}  // namespace zimlo::portal
