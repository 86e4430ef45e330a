#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <memory>

#include "app/AppTestSupport.h"
#include "app/QtTestSupport.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerView.h"
#include "capture/PortalSourceMemory.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/storage/SettingsFile.h"

namespace zimlo::app {
namespace {

using apptest::FakePickerServices;
using qttest::pumpUntil;

std::vector<capture::ScreenCaptureTarget> eightTargets() {
    std::vector<capture::ScreenCaptureTarget> targets{apptest::makeDisplayTarget(1, 1)};
    for (uint32_t i = 0; i < 7; ++i) {
        targets.push_back(
            apptest::makeWindowTarget(100 + i, "窗口 " + std::to_string(i + 1), "App"));
    }
    return targets;
}

class SourcePicker : public ::testing::Test {
  protected:
    void SetUp() override { services = std::make_shared<FakePickerServices>(); }
    void TearDown() override {
        // Dismiss any permission alert left open so the next test starts clean.
        while (QMessageBox* box = apptest::visibleAlert()) box->done(0);
        qttest::settle();
    }
    std::unique_ptr<SourcePickerView> showPicker() {
        auto picker = std::make_unique<SourcePickerView>(services);
        picker->resize(1120, 760);
        picker->show();
        EXPECT_TRUE(pumpUntil([&] { return picker->refreshButton()->isEnabled(); }));
        return picker;
    }

    std::shared_ptr<FakePickerServices> services;
};

TEST_F(SourcePicker, EightTargetsMakeRowsOfThreeWithTheFirstSelected) {
    services->listing = eightTargets();
    services->noThumbnail = {"window-103"};
    auto picker = std::make_unique<SourcePickerView>(services);
    // While listing, both buttons wait.
    EXPECT_EQ(picker->statusLabel()->text(), QStringLiteral("正在读取所有桌面中正在展示的窗口…"));
    EXPECT_FALSE(picker->refreshButton()->isEnabled());
    EXPECT_FALSE(picker->startButton()->isEnabled());
    picker->resize(1120, 760);
    picker->show();
    ASSERT_TRUE(pumpUntil([&] { return picker->refreshButton()->isEnabled(); }));

    EXPECT_EQ(
        picker->statusLabel()->text(),
        QStringLiteral("已找到 8 个可录制内容。点击窗口卡片会定位到对应桌面并显示蓝色边框。"));
    const auto rows = picker->gridRows();
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows) ASSERT_EQ(row.size(), 3u);
    EXPECT_TRUE(qobject_cast<SourceCardView*>(rows[2][1]));
    EXPECT_FALSE(qobject_cast<SourceCardView*>(rows[2][2]));  // the filler
    qttest::settle();
    EXPECT_EQ(rows[0][1]->x() - rows[0][0]->x(), 260 + 34);

    // The first target is picked and "确认" works without a click, but nothing is bordered yet.
    ASSERT_EQ(picker->cardViews().size(), 8u);
    EXPECT_TRUE(picker->cardViews()[0]->isSelected());
    EXPECT_FALSE(picker->cardViews()[1]->isSelected());
    EXPECT_TRUE(picker->startButton()->isEnabled());
    EXPECT_TRUE(services->highlighted.empty());
    EXPECT_FALSE(services->borderShown);

    // Thumbnails arrive per card; a failed one keeps its placeholder.
    ASSERT_TRUE(pumpUntil([&] { return !picker->cardViews()[7]->thumbnail().isNull(); }));
    EXPECT_TRUE(picker->cardViews()[4]->thumbnail().isNull());
    EXPECT_TRUE(picker->cardViews()[4]->placeholderLabel()->isVisible());
    EXPECT_EQ(picker->cardViews()[4]->placeholderLabel()->text(), QStringLiteral("预览生成中…"));
    EXPECT_FALSE(picker->cardViews()[0]->placeholderLabel()->isVisible());

    // Return confirms with the pre-selected target.
    std::vector<std::string> started;
    picker->onStartRecording = [&](const capture::ScreenCaptureTarget& t) {
        started.push_back(t.id);
    };
    picker->activateWindow();
    ASSERT_TRUE(pumpUntil([&] { return picker->isActiveWindow(); }));
    ASSERT_TRUE(qttest::pressKey(Qt::Key_Return));
    EXPECT_EQ(started, std::vector<std::string>{"display-1"});
}

TEST_F(SourcePicker, ClickingSelectsAndReportsWhetherTheTargetWasLocated) {
    services->listing = eightTargets();
    services->locatable = {"window-100"};
    auto picker = showPicker();
    QTest::mouseClick(picker->cardViews()[1], Qt::LeftButton);
    EXPECT_EQ(services->highlighted, std::vector<std::string>{"window-100"});
    EXPECT_EQ(picker->statusLabel()->text(), QStringLiteral("已定位：窗口 1"));
    EXPECT_TRUE(picker->cardViews()[1]->isSelected());
    EXPECT_FALSE(picker->cardViews()[0]->isSelected());

    QTest::mouseClick(picker->cardViews()[2], Qt::LeftButton);
    EXPECT_EQ(picker->statusLabel()->text(),
              QStringLiteral("已选择：窗口 2。如需定位具体窗口，请在系统设置中允许辅助功能权限。"));
    EXPECT_TRUE(picker->startButton()->isEnabled());
    ASSERT_TRUE(picker->selectedTarget());
    EXPECT_EQ(picker->selectedTarget()->id, "window-101");

    // Back removes the border before the flow changes screens.
    bool borderAtBack = true;
    picker->onBack = [&] { borderAtBack = services->borderShown; };
    picker->backButton()->click();
    EXPECT_FALSE(borderAtBack);

    // So does confirming, and leaving the picker any other way.
    services->borderShown = true;
    bool borderAtStart = true;
    picker->onStartRecording = [&](const capture::ScreenCaptureTarget&) {
        borderAtStart = services->borderShown;
    };
    picker->startButton()->click();
    EXPECT_FALSE(borderAtStart);
    services->borderShown = true;
    picker->hide();
    EXPECT_FALSE(services->borderShown);
}

TEST_F(SourcePicker, EmptyAndFailedListingsExplainAndAskForThePermission) {
    auto picker = showPicker();  // empty listing
    EXPECT_EQ(picker->statusLabel()->text(),
              QStringLiteral("没有找到可录制内容。请确认已授予屏幕录制权限。"));
    EXPECT_FALSE(picker->startButton()->isEnabled());
    EXPECT_TRUE(picker->gridRows().empty());
    QMessageBox* box = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return (box = apptest::visibleAlert()) != nullptr; }));
    EXPECT_EQ(box->text(), QStringLiteral("需要屏幕录制权限"));
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    box->done(0);
    qttest::settle();

    // A failure after a good listing empties the grid and the selection.
    services->listing = eightTargets();
    picker->refreshButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return picker->cardViews().size() == 8; }));
    services->listing = std::string("无法连接到 X 服务器");
    picker->refreshButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return picker->cardViews().empty(); }));
    EXPECT_EQ(picker->statusLabel()->text(),
              QStringLiteral("读取失败：无法连接到 X 服务器。请在系统设置中允许屏幕录制权限。"));
    EXPECT_FALSE(picker->selectedTarget());
    EXPECT_FALSE(picker->startButton()->isEnabled());
    EXPECT_TRUE(picker->refreshButton()->isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return apptest::visibleAlert() != nullptr; }));
    EXPECT_EQ(apptest::visibleAlert()->text(), QStringLiteral("需要屏幕录制权限"));
    // Return does nothing without a selection.
    int started = 0;
    picker->onStartRecording = [&](const capture::ScreenCaptureTarget&) { ++started; };
    picker->startTapped();
    EXPECT_EQ(started, 0);
}

TEST_F(SourcePicker, OnWaylandOffersThePortalsSourcesWithoutLocatingThem) {
    portal::ScreenCastInfo info;
    info.version = 4;
    info.sourceTypes = 3;
    auto memory = std::make_shared<SettingsFile>(std::filesystem::temp_directory_path() /
                                                 "zimlo-picker-portal-none.json");
    services->listing = capture::ScreenCaptureTargetProvider::buildPortalTargets(
        info, capture::PortalSourceMemory(memory));
    services->noThumbnail = {"portal-monitor", "portal-window"};
    auto picker = showPicker();
    ASSERT_EQ(picker->cardViews().size(), 2u);
    EXPECT_EQ(
        picker->statusLabel()->text(),
        QStringLiteral("已找到 2 "
                       "个可录制内容。点击“确认”后在系统弹出的窗口中选择要录制的屏幕或窗口。"));
    // The header promises what the portal gives: no list of other programs' windows.
    EXPECT_FALSE(picker->subtitleLabel()->text().contains(QStringLiteral("正在展示的 App 窗口")))
        << picker->subtitleLabel()->text().toStdString();
    EXPECT_TRUE(picker->subtitleLabel()->text().contains(QStringLiteral("系统弹出的窗口")));
    // Nothing to show before the system's chooser has picked something.
    EXPECT_EQ(picker->cardViews()[1]->placeholderLabel()->text(),
              QStringLiteral("确认后由系统选择"));

    QTest::mouseClick(picker->cardViews()[1], Qt::LeftButton);
    EXPECT_EQ(picker->selectedTarget()->id, "portal-window");
    EXPECT_TRUE(services->highlighted.empty()) << "highlighting is X11-only";
    EXPECT_EQ(picker->statusLabel()->text(),
              QStringLiteral("已选择：应用窗口。定位和蓝色边框仅在 X11 桌面可用；点击“确认”后由系统"
                             "窗口选择具体内容。"));
    std::optional<std::string> started;
    picker->onStartRecording = [&](const capture::ScreenCaptureTarget& t) { started = t.id; };
    picker->startButton()->click();
    EXPECT_EQ(started, "portal-window");
}

}  // namespace
}  // namespace zimlo::app
