// What the picker offers on a Wayland desktop, and what Zimlo keeps between portal recordings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "capture/PortalSourceMemory.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/storage/SettingsFile.h"

namespace zimlo::capture {
namespace {

namespace fs = std::filesystem;
using Type = PortalSource::Type;

class PortalTargets : public ::testing::Test {
  protected:
    void SetUp() override {
        file = fs::temp_directory_path() /
               ("zimlo-portal-memory-" + std::to_string(::getpid()) + ".json");
        fs::remove(file);
        defaults = std::make_shared<SettingsFile>(file);
    }
    void TearDown() override { fs::remove(file); }

    static portal::ScreenCastInfo offering(uint32_t sourceTypes) {
        portal::ScreenCastInfo info;
        info.version = 4;
        info.sourceTypes = sourceTypes;
        return info;
    }

    fs::path file;
    std::shared_ptr<SettingsFile> defaults;
};

TEST_F(PortalTargets, OfferTheWholeScreenAndAWindowOnlyWhereThePortalCapturesWindows) {
    PortalSourceMemory memory(defaults);
    auto monitorOnly = ScreenCaptureTargetProvider::buildPortalTargets(offering(1), memory);
    ASSERT_EQ(monitorOnly.size(), 1u);
    const auto& screen = monitorOnly.front();
    EXPECT_EQ(screen.id, "portal-monitor");
    EXPECT_EQ(screen.title, "整个屏幕");
    EXPECT_EQ(screen.subtitle, "确认后在系统窗口中选择");
    EXPECT_TRUE(screen.kind.isPortal());
    EXPECT_TRUE(screen.kind.capturesWholeScreen());
    EXPECT_FALSE(screen.kind.isDisplay());
    EXPECT_FALSE(screen.kind.portal().restoresLastChoice);
    EXPECT_TRUE(screen.excludedWindows.empty());
    // Before the first recording the size is unknown: the largest usual screen stands in.
    EXPECT_EQ(ScreenCaptureTargetProvider::nativePixelSize(screen), (PixelSize{1920, 1080}));

    auto both = ScreenCaptureTargetProvider::buildPortalTargets(offering(3), memory);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[1].id, "portal-window");
    EXPECT_EQ(both[1].title, "应用窗口");
    EXPECT_FALSE(both[1].kind.capturesWholeScreen());
    EXPECT_FALSE(both[0].kind == both[1].kind);
    EXPECT_TRUE(ScreenCaptureTargetProvider::buildPortalTargets(offering(4), memory).empty());
}

TEST_F(PortalTargets, RememberTheLastChoicePerKindUnderKeysOfTheirOwn) {
    ASSERT_TRUE(defaults->setString("zimlo.mac.recording.resolution", "1280x720"));
    ASSERT_TRUE(defaults->setInteger("zimlo.mac.recording.frameRate", 60));
    PortalSourceMemory memory(defaults);
    memory.remember(Type::monitor, std::string("token-1"), PixelSize{2560, 1440});

    EXPECT_EQ(defaults->string("zimlo.portal.monitor.restoreToken"), "token-1");
    EXPECT_EQ(defaults->string("zimlo.portal.monitor.size"), "2560x1440");
    EXPECT_EQ(defaults->string("zimlo.mac.recording.resolution"), "1280x720");
    EXPECT_EQ(defaults->integer("zimlo.mac.recording.frameRate"), 60);
    EXPECT_FALSE(memory.restoreToken(Type::window));

    auto targets = ScreenCaptureTargetProvider::buildPortalTargets(offering(3), memory);
    EXPECT_TRUE(targets[0].kind.portal().restoresLastChoice);
    EXPECT_EQ(targets[0].subtitle, "上次选择 · 2560 × 1440");
    EXPECT_EQ(ScreenCaptureTargetProvider::nativePixelSize(targets[0]), (PixelSize{2560, 1440}));
    EXPECT_FALSE(targets[1].kind.portal().restoresLastChoice);

    // Tokens are single-use: the next session's replaces it; a session without one drops it.
    memory.remember(Type::monitor, std::string("token-2"), std::nullopt);
    EXPECT_EQ(memory.restoreToken(Type::monitor), "token-2");
    EXPECT_EQ(memory.lastSize(Type::monitor), (PixelSize{2560, 1440}));
    memory.remember(Type::monitor, std::nullopt, std::nullopt);
    EXPECT_FALSE(memory.restoreToken(Type::monitor));

    // A damaged size counts as unknown.
    for (const char* bad : {"abc", "0x100", "100x", "1280x720x3", "-5x7"}) {
        ASSERT_TRUE(defaults->setString("zimlo.portal.monitor.size", bad));
        EXPECT_FALSE(memory.lastSize(Type::monitor)) << bad;
    }
}

}  // namespace
}  // namespace zimlo::capture
