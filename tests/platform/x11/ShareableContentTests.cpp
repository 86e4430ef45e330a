#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "platform/x11/ShareableContent.h"
#include "platform/x11/TestWindows.h"
#include "platform/x11/XvfbEnvironment.h"

namespace zimlo::x11 {
namespace {

using Spec = test::TestWindows::Spec;

const WindowInfo* find(const ShareableContent& content, Window id) {
    for (const auto& w : content.windows) {
        if (w.id == id) return &w;
    }
    return nullptr;
}

TEST(ShareableContent, ListsDisplayAndRootChildrenWithoutWindowManager) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Window app = x.create(Spec({100, 120, 300, 200}, 0xff0000, 5001, "Alpha", "文档 10"));
    // Two icon sizes; the one nearer 64 pixels is kept.
    x.setIcon(app, {1, 1, 0xff000000, 2, 2, 0x80112233, 0x80112233, 0x80112233, 0x80112233});
    Window dock = x.create(Spec({0, 0, 200, 100}, 0x808080, 5002, "Dock").withType("_NET_WM_WINDOW_TYPE_DOCK"));
    Window menu = x.create(Spec({10, 10, 200, 100}, 0x808080, 5003, "Menu").asOverrideRedirect());
    Window hidden = x.create(Spec({10, 10, 200, 100}, 0x808080, 5004, "Hidden").unmapped());
    Window bare = x.create(Spec({500, 500, 100, 100}));

    ShareableContent content = queryShareableContent();
    EXPECT_FALSE(content.hasWindowManager);
    ASSERT_EQ(content.displays.size(), 1u);
    EXPECT_EQ(content.displays[0].frame, (Rect{0, 0, 1920, 1080}));
    EXPECT_GE(content.displays[0].nativeWidth * content.displays[0].nativeHeight, 0);

    const WindowInfo* a = find(content, app);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->title, "文档 10");
    EXPECT_EQ(a->applicationName, "Alpha");
    EXPECT_EQ(a->pid, 5001);
    EXPECT_EQ(a->frame, (Rect{100, 120, 300, 200}));
    EXPECT_TRUE(a->isNormalLayer);
    EXPECT_TRUE(a->isOnScreen);
    ASSERT_TRUE(a->icon);
    EXPECT_EQ(a->icon->width(), 2);
    const uint8_t* px = a->icon->data();
    EXPECT_EQ((std::vector<int>{px[0], px[1], px[2], px[3]}), (std::vector<int>{0x33, 0x22, 0x11, 0x80}));

    ASSERT_NE(find(content, dock), nullptr);
    EXPECT_FALSE(find(content, dock)->isNormalLayer);
    ASSERT_NE(find(content, menu), nullptr);
    EXPECT_FALSE(find(content, menu)->isNormalLayer);
    EXPECT_EQ(find(content, hidden), nullptr);
    ASSERT_NE(find(content, bare), nullptr);
    EXPECT_FALSE(find(content, bare)->pid.has_value());
    EXPECT_TRUE(find(content, bare)->applicationName.empty());

    // Stacking order, bottom to top.
    auto position = [&](Window w) {
        return std::find_if(content.windows.begin(), content.windows.end(), [&](auto& i) { return i.id == w; }) -
               content.windows.begin();
    };
    EXPECT_LT(position(app), position(bare));
}

TEST(ShareableContent, UnreachableServerIsAnError) {
    EXPECT_THROW(queryShareableContent(":4095"), std::runtime_error);
}

}  // namespace
}  // namespace zimlo::x11
