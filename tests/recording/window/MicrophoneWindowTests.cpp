// The microphone of the recording window: chosen in "参数" among the sound server's inputs,
// kept in the settings, and its level shown live before the recording starts.
#include <QComboBox>
#include <QProgressBar>
#include <atomic>
#include <thread>

#include "RecordingWindowTestSupport.h"
#include "recording/RecordingParameterPopover.h"
#include "sandbox/PulseServer.h"

namespace zimlo::recording {
namespace {

using namespace test;

TEST_F(RecordingWindowTest, TheChosenMicrophoneIsKeptAndItsLevelShowsBeforeRecording) {
    auto& server = sandbox::PulseServer::shared();
    static const std::string pipe = server.addMicrophone("zimlo_window_mic", "Window microphone");
    auto c = makeController();
    ASSERT_TRUE(waitUntilReady(*c));
    auto listensTo = [](RecordingView& view, const QString& description) {
        return pumpUntil(
            [&] {
                return view.microphoneLevel()->isEnabled() &&
                       view.microphoneLevel()->toolTip().contains(description);
            },
            15s);
    };
    // The highest level shown while `speak` runs on a thread of its own.
    auto peakWhile = [&](RecordingView& view, const std::function<void()>& speak) {
        // What was heard before has died away first.
        EXPECT_TRUE(pumpUntil([&] { return view.microphoneLevel()->value() < 5; }, 10s));
        std::atomic<bool> done{false};
        std::thread speaker([&] {
            speak();
            done = true;
        });
        int peak = 0;
        pumpUntil(
            [&] {
                peak = std::max(peak, view.microphoneLevel()->value());
                return done.load();
            },
            30s);
        speaker.join();
        return peak;
    };
    ASSERT_TRUE(listensTo(*c, QStringLiteral("Virtual microphone")))
        << c->microphoneLevel()->toolTip().toStdString();
    EXPECT_GT(peakWhile(*c, [&] { server.speakToneInRealTime(1.5, 0); }), 40);

    c->parameterTapped();
    ASSERT_TRUE(c->parameterController());
    auto* choice =
        c->parameterController()->findChild<QComboBox*>(QStringLiteral("microphoneChoice"));
    ASSERT_TRUE(choice);
    ASSERT_TRUE(pumpUntil([&] { return choice->isEnabled(); }, 15s));
    EXPECT_EQ(choice->itemText(0), QStringLiteral("跟随系统设置"));
    EXPECT_EQ(choice->currentIndex(), 0);
    const int window = choice->findText(QStringLiteral("Window microphone"));
    ASSERT_GT(window, 0);
    EXPECT_GT(choice->findText(QStringLiteral("Virtual microphone")), 0);
    choice->setCurrentIndex(window);
    emit choice->activated(window);
    c->parameterController()->close();
    EXPECT_EQ(settingsStore->defaults()->string(RecordingView::microphoneKey),
              std::optional<std::string>("zimlo_window_mic"));
    ASSERT_TRUE(listensTo(*c, QStringLiteral("Window microphone")));
    // The other input is not heard any more (a short tone: nobody reads that pipe now, and it
    // holds only so much); the chosen one is.
    EXPECT_LT(peakWhile(*c, [&] { server.speakToneInRealTime(0.3, 0); }), 10);
    EXPECT_GT(peakWhile(*c, [&] { sandbox::PulseServer::speakToneInto(pipe, 1.5); }), 40);

    // The next window starts with the choice; following the system again forgets it.
    c.reset();
    auto again = makeController();
    ASSERT_TRUE(waitUntilReady(*again));
    EXPECT_TRUE(listensTo(*again, QStringLiteral("Window microphone")));
    EXPECT_EQ(again->chosenMicrophone(), "zimlo_window_mic");
    again->chooseMicrophone("");
    EXPECT_TRUE(listensTo(*again, QStringLiteral("Virtual microphone")));
    EXPECT_FALSE(settingsStore->defaults()->contains(RecordingView::microphoneKey));
}

}  // namespace
}  // namespace zimlo::recording
