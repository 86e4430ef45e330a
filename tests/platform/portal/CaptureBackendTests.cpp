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
    EXPECT_NE(none.error.find("Wayland 桌面未提供屏幕录制门户"), std::string::npos);
}

TEST(CaptureBackend, AnX11SessionRecordsThroughX11WithoutAskingThePortal) {
    Session session;
    session.x11().withPortal();
    session.environment.sessionType = "x11";
    EXPECT_EQ(session.choose().backend, CaptureBackend::x11);
    EXPECT_EQ(session.portalQuestions, 0);
    EXPECT_FALSE(Session().choose().backend);
}

TEST(CaptureBackend, ZimloCaptureForcesABackEndOrSaysWhyItCannot) {
    EXPECT_EQ(Session().wayland().x11().withPortal().forced("x11").choose().backend,
              CaptureBackend::x11);
    EXPECT_EQ(Session().x11().withPortal().forced("portal").choose().backend,
              CaptureBackend::portal);
    auto noPortal = Session().wayland().x11().forced("portal").choose();
    EXPECT_FALSE(noPortal.backend) << "a forced portal never falls back to X11";
    EXPECT_NE(noPortal.error.find("ZIMLO_CAPTURE=portal"), std::string::npos);
    auto noDisplay = Session().wayland().withPortal().forced("x11").choose();
    EXPECT_FALSE(noDisplay.backend);
    EXPECT_NE(noDisplay.error.find("DISPLAY"), std::string::npos);
    auto unknown = Session().x11().forced("pipewire").choose();
    EXPECT_FALSE(unknown.backend);
    EXPECT_NE(unknown.error.find("pipewire"), std::string::npos);
}

}  // namespace
}  // namespace zimlo::screen
