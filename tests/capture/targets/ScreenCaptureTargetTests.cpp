#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>

#include "capture/ScreenCaptureTargetHighlighter.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/x11/TestWindows.h"
#include "platform/x11/XvfbEnvironment.h"
#include "support/TestMain.h"

namespace zimlo::capture {
namespace {

using Spec = test::TestWindows::Spec;
using Provider = ScreenCaptureTargetProvider;
using namespace std::chrono_literals;

x11::WindowInfo window(uint32_t id, PixelRect frame, std::string app, std::string title,
                       int32_t pid = 7000) {
    x11::WindowInfo w;
    w.id = id;
    w.frame = frame;
    w.applicationName = std::move(app);
    w.title = std::move(title);
    w.pid = pid;
    w.isNormalLayer = true;
    w.isOnScreen = true;
    return w;
}

std::vector<std::string> ids(const std::vector<ScreenCaptureTarget>& targets) {
    std::vector<std::string> result;
    for (const auto& t : targets) result.push_back(t.id);
    return result;
}

TEST(ScreenCaptureTargets, OrderByDisplayPositionApplicationAndTitleWithNumbersByValue) {
    x11::CaptureTargetList content;
    content.displays = {x11::DisplayInfo{11, "left", {0, 0, 1920, 1080}, 3840, 2160},
                        x11::DisplayInfo{12, "right", {1920, 0, 1280, 1024}, 0, 0}};
    content.windows = {
        window(1, {2000, 10, 300, 300}, "Editor", "b"),  // second display
        window(2, {100, 50, 300, 300}, "Term", "shell 10"),
        window(3, {100, 50, 300, 300}, "Term",
               "Shell 2"),  // same corner: numbers by value, case ignored
        window(4, {100, 50, 300, 300}, "browser", "z"),  // same corner: application name first
        window(5, {50, 50, 300, 300}, "Zed", "a"),       // further left
        window(6, {900, 20, 300, 300}, "Zed", "a"),      // higher
        window(7, {1700, 500, 300, 300}, "Zed", "mostly left"),  // overlaps the first display more
        window(8, {5000, 5000, 300, 300}, "Zed", "nowhere"),     // overlaps none: first display
        window(9, {0, 0, 300, 300}, "Own", "own", getpid()),
    };
    auto targets = Provider::buildTargets(content, getpid());
    EXPECT_EQ(ids(targets), (std::vector<std::string>{
                                "display-11", "display-12", "window-6", "window-5", "window-4",
                                "window-3", "window-2", "window-7", "window-8", "window-1"}));
    EXPECT_EQ(targets[0].title, "桌面 1");
    EXPECT_EQ(targets[1].title, "桌面 2");
    EXPECT_EQ(targets[1].subtitle, "1280 × 1024");
    EXPECT_EQ(targets[0].icon->symbolName, "desktopcomputer");
    ASSERT_EQ(targets[0].excludedWindows.size(), 1u);
    EXPECT_EQ(targets[0].excludedWindows[0].id, 9u);
    EXPECT_TRUE(targets[2].excludedWindows.empty());
    EXPECT_EQ(targets[2].subtitle, "Zed");
    EXPECT_EQ(targets[2].icon->symbolName, "app.dashed");

    // Without displays every window shares one display index.
    content.displays.clear();
    auto bare = Provider::buildTargets(content, getpid());
    EXPECT_EQ(bare.front().id, "window-1");  // y = 10 is the highest
}

TEST(ScreenCaptureTargets, GeometryFiltersAndThumbnailSizes) {
    ScreenCaptureTarget display;
    display.kind.payload = x11::DisplayInfo{11, "left", {0, 0, 1512, 982}, 3024, 1964};
    display.excludedWindows = {window(9, {}, "Own", ""), window(8, {}, "Own", "")};
    EXPECT_EQ(Provider::nativePixelSize(display), (PixelSize{3024, 1964}));
    auto filter =
        Provider::contentFilter(display, {window(8, {}, "Own", ""), window(7, {}, "Own", "")});
    EXPECT_EQ(filter.kind, x11::ContentFilter::Kind::display);
    EXPECT_EQ(filter.excludedWindows, (std::vector<uint32_t>{9, 8, 7}));

    ScreenCaptureTarget modeless;
    modeless.kind.payload = x11::DisplayInfo{12, "x", {0, 0, 1280, 800}, 0, 0};
    EXPECT_EQ(Provider::nativePixelSize(modeless), (PixelSize{1280, 800}));

    ScreenCaptureTarget win;
    win.kind.payload = window(5, {10, 10, 0, 300}, "App", "t");
    EXPECT_EQ(Provider::nativePixelSize(win), (PixelSize{1, 300}));
    auto windowFilter = Provider::contentFilter(win, {window(8, {}, "Own", "")});
    EXPECT_EQ(windowFilter.kind, x11::ContentFilter::Kind::window);
    EXPECT_EQ(windowFilter.windowId, 5u);
    EXPECT_TRUE(windowFilter.excludedWindows.empty());

    EXPECT_EQ(Provider::thumbnailSize(3024, 1964), (std::pair{493, 320}));
    EXPECT_EQ(Provider::thumbnailSize(1920, 1080), (std::pair{520, 293}));
    EXPECT_EQ(Provider::thumbnailSize(200, 100), (std::pair{200, 100}));
    EXPECT_EQ(Provider::thumbnailSize(100, 50), (std::pair{160, 100}));
}

Provider::TargetsResult loadTargets() {
    std::optional<Provider::TargetsResult> result;
    Provider().loadTargets([&](Provider::TargetsResult r) { result = std::move(r); });
    EXPECT_TRUE(test::pumpUntil([&] { return result.has_value(); }, 20s));
    return result.value_or(std::string("timed out"));
}

TEST(ScreenCaptureTargets, OnlyVisibleNormalWindowsOfOtherProgramsAreListed) {
    x11::CaptureTargetList content;
    content.displays = {x11::DisplayInfo{11, "screen", {0, 0, 1920, 1080}, 0, 0}};
    auto at = [](int x) { return PixelRect{x, 100, 200, 150}; };
    x11::WindowInfo panel = window(2, at(300), "Panel", "layer");
    panel.isNormalLayer = false;  // a dock, menu or override-redirect window
    x11::WindowInfo hidden = window(3, at(500), "Hidden", "minimised");
    hidden.isOnScreen = false;
    x11::WindowInfo remote = window(4, at(700), "Remote", "no process");
    remote.pid.reset();  // a client whose process the server cannot name
    x11::WindowInfo ownPanel = window(5, at(900), "Own", "own panel", getpid());
    ownPanel.isNormalLayer = false;
    content.windows = {
        window(1, at(100), "Normal", "listed"),        panel, hidden, remote, ownPanel,
        window(6, at(1100), "", "no application name")};

    auto targets = Provider::buildTargets(content, getpid());
    ASSERT_EQ(ids(targets), (std::vector<std::string>{"display-11", "window-1", "window-4"}));
    EXPECT_EQ(targets[2].subtitle, "Remote");
    // Our own windows are left out of display pictures whatever their layer.
    ASSERT_EQ(targets[0].excludedWindows.size(), 1u);
    EXPECT_EQ(targets[0].excludedWindows[0].id, 5u);
}

// Programs that do not set _NET_WM_PID (xmessage is an Xt program) are found through the server.
TEST(ScreenCaptureTargets, ListsWindowsWithoutAProcessProperty) {
    const std::string geometry = "400x200+200+300";
    const char* argv[] = {"xmessage", "-geometry", geometry.c_str(), "没有进程属性的窗口", nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawnp(&child, "xmessage", nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
    std::optional<ScreenCaptureTarget> found;
    test::pumpUntil(
        [&] {
            auto result = loadTargets();
            if (result.index() != 0) return false;
            for (const auto& target : std::get<0>(result))
                if (target.kind.isWindow() && target.subtitle == "Xmessage") found = target;
            return found.has_value();
        },
        20s);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->kind.window().pid, child);
    EXPECT_EQ(found->title, "xmessage");
    EXPECT_EQ(found->kind.window().frame.width, 400);
}

TEST(ScreenCaptureTargets, ListsWindowsOfOtherApplicationsOnXvfb) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Window narrow = x.create(Spec({10, 10, 79, 400}, 0xff0000, 5001, "Narrow"));
    Window flat = x.create(Spec({10, 10, 400, 59}, 0xff0000, 5002, "Flat"));
    Window exact = x.create(Spec({30, 500, 80, 60}, 0xff0000, 5003, "Exact", "最小"));
    Window untitled = x.create(Spec({300, 40, 300, 200}, 0x00ff00, 5004, "Untitled"));
    Window ours = x.create(Spec({600, 600, 300, 200}, 0x0000ff, getpid(), "Zimlo", "录制"));
    Window anonymous = x.create(Spec({700, 40, 300, 200}, 0x00ff00, 5005));
    (void)narrow, (void)flat, (void)anonymous;

    auto result = loadTargets();
    ASSERT_EQ(result.index(), 0u) << std::get<1>(result);
    const auto& targets = std::get<0>(result);
    EXPECT_EQ(ids(targets),
              (std::vector<std::string>{"display-" + std::to_string(targets[0].kind.display().id),
                                        "window-" + std::to_string(untitled),
                                        "window-" + std::to_string(exact)}));
    EXPECT_EQ(targets[0].subtitle, "1920 × 1080");
    ASSERT_EQ(targets[0].excludedWindows.size(), 1u);
    EXPECT_EQ(targets[0].excludedWindows[0].id, ours);
    EXPECT_EQ(targets[1].title, "Untitled");  // no title: the application name
    EXPECT_EQ(targets[2].title, "最小");
    EXPECT_EQ(Provider::nativePixelSize(targets[2]), (PixelSize{80, 60}));

    std::optional<std::optional<TargetImage>> thumbnail;
    Provider().loadThumbnail(
        targets[1], [&](std::optional<TargetImage> image) { thumbnail = std::move(image); });
    ASSERT_TRUE(test::pumpUntil([&] { return thumbnail.has_value(); }, 20s));
    ASSERT_TRUE(thumbnail->has_value());
    const auto& pixels = (*thumbnail)->pixels;
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->width(), 300);
    EXPECT_EQ(pixels->height(), 200);
    EXPECT_EQ(test::rgbAt(*pixels, 150, 100), 0x00ff00u);
}

// With the X server out of reach the listing fails with the reason, in the user's words.
TEST(ScreenCaptureTargets, AnUnreachableXServerIsReported) {
    ASSERT_EQ(loadTargets().index(), 0u);  // the X11 back end is in use
    const char* reachable = std::getenv("DISPLAY");
    ASSERT_NE(reachable, nullptr);
    const std::string display = reachable;
    setenv("DISPLAY", ":4095", 1);  // nobody there
    const auto result = loadTargets();
    setenv("DISPLAY", display.c_str(), 1);
    ASSERT_EQ(result.index(), 1u);
    EXPECT_EQ(std::get<1>(result).rfind("无法连接到 X 显示服务器", 0), 0u) << std::get<1>(result);
}

// Stacking order of the root's children, bottom to top.
std::vector<Window> stacking(Display* d) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count);
    std::vector<Window> result(children, children + count);
    if (children) XFree(children);
    return result;
}

PixelRect geometry(Display* d, Window w) {
    XWindowAttributes a{};
    XGetWindowAttributes(d, w, &a);
    return {a.x, a.y, a.width, a.height};
}

TEST(ScreenCaptureTargetHighlighter, BordersDisplaysAndRaisedWindowsUntilHidden) {
    test::TestWindows x(test::XvfbEnvironment::displayName());
    Window back = x.create(Spec({100, 100, 400, 300}, 0xff0000, 5001, "Back", "back"));
    x.create(Spec({150, 150, 400, 300}, 0x00ff00, 5002, "Front", "front"));
    auto result = loadTargets();
    ASSERT_EQ(result.index(), 0u);
    auto targets = std::get<0>(result);
    auto backTarget = std::find_if(targets.begin(), targets.end(), [&](auto& t) {
        return t.id == "window-" + std::to_string(back);
    });
    ASSERT_NE(backTarget, targets.end());

    auto highlighter = ScreenCaptureTargetHighlighter::shared();
    ASSERT_TRUE(highlighter->highlight(targets[0]));
    Window border = highlighter->overlayWindowId();
    ASSERT_NE(border, 0u);
    EXPECT_EQ(geometry(x.display(), border), (PixelRect{0, 0, 1920, 1080}));

    // The raised window comes to the front, then the border (reused) lands around it.
    EXPECT_TRUE(highlighter->highlight(*backTarget));
    ASSERT_TRUE(test::pumpUntil(
        [&] {
            return geometry(x.display(), border) == PixelRect{96, 96, 408, 308};
        },
        10s));
    EXPECT_EQ(highlighter->overlayWindowId(), border);
    auto order = stacking(x.display());
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order.back(), border);
    EXPECT_EQ(order[order.size() - 2], back);

    // Our border is never a target, and display targets exclude it.
    auto again = std::get<0>(loadTargets());
    for (const auto& t : again) EXPECT_NE(t.id, "window-" + std::to_string(border));
    ASSERT_FALSE(again[0].excludedWindows.empty());
    EXPECT_EQ(again[0].excludedWindows[0].id, border);

    highlighter->hide();
    EXPECT_EQ(highlighter->overlayWindowId(), 0u);
    auto afterHide = stacking(x.display());
    EXPECT_EQ(std::count(afterHide.begin(), afterHide.end(), border), 0);

    // A highlight cancelled by hide before the border was due leaves nothing behind.
    EXPECT_TRUE(highlighter->highlight(*backTarget));
    highlighter->hide();
    test::pumpUntil([] { return false; }, 400ms);
    EXPECT_EQ(highlighter->overlayWindowId(), 0u);

    ScreenCaptureTarget gone = *backTarget;
    gone.kind.payload = window(0x7ffffff, {0, 0, 100, 100}, "Gone", "gone");
    EXPECT_FALSE(highlighter->highlight(gone));
    ScreenCaptureTarget noDisplay = targets[0];
    noDisplay.kind.payload = x11::DisplayInfo{424242, "none", {0, 0, 10, 10}, 0, 0};
    highlighter->hide();
    EXPECT_FALSE(highlighter->highlight(noDisplay));
    EXPECT_EQ(highlighter->overlayWindowId(), 0u);
}

}  // namespace
}  // namespace zimlo::capture
