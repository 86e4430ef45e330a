#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "platform/x11/CaptureTargetList.h"
#include "platform/x11/Highlight.h"
#include "platform/x11/TestWindows.h"
#include "platform/x11/XvfbEnvironment.h"
#include "support/ResultValue.h"

namespace zimlo::x11 {
namespace {

using Spec = test::TestWindows::Spec;

const WindowInfo* find(const CaptureTargetList& content, Window id) {
    for (const auto& w : content.windows) {
        if (w.id == id) return &w;
    }
    return nullptr;
}

TEST(CaptureTargetList, ListsDisplayAndRootChildrenWithoutWindowManager) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Window app = x.create(Spec({100, 120, 300, 200}, 0xff0000, 5001, "Alpha", "文档 10"));
    // Two icon sizes; the one nearer 64 pixels is kept.
    x.setIcon(app, {1, 1, 0xff000000, 2, 2, 0x80112233, 0x80112233, 0x80112233, 0x80112233});
    Window dock = x.create(
        Spec({0, 0, 200, 100}, 0x808080, 5002, "Dock").withType("_NET_WM_WINDOW_TYPE_DOCK"));
    Window menu = x.create(Spec({10, 10, 200, 100}, 0x808080, 5003, "Menu").asOverrideRedirect());
    Window hidden = x.create(Spec({10, 10, 200, 100}, 0x808080, 5004, "Hidden").unmapped());
    Window bare = x.create(Spec({500, 500, 100, 100}));

    CaptureTargetList content = zimlo::test::valueOrFailure(listCaptureTargets());
    EXPECT_FALSE(content.hasWindowManager);
    ASSERT_EQ(content.displays.size(), 1u);
    EXPECT_EQ(content.displays[0].frame, (PixelRect{0, 0, 1920, 1080}));
    EXPECT_GE(content.displays[0].nativeWidth * content.displays[0].nativeHeight, 0);

    const WindowInfo* a = find(content, app);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->title, "文档 10");
    EXPECT_EQ(a->applicationName, "Alpha");
    EXPECT_EQ(a->pid, 5001);
    EXPECT_EQ(a->frame, (PixelRect{100, 120, 300, 200}));
    EXPECT_TRUE(a->isNormalLayer);
    EXPECT_TRUE(a->isOnScreen);
    ASSERT_TRUE(a->icon);
    EXPECT_EQ(a->icon->width(), 2);
    const uint8_t* px = a->icon->data();
    EXPECT_EQ((std::vector<int>{px[0], px[1], px[2], px[3]}),
              (std::vector<int>{0x33, 0x22, 0x11, 0x80}));

    ASSERT_NE(find(content, dock), nullptr);
    EXPECT_FALSE(find(content, dock)->isNormalLayer);
    ASSERT_NE(find(content, menu), nullptr);
    EXPECT_FALSE(find(content, menu)->isNormalLayer);
    EXPECT_EQ(find(content, hidden), nullptr);
    ASSERT_NE(find(content, bare), nullptr);
    // No _NET_WM_PID: the server still knows which process made the window.
    EXPECT_EQ(find(content, bare)->pid, getpid());
    EXPECT_TRUE(find(content, bare)->applicationName.empty());

    // Stacking order, bottom to top.
    auto position = [&](Window w) {
        return std::find_if(content.windows.begin(), content.windows.end(),
                            [&](auto& i) { return i.id == w; }) -
               content.windows.begin();
    };
    EXPECT_LT(position(app), position(bare));
}

TEST(CaptureTargetList, UnreachableServerIsAnError) {
    auto content = listCaptureTargets(":4095");
    ASSERT_FALSE(content.ok());
    EXPECT_EQ(content.error(),
              screen::CaptureError(screen::CaptureError::Kind::displayUnreachable, ":4095"));
    auto displays = queryDisplays(":4095");
    ASSERT_FALSE(displays.ok());
    EXPECT_EQ(displays.error().kind(), screen::CaptureError::Kind::displayUnreachable);
}

// A stand-in window manager: the EWMH properties on the root, and the redirect that makes
// activation requests come to us.
TEST(CaptureTargetList, FollowsTheWindowManagersClientListAndAsksItToActivate) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Display* d = x.display();
    Window root = DefaultRootWindow(d);
    auto setCardinals = [&](Window w, const char* name, Atom type, std::vector<long> values) {
        XChangeProperty(d, w, x.atom(name), type, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(values.data()),
                        static_cast<int>(values.size()));
    };
    Window check = x.create(Spec({0, 0, 1, 1}).unmapped());
    Window shown = x.create(Spec({100, 100, 300, 200}, 0xff0000, 5001, "Shown"));
    Window elsewhere = x.create(Spec({100, 100, 300, 200}, 0xff0000, 5002, "Elsewhere").unmapped());
    Window minimised = x.create(Spec({100, 100, 300, 200}, 0xff0000, 5003, "Minimised").unmapped());
    Window unmanaged = x.create(Spec({100, 100, 300, 200}, 0xff0000, 5004, "Unmanaged"));
    setCardinals(check, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {static_cast<long>(check)});
    setCardinals(root, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {static_cast<long>(check)});
    setCardinals(
        root, "_NET_CLIENT_LIST", XA_WINDOW,
        {static_cast<long>(shown), static_cast<long>(elsewhere), static_cast<long>(minimised)});
    setCardinals(root, "_NET_CURRENT_DESKTOP", XA_CARDINAL, {0});
    setCardinals(elsewhere, "_NET_WM_DESKTOP", XA_CARDINAL, {1});
    setCardinals(minimised, "_NET_WM_STATE", XA_ATOM,
                 {static_cast<long>(x.atom("_NET_WM_STATE_HIDDEN"))});
    XSelectInput(d, root, SubstructureRedirectMask);
    XSync(d, False);

    CaptureTargetList content = zimlo::test::valueOrFailure(listCaptureTargets());
    EXPECT_TRUE(content.hasWindowManager);
    ASSERT_NE(find(content, shown), nullptr);
    EXPECT_TRUE(find(content, shown)->isOnScreen);
    ASSERT_NE(find(content, elsewhere), nullptr);
    EXPECT_TRUE(find(content, elsewhere)->isOnScreen);  // on another desktop
    ASSERT_NE(find(content, minimised), nullptr);
    EXPECT_FALSE(find(content, minimised)->isOnScreen);
    EXPECT_EQ(find(content, unmanaged), nullptr);

    EXPECT_TRUE(activateWindow(static_cast<uint32_t>(elsewhere)));
    std::vector<XClientMessageEvent> requests;
    for (int i = 0; i < 100 && requests.size() < 2; ++i) {
        XSync(d, False);
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == ClientMessage) requests.push_back(event.xclient);
        }
        if (requests.size() < 2) usleep(20000);
    }
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].message_type, x.atom("_NET_CURRENT_DESKTOP"));
    EXPECT_EQ(requests[0].data.l[0], 1);
    EXPECT_EQ(requests[1].message_type, x.atom("_NET_ACTIVE_WINDOW"));
    EXPECT_EQ(requests[1].window, elsewhere);
    EXPECT_EQ(requests[1].data.l[0], 2);
    EXPECT_FALSE(activateWindow(0x7ffffff));

    for (const char* name :
         {"_NET_SUPPORTING_WM_CHECK", "_NET_CLIENT_LIST", "_NET_CURRENT_DESKTOP"}) {
        XDeleteProperty(d, root, x.atom(name));
    }
    XSync(d, False);
}

}  // namespace
}  // namespace zimlo::x11
