// The shell driver over the real shell with fake services: what it reports as it goes, a step
// that cannot come about failing at once with the step's name and the window's status line, and
// a wait that ends when the caller is interrupted.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/AppTestSupport.h"
#include "app/HomeWindowController.h"
#include "app/PlaceholderRecordingWindow.h"
#include "app/QtTestSupport.h"
#include "app/SourcePickerView.h"
#include "driver/ShellDriver.h"

namespace zimlo::driver {
namespace {

class ShellDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        picker = std::make_shared<apptest::FakePickerServices>();
        picker->locatable = {"display-7"};
        app::ShellServices services;
        services.drafts = std::make_shared<apptest::FakeLibrary>();
        services.thumbnails = std::make_shared<apptest::FakeThumbnails>();
        services.pickerServices = [this] { return picker; };
        services.recordingWindows = [this](const capture::ScreenCaptureTarget& target) {
            opened.push_back(target.id);
            return app::makePlaceholderRecordingWindow(target);
        };
        services.reveal = [](const std::filesystem::path&) {};
        shell = app::HomeWindowController::create(services);
        shell->window()->show();
        observer.onStep = [this](const std::string& step) { steps.push_back(step); };
        observer.onStatus = [this](const std::string& text) { statuses.push_back(text); };
    }
    void TearDown() override {
        shell.reset();
        qttest::settle();
    }

    // The failure `action` throws; fails the test when it throws none.
    static StepFailed failureOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const StepFailed& failure) {
            return failure;
        }
        ADD_FAILURE() << "the step did not fail";
        return StepFailed("", "");
    }

    std::shared_ptr<apptest::FakePickerServices> picker;
    std::shared_ptr<app::HomeWindowController> shell;
    ShellDriver::Observer observer;
    std::vector<std::string> steps, statuses, opened;
};

TEST_F(ShellDriverTest, ReportsEachStepAndStatusLineUpToTheChosenDisplay) {
    picker->listing = std::vector<capture::ScreenCaptureTarget>{
        apptest::makeWindowTarget(42, "文档", "Editor"), apptest::makeDisplayTarget(7, 1)};
    ShellDriver driver(shell, observer);
    EXPECT_EQ(driver.waitForHome(), 0u);
    driver.openPicker();
    driver.pickDisplay();
    ASSERT_TRUE(qttest::pumpUntil([&] { return !opened.empty(); }));
    // The display is picked even though a window is listed first.
    EXPECT_EQ(opened, std::vector<std::string>{"display-7"});
    EXPECT_EQ(steps, (std::vector<std::string>{"open the home window",
                                               "click \"去录制\" and wait for the picker's list",
                                               "pick the display and click \"确认\""}));
    EXPECT_EQ(statuses, (std::vector<std::string>{
                            "正在读取所有桌面中正在展示的窗口…",
                            "已找到 2 个可录制内容。点击窗口卡片会定位到对应桌面并显示蓝色边框。",
                            "已定位：桌面 1"}));
}

TEST_F(ShellDriverTest, AStepThatCannotHappenFailsAtOnceNamingItAndTheStatusLine) {
    // Nothing to record: the listing ends empty, long before the step's time runs out.
    picker->listing = std::vector<capture::ScreenCaptureTarget>{};
    ShellDriver driver(shell, observer);
    driver.waitForHome();
    StepFailed empty = failureOf([&] { driver.openPicker(); });
    EXPECT_EQ(empty.step(), "click \"去录制\" and wait for the picker's list");
    EXPECT_NE(empty.detail().find("没有找到可录制内容。请确认已授予屏幕录制权限。"),
              std::string::npos)
        << empty.detail();

    // Only windows: no display to pick, and nothing is started.
    picker->listing =
        std::vector<capture::ScreenCaptureTarget>{apptest::makeWindowTarget(42, "文档", "Editor")};
    shell->showSourcePicker();
    ASSERT_TRUE(qttest::pumpUntil([&] { return !shell->sourcePicker()->cardViews().empty(); }));
    StepFailed noDisplay = failureOf([&] { driver.pickDisplay(); });
    EXPECT_EQ(noDisplay.step(), "pick the display and click \"确认\"");
    EXPECT_EQ(noDisplay.detail(), "the picker lists no display");
    EXPECT_TRUE(opened.empty());

    // Steps of the recording window without one.
    StepFailed noWindow = failureOf([&] { driver.turnCameraOn(); });
    EXPECT_EQ(noWindow.detail(), "the recording window is gone");
}

TEST_F(ShellDriverTest, AnInterruptionEndsTheWait) {
    picker->listing = std::vector<capture::ScreenCaptureTarget>{apptest::makeDisplayTarget(7, 1)};
    bool interrupted = false;
    observer.interrupted = [&] { return interrupted; };
    ShellDriver driver(shell, observer);
    driver.waitForHome();
    interrupted = true;
    EXPECT_THROW(driver.openPicker(), Interrupted);
}

}  // namespace
}  // namespace zimlo::driver
