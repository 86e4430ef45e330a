// The optional countdown before a recording starts, set in "参数" and kept in the settings.
#include <QElapsedTimer>

#include "RecordingWindowTestSupport.h"
#include "recording/RecordingParameterPopover.h"

namespace zimlo::recording {
namespace {

using namespace test;

TEST_F(RecordingWindowTest, TheCountdownStartsTheRecordingThreeSecondsLaterOrIsCancelled) {
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    // Off until chosen in "参数", then kept for the next window.
    EXPECT_EQ(c->countdownSeconds(), 0);
    c->parameterTapped();
    ASSERT_TRUE(pumpUntil(
        [&] { return c->parameterController() && c->parameterController()->isVisible(); }));
    auto* toggle =
        c->parameterController()->findChild<QCheckBox*>(QStringLiteral("countdownToggle"));
    ASSERT_TRUE(toggle);
    EXPECT_FALSE(toggle->isChecked());
    toggle->click();
    c->parameterController()->close();
    EXPECT_EQ(c->countdownSeconds(), 3);
    EXPECT_EQ(settingsStore->defaults()->integer(RecordingView::countdownKey), 3);

    // Cancelled: nothing is recorded, the window is as before.
    c->recordButton()->click();
    EXPECT_TRUE(c->isCountingDown());
    EXPECT_TRUE(c->countdownLabel()->isVisible());
    EXPECT_EQ(c->countdownLabel()->text(), QStringLiteral("3"));
    EXPECT_FALSE(c->parameterButton()->isEnabled());
    // Cancelled as soon as the next second shows (a busy machine may be late to show it).
    ASSERT_TRUE(pumpUntil([&] { return c->countdownLabel()->text() == QStringLiteral("2"); }, 5s));
    c->recordButton()->click();
    EXPECT_FALSE(c->isCountingDown());
    EXPECT_FALSE(c->countdownLabel()->isVisible());
    qttest::pumpFor(2500ms);
    EXPECT_FALSE(c->isRecording());
    EXPECT_FALSE(c->isPreparingRecordingAudio());
    EXPECT_EQ(c->recordButton()->text(), QStringLiteral("开始录制"));
    EXPECT_TRUE(c->parameterButton()->isEnabled());

    // Let run: the recording begins once the three seconds have passed, not before.
    c.reset();
    auto again = std::make_unique<RecordingView>(target, dependencies());
    again->resize(1180, 760);
    again->show();
    ASSERT_TRUE(waitUntilReady(*again));
    EXPECT_EQ(again->countdownSeconds(), 3);
    QElapsedTimer timer;
    timer.start();
    again->recordButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return again->isRecording(); }, 15s));
    EXPECT_GE(timer.elapsed(), 2900);
    EXPECT_FALSE(again->countdownLabel()->isVisible());
    again->recordButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return !again->isRecording(); }, 60s));
}

}  // namespace
}  // namespace zimlo::recording
