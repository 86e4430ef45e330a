#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTextCursor>
#include <QTextDocument>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>

#include "app/QtTestSupport.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/MainQueue.h"
#include "platform/speech/SpeechRecognizer.h"
#include "platform/text/WordTagger.h"
#include "recording/DraggableSubtitleView.h"
#include "recording/LiveSubtitleTrack.h"
#include "recording/PermissionAlert.h"
#include "subtitles/SubtitleEmphasisDetector.h"
#include "subtitles/recognizer/RecognizerTestAudio.h"

namespace zimlo::recording {
namespace {

using namespace std::chrono_literals;
using qttest::pumpUntil;

class FakeHost : public LiveSubtitleTrack::Host {
  public:
    std::optional<double> elapsed;
    std::vector<QString> statuses;
    std::optional<std::string> prepareError;
    int prepareCalls = 0;
    SubtitleLayout layout{{0.5, 0.82}, 0.72, 1.0};
    QWidget* window = nullptr;

    bool paused = false;

    std::optional<double> recordingElapsed() const override { return elapsed; }
    bool isRecordingPaused() const override { return paused; }
    void subtitleStatusChanged(const QString& status) override { statuses.push_back(status); }
    void prepareMicrophone(std::function<void(std::optional<std::string>)> completion) override {
        ++prepareCalls;
        MainQueue::post([completion, error = prepareError] { completion(error); });
    }
    SubtitleLayout subtitleLayout() const override { return layout; }
    QWidget* alertWindow() const override { return window; }
    std::function<void(const std::vector<SubtitleSegment>&)> onSegmentsAdded;
    void subtitleSegmentsAdded(const std::vector<SubtitleSegment>& segments) override {
        if (onSegmentsAdded) onSegmentsAdded(segments);
    }
};

Transcription words(std::vector<std::pair<std::string, double>> timed) {
    Transcription t;
    for (auto& [text, start] : timed) {
        t.formattedString += text;
        t.segments.push_back({text, start, 0.4});
    }
    return t;
}

class SubtitleTrack : public ::testing::Test {
  protected:
    void SetUp() override {
        permit(AuthorizationStatus::authorized, AuthorizationStatus::authorized);
        PermissionAlert::setSettingsLauncher([](const auto&) { return true; });
        window.resize(1180, 700);
        region = new DraggableSubtitleView(&window);
        region->hide();
        toggle = new QCheckBox(QStringLiteral("开启字幕"), &window);
        host.window = &window;
        speech = LiveSpeechRecognizer::create(recognizer(), [this] { return clock; });
        track = LiveSubtitleTrack::create(host, speech, region, toggle);
        QObject::connect(toggle, &QAbstractButton::clicked, [this] { track->toggleChanged(); });
    }
    void TearDown() override {
        track.reset();
        Permissions::setStatusProvider(nullptr);
        PermissionAlert::setSettingsLauncher(nullptr);
    }
    virtual std::shared_ptr<speech::SpeechRecognizer> recognizer() {
        return speech::SpeechRecognizer::shared("en-US");
    }

    void permit(AuthorizationStatus microphone, AuthorizationStatus speechStatus) {
        Permissions::setStatusProvider([=](PermissionKind kind) {
            return kind == PermissionKind::microphone ? microphone
                   : kind == PermissionKind::speech   ? speechStatus
                                                      : AuthorizationStatus::authorized;
        });
    }
    // Clicks the check box and waits for the permission chain to end.
    void click() {
        toggle->click();
        ASSERT_TRUE(pumpUntil([&] { return toggle->isEnabled(); }));
    }
    QString caption() const {
        return region->captionDocument() ? region->captionDocument()->toPlainText() : QString();
    }
    // Seconds until the region shows its placeholder again; negative when it never does.
    double secondsUntilCleared() const {
        QElapsedTimer timer;
        timer.start();
        if (!pumpUntil([&] { return region->isShowingPlaceholder(); }, 10s)) return -1;
        return timer.nsecsElapsed() / 1e9;
    }

    QWidget window;
    DraggableSubtitleView* region = nullptr;
    QCheckBox* toggle = nullptr;
    FakeHost host;
    double clock = 100;
    std::shared_ptr<LiveSpeechRecognizer> speech;
    std::shared_ptr<LiveSubtitleTrack> track;
};

TEST_F(SubtitleTrack, CaptionGrowsClearsAfterSilenceAndNeverShowsClearedTextAgain) {
    click();
    host.elapsed = 0;
    track->recordingBegan();
    track->handleText("今天", false);
    EXPECT_EQ(caption(), QStringLiteral("今天"));
    track->handleText("今天天气", false);
    EXPECT_EQ(caption(), QStringLiteral("今天天气"));
    EXPECT_EQ(region->toolTip(), QStringLiteral("今天天气"));
    EXPECT_FALSE(region->isShowingPlaceholder());
    // Timers never fire early, so a lower bound is safe on a busy machine.
    EXPECT_GE(secondsUntilCleared(), 1.0);
    EXPECT_EQ(track->consumedRecognitionText(), "今天天气");
    EXPECT_EQ(region->toolTip(), DraggableSubtitleView::toolTipText());

    track->handleText("今天天气很好", false);
    EXPECT_EQ(caption(), QStringLiteral("很好"));
    // Nothing new after the cleared text: the region keeps its placeholder, nothing is scheduled.
    EXPECT_GT(secondsUntilCleared(), 0);
    track->handleText("今天天气很好", false);
    EXPECT_TRUE(region->isShowingPlaceholder());

    // A final result clears sooner, but a partial one right after it moves the clearing to 1.1 s.
    track->handleText("明天见", true);
    EXPECT_EQ(caption(), QStringLiteral("明天见"));
    track->handleText("后天", false);
    EXPECT_GE(secondsUntilCleared(), 1.0);
    EXPECT_EQ(track->consumedRecognitionText(), "后天");

    // A new recording forgets what was consumed.
    track->recordingBegan();
    track->handleText("后天", false);
    EXPECT_EQ(caption(), QStringLiteral("后天"));
}

// Passes posts on to the real main queue and holds delayed work, with its delay, for the test.
class HeldDelays : public MainQueueBackend {
  public:
    explicit HeldDelays(std::shared_ptr<MainQueueBackend> inner) : inner(std::move(inner)) {}
    void post(Task task) override { inner->post(std::move(task)); }
    void postAfter(std::chrono::milliseconds delay, Task task) override {
        delays.push_back(delay);
        tasks.push_back(std::move(task));
    }
    bool isMainThread() const override { return inner->isMainThread(); }

    std::shared_ptr<MainQueueBackend> inner;
    std::vector<std::chrono::milliseconds> delays;
    std::vector<Task> tasks;
};

// The caption clears 1.1 s after a partial result and 0.65 s after a final one; a newer result
// replaces the pending clearing.
TEST_F(SubtitleTrack, CaptionClearsAfterTheDelayOfItsResult) {
    click();
    host.elapsed = 0;
    track->recordingBegan();
    auto held = std::make_shared<HeldDelays>(MainQueue::backend());
    MainQueue::install(held);
    track->handleText("今天", false);
    track->handleText("今天天气", true);
    track->handleText("明天", false);
    MainQueue::install(held->inner);
    ASSERT_EQ(held->delays, (std::vector<std::chrono::milliseconds>{1100ms, 650ms, 1100ms}));

    held->tasks[0]();  // replaced: nothing happens
    held->tasks[1]();
    EXPECT_EQ(caption(), QStringLiteral("明天"));
    EXPECT_FALSE(region->isShowingPlaceholder());
    held->tasks[2]();
    EXPECT_TRUE(region->isShowingPlaceholder());
    EXPECT_EQ(track->consumedRecognitionText(), "明天");
}

TEST_F(SubtitleTrack, CaptionTextRules) {
    text::WordTagger::shared().waitUntilLoaded();  // the same key words for the view and for us
    click();
    host.elapsed = 0;
    track->recordingBegan();

    // Longer than 36 characters: only the last 36.
    std::string longText;
    QString last36;
    for (int i = 0; i < 50; ++i) {
        const QString c(QChar(0x4E00 + i * 7));
        longText += c.toStdString();
        if (i >= 14) last36 += c;
    }
    track->handleText(longText, false);
    EXPECT_EQ(region->toolTip(), last36);

    // Key words are found on UTF-16 offsets: a character outside the BMP ahead of them must not
    // shift the styling.
    const std::string styled = "😀今天跑了3公里";
    track->handleText(styled, false);
    const QString shown = QString::fromStdString(styled);
    const auto ranges = SubtitleEmphasisDetector::emphasisRanges(std::string_view(styled));
    ASSERT_FALSE(ranges.empty());
    const QTextDocument* doc = region->captionDocument();
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->toPlainText(), shown);
    std::vector<bool> emphasised(shown.size(), false);
    for (const auto& r : ranges)
        std::fill(emphasised.begin() + r.location, emphasised.begin() + r.end(), true);
    for (int i = 0; i < shown.size(); ++i) {
        QTextCursor cursor(const_cast<QTextDocument*>(doc));
        cursor.setPosition(i + 1);  // the format of the character before the cursor
        const QTextCharFormat f = cursor.charFormat();
        EXPECT_EQ(f.font().pixelSize(), emphasised[i] ? 28 : 23) << i;
        EXPECT_EQ(f.font().weight(), emphasised[i] ? QFont::Bold : QFont::Medium) << i;
        EXPECT_EQ(f.foreground().color(),
                  emphasised[i] ? DraggableSubtitleView::systemYellow() : QColor(Qt::white));
        EXPECT_EQ(f.baselineOffset() < 0, emphasised[i]) << i;
    }

    // A consumed prefix is dropped only on a character boundary: "e" is not the start of "é".
    track->recordingBegan();
    track->handleText("e", true);
    ASSERT_GT(secondsUntilCleared(), 0);
    track->handleText("e\u0301te", false);
    EXPECT_EQ(caption(), QString::fromUtf8("e\u0301te"));

    // Text that must not be read as markup.
    track->handleText("<b>a&amp;</b>", false);
    EXPECT_EQ(caption(), QStringLiteral("<b>a&amp;</b>"));
}

TEST_F(SubtitleTrack, RecognitionRunsOnlyWhileRecordingAndTheTrackCollectsUntilTakenOver) {
    click();  // before recording: armed, not listening
    EXPECT_EQ(host.statuses, (std::vector<QString>{QStringLiteral("正在请求麦克风权限…"),
                                                   QStringLiteral("正在请求语音识别权限…"),
                                                   QStringLiteral("字幕已开启")}));
    EXPECT_TRUE(track->isSubtitleEnabled());
    EXPECT_FALSE(region->isHidden());
    EXPECT_TRUE(region->isShowingPlaceholder());
    EXPECT_EQ(region->size(), QSize(760, 104));  // placed from the host's layout
    EXPECT_FALSE(speech->isRunning());
    EXPECT_FALSE(track->subtitleSessionActive());
    track->handleFinalTranscription(words({{"早", 0}}), 0);
    EXPECT_TRUE(track->subtitleTrack().empty());

    host.elapsed = 0;
    track->recordingBegan();
    EXPECT_TRUE(speech->isRunning());
    EXPECT_EQ(speech->startDate(), clock);  // offset 0
    // Two finals whose segments overlap in time: both kept, in arrival order.
    track->handleFinalTranscription(words({{"今天", 0}, {"天气", 0.4}}), 2.0);
    track->handleFinalTranscription(words({{"很好", 0}}), 2.2);
    ASSERT_EQ(track->subtitleTrack().size(), 2u);
    EXPECT_DOUBLE_EQ(track->subtitleTrack()[0].startTime, 2.0);
    EXPECT_DOUBLE_EQ(track->subtitleTrack()[1].startTime, 2.2);

    // Stop: recognition ends, its last final result still joins; the take-over ends collecting.
    track->recordingStopped();
    EXPECT_FALSE(speech->isRunning());
    EXPECT_FALSE(track->isSpeechRunning());
    track->handleFinalTranscription(words({{"再见", 0}}), 3.0);
    EXPECT_EQ(track->subtitleTrack().size(), 3u);
    track->endSession();
    track->handleFinalTranscription(words({{"迟到", 0}}), 4.0);
    EXPECT_EQ(track->subtitleTrack().size(), 3u);
    EXPECT_TRUE(track->isSubtitleEnabled());

    // The next recording starts a new track.
    track->recordingBegan();
    EXPECT_TRUE(track->subtitleTrack().empty());
    EXPECT_TRUE(track->subtitleSessionActive());
    track->recordingStopped();
}

TEST_F(SubtitleTrack, SwitchingDuringARecording) {
    host.elapsed = 0;
    track->recordingBegan();  // subtitles off: nothing starts
    EXPECT_FALSE(speech->isRunning());

    host.elapsed = 12.5;
    click();
    EXPECT_TRUE(speech->isRunning());
    EXPECT_EQ(speech->startDate(), clock - 12.5);
    EXPECT_DOUBLE_EQ(speech->accumulatedOffset(), 12.5);
    track->handleFinalTranscription(words({{"你好", 0}}), 12.5);
    track->handleText("你好", false);
    ASSERT_EQ(track->subtitleTrack().size(), 1u);

    click();  // off: recognition stops, the caption goes, the track stays
    EXPECT_FALSE(track->isSubtitleEnabled());
    EXPECT_FALSE(speech->isRunning());
    EXPECT_TRUE(region->isHidden());
    EXPECT_TRUE(track->latestRecognitionText().empty());
    track->handleFinalTranscription(words({{"不要", 0}}), 14);
    track->handleText("不要", false);
    EXPECT_EQ(track->subtitleTrack().size(), 1u);
    EXPECT_TRUE(track->latestRecognitionText().empty());

    host.elapsed = 20;
    click();  // on again: a new start at the current time, earlier segments kept
    EXPECT_DOUBLE_EQ(speech->accumulatedOffset(), 20);
    track->handleFinalTranscription(words({{"回来", 0}}), 20);
    EXPECT_EQ(track->subtitleTrack().size(), 2u);
    track->recordingStopped();

    // Stopped (the recording is still being saved): switching on again starts nothing.
    click();
    click();
    EXPECT_TRUE(track->isSubtitleEnabled());
    EXPECT_FALSE(track->isSpeechRunning());
    EXPECT_FALSE(speech->isRunning());
}

// A pause ends recognition (what was said before it still counts); nothing starts it while
// paused; the resume starts it at the movie time the pause sits at, not at the clock's.
TEST_F(SubtitleTrack, PauseEndsRecognitionAndTheResumeStartsItAtTheMovieTime) {
    click();
    host.elapsed = 0;
    track->recordingBegan();
    ASSERT_TRUE(speech->isRunning());

    host.elapsed = 2;
    host.paused = true;
    track->recordingPaused();
    EXPECT_FALSE(speech->isRunning());
    EXPECT_FALSE(track->isSpeechRunning());
    track->handleFinalTranscription(words({{"暂停前", 0.5}}), 0);
    ASSERT_EQ(track->subtitleTrack().size(), 1u);

    clock += 7;  // the pause lasts seven seconds; the movie stays at 2
    click();     // subtitles off and on again while paused: armed, not listening
    click();
    EXPECT_TRUE(track->isSubtitleEnabled());
    EXPECT_FALSE(speech->isRunning());

    host.paused = false;
    track->recordingResumed();
    EXPECT_TRUE(speech->isRunning());
    EXPECT_DOUBLE_EQ(speech->accumulatedOffset(), 2);
    EXPECT_EQ(speech->startDate(), clock - 2);
    track->recordingStopped();
}

TEST_F(SubtitleTrack, RefusalsAndFailuresSwitchTheToggleBackOff) {
    struct Case {
        AuthorizationStatus microphone, speechStatus;
        std::optional<std::string> prepareError;
        QString status;
        std::optional<PermissionKind> alert;
    };
    const std::vector<Case> cases = {
        {AuthorizationStatus::denied,
         AuthorizationStatus::authorized,
         {},
         QStringLiteral("需要麦克风权限才能生成字幕"),
         PermissionKind::microphone},
        {AuthorizationStatus::restricted,
         AuthorizationStatus::authorized,
         {},
         QStringLiteral("需要麦克风权限才能生成字幕"),
         PermissionKind::microphone},
        {AuthorizationStatus::authorized,
         AuthorizationStatus::denied,
         {},
         QStringLiteral("需要语音识别权限才能生成字幕"),
         PermissionKind::speech},
        {AuthorizationStatus::notDetermined, AuthorizationStatus::authorized, "设备忙",
         QStringLiteral("无法开启字幕：设备忙"), std::nullopt},
    };
    host.elapsed = 0;
    track->recordingBegan();
    for (const Case& c : cases) {
        permit(c.microphone, c.speechStatus);
        host.prepareError = c.prepareError;
        host.statuses.clear();
        click();
        EXPECT_EQ(host.statuses.back(), c.status);
        EXPECT_FALSE(toggle->isChecked());
        EXPECT_FALSE(track->isSubtitleEnabled());
        EXPECT_FALSE(speech->isRunning());
        EXPECT_TRUE(region->isHidden());
        QMessageBox* box = window.findChild<QMessageBox*>();
        EXPECT_EQ(box != nullptr, c.alert.has_value()) << c.status.toStdString();
        if (box && c.alert) {
            EXPECT_EQ(box->text(), PermissionAlert::title(*c.alert));
            box->reject();
            EXPECT_TRUE(pumpUntil([&] { return !window.findChild<QMessageBox*>(); }));
        }
    }
    EXPECT_EQ(host.prepareCalls, 1);

    // The microphone answer without a device is a grant; then it all works.
    permit(AuthorizationStatus::notDetermined, AuthorizationStatus::authorized);
    host.prepareError.reset();
    click();
    EXPECT_TRUE(track->isSubtitleEnabled());
    EXPECT_TRUE(speech->isRunning());
    track->recordingStopped();
}

// Audio stamped on the track's clock from `start` on, in 0.1 s pieces, as the microphone's.
std::vector<media::AudioSample> captured(const media::AudioSample& audio, double start) {
    auto pieces = speech::splitAudio(audio, 0.1);
    for (auto& piece : pieces)
        piece.presentationTime = media::MediaTime::fromSeconds(
            start + piece.presentationTime.seconds(), media::MonotonicClock::kTimescale);
    return pieces;
}

std::string joinedText(const std::vector<SubtitleSegment>& track) {
    std::string text;
    for (const auto& segment : track) text += segment.text + " ";
    return text;
}

// The recogniser is behind when the recording stops: the microphone has just delivered two
// sentences at once. Both still join the track, at the times they were said; only then is the
// track settled.
TEST_F(SubtitleTrack, SpeechBeforeTheStopJoinsTheTrackThoughRecognitionIsBehind) {
    click();
    host.elapsed = 0;
    track->recordingBegan();
    ASSERT_TRUE(speech->isRunning());
    EXPECT_EQ(track->settledTime(), 0);

    const auto lead = test::quiet(0.5), first = test::librivox("0880"), gap = test::quiet(1.5),
               second = test::librivox("0930");
    const auto backlog = test::joined({lead, first, gap, second, test::quiet(0.5)});
    const double secondStart = test::seconds(lead) + test::seconds(first) + test::seconds(gap);
    for (const auto& piece : captured(backlog, clock)) speech->appendAudioSample(piece);
    clock += test::seconds(backlog);
    host.elapsed = test::seconds(backlog);
    track->recordingStopped();
    EXPECT_FALSE(speech->isRunning());

    // "he might even have been made amiable himself"
    ASSERT_TRUE(pumpUntil(
        [&] { return joinedText(track->subtitleTrack()).find("might even") != std::string::npos; },
        120s))
        << joinedText(track->subtitleTrack());
    EXPECT_NE(joinedText(track->subtitleTrack()).find("young man"), std::string::npos);
    EXPECT_NEAR(track->subtitleTrack().front().startTime, test::seconds(lead) + 0.25, 0.3);
    const auto later = std::find_if(track->subtitleTrack().begin(), track->subtitleTrack().end(),
                                    [&](const auto& s) { return s.startTime > secondStart - 1; });
    ASSERT_NE(later, track->subtitleTrack().end());
    EXPECT_NEAR(later->startTime, secondStart + 0.25, 0.3);

    bool settled = false;
    track->whenSettled(std::numeric_limits<double>::infinity(), 30, [&] { settled = true; });
    EXPECT_FALSE(settled);  // answered on a later turn
    ASSERT_TRUE(pumpUntil([&] { return settled; }, 30s));
    EXPECT_EQ(track->settledTime(), std::numeric_limits<double>::infinity());
    EXPECT_FALSE(speech->isFinishing());
}

// The settled time moves on without final results: through silence up to about what was
// decoded, and while someone speaks to the start of the utterance, where it stays until its
// final result. No segment ever joins before the settled time the track gave out.
TEST_F(SubtitleTrack, SettledTimeFollowsSilenceAndWaitsAtTheOpenUtterance) {
    click();
    host.elapsed = 0;
    track->recordingBegan();
    std::vector<std::string> early;
    host.onSegmentsAdded = [&](const std::vector<SubtitleSegment>& segments) {
        for (const auto& segment : segments)
            if (segment.startTime < track->settledTime())
                early.push_back(segment.text + " at " + std::to_string(segment.startTime) +
                                " before " + std::to_string(track->settledTime()));
    };
    // As a microphone delivers it, at the pace the recogniser decodes.
    auto feed = [&](const media::AudioSample& audio) {
        for (const auto& piece : captured(audio, clock)) {
            if (auto request = speech->request()) request->waitUntilDecoded(60);
            qttest::settle();
            speech->appendAudioSample(piece);
        }
        clock += test::seconds(audio);
        host.elapsed = *host.elapsed + test::seconds(audio);
        if (auto request = speech->request()) request->waitUntilDecoded(60);
        qttest::settle();
    };

    // A muted microphone: nothing the speech detector could take for a voice.
    media::AudioSample muted = test::quiet(0);
    muted.data.assign(4 * 16000 * 2, 0);
    feed(muted);
    EXPECT_TRUE(pumpUntil([&] { return track->settledTime() >= 3; }, 10s)) << track->settledTime();
    EXPECT_LE(track->settledTime(), 4);

    // A long sentence, still being said: partial results only.
    const auto sentence = test::librivox("0920");
    const auto samples = [&](double from, double to) {
        media::AudioSample part = sentence;
        const size_t frameBytes = 2;
        part.data.assign(sentence.data.begin() + static_cast<long>(from * 16000) * frameBytes,
                         sentence.data.begin() + static_cast<long>(to * 16000) * frameBytes);
        return part;
    };
    feed(samples(0, 1.5));
    ASSERT_TRUE(pumpUntil([&] { return speech->pendingPartial().has_value(); }, 30s));
    ASSERT_TRUE(track->subtitleTrack().empty());
    const double open = track->settledTime();
    const auto& partial = *speech->pendingPartial();
    ASSERT_FALSE(partial.transcription.segments.empty());
    EXPECT_GE(open, 3);
    EXPECT_LE(open, partial.offset + partial.transcription.segments.front().timestamp);
    feed(samples(1.5, 2.5));
    ASSERT_TRUE(track->subtitleTrack().empty());
    EXPECT_EQ(track->settledTime(), open) << "the settled time passed the open utterance";

    // The rest of it and a pause: the final results join after the settled time.
    feed(samples(2.5, test::seconds(sentence)));
    feed(test::quiet(2));
    ASSERT_TRUE(pumpUntil([&] { return !track->subtitleTrack().empty(); }, 60s));
    EXPECT_TRUE(pumpUntil([&] { return track->settledTime() > 4 + test::seconds(sentence); }, 30s))
        << track->settledTime();
    EXPECT_EQ(early, std::vector<std::string>{});
    track->recordingStopped();
}

// A recogniser that does not catch up within the wait: the wait ends on its limit, the last
// partial result joins the track as final text, and the final result coming after it does not
// join a second time.
TEST_F(SubtitleTrack, ARecognizerThatDoesNotCatchUpLeavesItsLastPartialAsFinal) {
    click();
    host.elapsed = 0;
    track->recordingBegan();
    // A long sentence, still being said at the stop.
    for (const auto& piece : captured(test::librivox("0920"), clock)) {
        if (piece.presentationTime.seconds() > clock + 2.5) break;
        if (auto request = speech->request()) request->waitUntilDecoded(60);
        qttest::settle();
        speech->appendAudioSample(piece);
    }
    ASSERT_TRUE(pumpUntil([&] { return speech->pendingPartial().has_value(); }, 60s));
    // The machine is starved: the recogniser's queue does not get to run.
    auto starved = std::make_shared<std::atomic<bool>>(true);
    auto starving = std::make_shared<std::atomic<bool>>(false);
    speech->recognizer()->queue().async([starved, starving] {
        *starving = true;
        while (*starved) std::this_thread::sleep_for(10ms);
    });
    struct Feed {
        std::shared_ptr<std::atomic<bool>> starved;
        ~Feed() { *starved = false; }
    } feedLater{starved};
    // Partials the recogniser posted before it starved arrive first: the last of them stands.
    ASSERT_TRUE(pumpUntil([&] { return starving->load(); }, 60s));
    qttest::settle();
    const auto partial = *speech->pendingPartial();
    clock += 2.5;
    host.elapsed = 2.5;
    track->recordingStopped();
    bool settled = false;
    track->whenSettled(std::numeric_limits<double>::infinity(), 0.5, [&] { settled = true; });
    ASSERT_TRUE(pumpUntil([&] { return settled; }, 10s));
    *starved = false;
    ASSERT_FALSE(track->subtitleTrack().empty());
    auto letters = [](std::string text) {
        std::erase(text, ' ');
        return text;
    };
    std::string partialText;
    for (const auto& word : partial.transcription.segments) partialText += word.substring;
    EXPECT_EQ(letters(joinedText(track->subtitleTrack())), letters(partialText));
    EXPECT_NEAR(track->subtitleTrack().front().startTime,
                partial.offset + partial.transcription.segments.front().timestamp, 0.01);
    EXPECT_EQ(track->settledTime(), std::numeric_limits<double>::infinity());

    const size_t kept = track->subtitleTrack().size();
    pumpUntil([] { return false; }, 3s);  // the recogniser's final result comes now
    EXPECT_EQ(track->subtitleTrack().size(), kept);
}

// A notice is shown as the placeholder is: plain, without a single key word in it.
void expectPlainNotice(DraggableSubtitleView& region, const QString& text) {
    EXPECT_TRUE(region.isShowingNotice());
    EXPECT_EQ(region.subtitleLabel()->text().remove(u'\n'), text);
    EXPECT_EQ(region.captionDocument(), nullptr) << "a notice laid out as a caption";
}

// Subtitles switched on without a model for their language say what to do, where the user
// looks, and keep saying it through a recording; recognition never starts.
class NoSpeechModel : public SubtitleTrack {
    std::shared_ptr<speech::SpeechRecognizer> recognizer() override {
        return speech::SpeechRecognizer::shared("zh-CN", std::nullopt);
    }
};

struct MissingModelHost : FakeHost {
    std::vector<bool> missing;
    std::vector<QString> failures;
    void speechModelMissing(bool m) override { missing.push_back(m); }
    void subtitleFailed(const QString& status) override { failures.push_back(status); }
};

TEST_F(NoSpeechModel, TheRegionAndTheStatusNameTheModelAndTheCommandUntilSwitchedOff) {
    window.show();  // the notice is wrapped to the region's width
    MissingModelHost missingHost;
    missingHost.window = &window;
    track = LiveSubtitleTrack::create(missingHost, speech, region, toggle);
    click();
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_TRUE(track->isSpeechModelMissing());
    EXPECT_EQ(missingHost.missing, std::vector<bool>{true});
    ASSERT_EQ(missingHost.failures.size(), 1u);
    const QString status = missingHost.failures.front();
    EXPECT_TRUE(status.contains(QStringLiteral("cmusphinx-zh-cn-5.2.tar.gz")))
        << status.toStdString();
    EXPECT_TRUE(status.contains(
        QStringLiteral("zimlo-tool models install cmusphinx-zh-cn-5.2.tar.gz --language zh-CN")))
        << status.toStdString();
    EXPECT_TRUE(region->isVisible());
    const QString notice = region->subtitleLabel()->text().remove(u'\n');
    EXPECT_TRUE(notice.contains(QStringLiteral("cmusphinx-zh-cn-5.2.tar.gz")))
        << notice.toStdString();
    expectPlainNotice(*region, notice);
    EXPECT_EQ(region->toolTip(), status);

    // A recording keeps the notice: no recognition, no "unavailable" over it.
    host.elapsed = missingHost.elapsed = 0;
    track->recordingBegan();
    pumpUntil([] { return false; }, 800ms);
    expectPlainNotice(*region, notice);
    EXPECT_FALSE(speech->isRunning());
    track->recordingStopped();

    click();  // off: the offer to install goes with it
    EXPECT_FALSE(region->isVisible());
    EXPECT_EQ(missingHost.missing, (std::vector<bool>{true, false}));
}

// A model that is there but does not load: the recogniser's notice, plain, and it stays.
class BrokenSpeechModel : public SubtitleTrack {
    std::shared_ptr<speech::SpeechRecognizer> recognizer() override {
        return speech::SpeechRecognizer::shared(
            "zz-BROKEN",
            speech::ModelPaths{"/nonexistent/am", "/nonexistent/x.dic", "/nonexistent/x.lm.bin"});
    }
};

TEST_F(BrokenSpeechModel, TheUnavailableNoticeStaysPlainAndTheTrackStaysEmpty) {
    click();
    EXPECT_FALSE(track->isSpeechModelMissing());
    host.elapsed = 0;
    track->recordingBegan();
    const QString notice = QString::fromUtf8(LiveSpeechRecognizer::kUnavailableText);
    ASSERT_TRUE(pumpUntil([&] { return region->isShowingNotice(); }));
    pumpUntil([] { return false; }, 1500ms);
    expectPlainNotice(*region, notice);
    EXPECT_TRUE(track->subtitleTrack().empty());
    // Emphasis would mark "语音" as a key word of this notice were it taken for speech.
    track->handleText(std::string(LiveSpeechRecognizer::kUnavailableText), true);
    expectPlainNotice(*region, notice);
}

}  // namespace
}  // namespace zimlo::recording
