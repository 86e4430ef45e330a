// Which back end records the screen in a session.
#include <gtest/gtest.h>

#include "platform/screen/CaptureBackend.h"

namespace zimlo::screen {
namespace {

struct Session {
    CaptureEnvironment environment;
    int portalQuestions = 0;
    bool portal = false;

    Session& wayland() {
        environment.waylandDisplay = "wayland-0";
        return *this;
    }
    Session& x11() {
        environment.x11Display = ":0";
        return *this;
    }
    Session& withPortal() {
        portal = true;
        return *this;
    }
    Session& forced(std::string value) {
        environment.forced = std::move(value);
        return *this;
    }
    BackendChoice choose() {
        environment.portalOffersScreenCast = [this] {
            ++portalQuestions;
            return portal;
        };
        return chooseCaptureBackend(environment);
    }
};

TEST(CaptureBackend, WaylandWithAScreenCastPortalRecordsThroughThePortal) {
    EXPECT_EQ(Session().wayland().x11().withPortal().choose().backend, CaptureBackend::portal);
    Session sessionTypeOnly;
    sessionTypeOnly.environment.sessionType = "wayland";
    EXPECT_EQ(sessionTypeOnly.withPortal().choose().backend, CaptureBackend::portal);

    // Without the portal, XWayland's X display; without that either, a clear error.
    EXPECT_EQ(Session().wayland().x11().choose().backend, CaptureBackend::x11);
    auto none = Session().wayland().choose();
    EXPECT_FALSE(none.backend);
    EXPECT_EQ(none.problem, BackendChoice::Problem::waylandWithoutPortalOrDisplay);
}

TEST(CaptureBackend, AnX11SessionRecordsThroughX11WithoutAskingThePortal) {
    Session session;
    session.x11().withPortal();
    session.environment.sessionType = "x11";
    EXPECT_EQ(session.choose().backend, CaptureBackend::x11);
    EXPECT_EQ(session.portalQuestions, 0);
    EXPECT_FALSE(session.choose().problem);
    EXPECT_FALSE(Session().choose().backend);
    EXPECT_EQ(Session().choose().problem, BackendChoice::Problem::noDesktop);
}

TEST(CaptureBackend, ZimloCaptureForcesABackEndOrSaysWhyItCannot) {
    EXPECT_EQ(Session().wayland().x11().withPortal().forced("x11").choose().backend,
              CaptureBackend::x11);
    EXPECT_EQ(Session().x11().withPortal().forced("portal").choose().backend,
              CaptureBackend::portal);
    auto noPortal = Session().wayland().x11().forced("portal").choose();
    EXPECT_FALSE(noPortal.backend) << "a forced portal never falls back to X11";
    EXPECT_EQ(noPortal.problem, BackendChoice::Problem::forcedPortalUnavailable);
    auto noDisplay = Session().wayland().withPortal().forced("x11").choose();
    EXPECT_FALSE(noDisplay.backend);
    EXPECT_EQ(noDisplay.problem, BackendChoice::Problem::forcedX11WithoutDisplay);
    auto unknown = Session().x11().forced("pipewire").choose();
    EXPECT_FALSE(unknown.backend);
    EXPECT_EQ(unknown.problem, BackendChoice::Problem::unknownForcedBackEnd);
    EXPECT_EQ(unknown.forced, "pipewire");
}

}  // namespace
}  // namespace zimlo::screen
