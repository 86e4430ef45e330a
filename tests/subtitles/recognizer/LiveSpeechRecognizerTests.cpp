#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/runtime/MainQueue.h"
#include "subtitles/recognizer/RecognizerTestAudio.h"
#include "support/LogCapture.h"

namespace zimlo {
namespace {

using namespace std::chrono_literals;
using test::librivox;
using test::mainLoop;
using test::pumpUntil;
using test::quiet;

struct Event {
    enum Kind { partial, finalText, transcription, settled } kind;
    std::string text;
    Transcription words;
    double offset = 0;
    bool onMainThread = false;
};

// Records every callback in arrival order.
struct Recorder {
    std::vector<Event> events;

    void attach(LiveSpeechRecognizer& recognizer) {
        recognizer.onText = [this](const std::string& text, bool isFinal) {
            events.push_back({isFinal ? Event::finalText : Event::partial,
                              text,
                              {},
                              0,
                              MainQueue::isMainThread()});
        };
        recognizer.onFinalTranscription = [this](const Transcription& words, double offset) {
            events.push_back({Event::transcription, words.formattedString, words, offset,
                              MainQueue::isMainThread()});
        };
        recognizer.onSettled = [this](double time) {
            events.push_back({Event::settled, {}, {}, time, MainQueue::isMainThread()});
        };
    }
    std::vector<const Event*> of(Event::Kind kind) const {
        std::vector<const Event*> found;
        for (const auto& e : events) {
            if (e.kind == kind) found.push_back(&e);
        }
        return found;
    }
};

size_t wordCount(const std::string& text) {
    std::istringstream in(text);
    size_t n = 0;
    for (std::string w; in >> w;) ++n;
    return n;
}

std::shared_ptr<speech::SpeechRecognizer> english() {
    auto recognizer = speech::SpeechRecognizer::shared("en-US");
    EXPECT_TRUE(recognizer->isAvailable()) << "pocketsphinx-en-us is not installed";
    return recognizer;
}

TEST(LiveSpeechRecognizerTest, LanguagesKeepTheirRawValues) {
    EXPECT_EQ(rawValue(Language::chinese), "zh-CN");
    EXPECT_EQ(rawValue(Language::english), "en-US");
    EXPECT_EQ(languageFromRawValue("zh-CN"), Language::chinese);
    EXPECT_EQ(languageFromRawValue("en-US"), Language::english);
    EXPECT_FALSE(languageFromRawValue("en-us"));
    EXPECT_FALSE(languageFromRawValue(""));
}

// Two utterances with a pause between them, recognition started 10 s into the recording:
// each pause ends a task, the next task starts at the recording time reached, and the words of
// the second utterance land at the time they were spoken in the recording.
TEST(LiveSpeechRecognizerTest, UtterancesArriveInOrderAtTheirRecordingTimes) {
    test::PacedFeeder feeder;
    feeder.setTime(10);
    auto recognizer = LiveSpeechRecognizer::create(english(), feeder.clock());
    Recorder recorder;
    recorder.attach(*recognizer);

    auto first = librivox("0880");   // "he was not an ill disposed young man"
    auto second = librivox("0930");  // "he might even have been made amiable himself"
    auto lead = quiet(0.5), gap = quiet(1.5);
    double secondStart = 10 + test::seconds(lead) + test::seconds(first) + test::seconds(gap);

    recognizer->start(10);
    ASSERT_TRUE(recognizer->isRunning());
    EXPECT_EQ(recognizer->accumulatedOffset(), 10);
    feeder.feed(*recognizer, test::joined({lead, first, gap, second, quiet(1.0)}));
    recognizer->stop();
    ASSERT_TRUE(pumpUntil([&] { return !recognizer->task(); }, 120s));
    mainLoop().runPending();

    auto finals = recorder.of(Event::finalText);
    auto transcriptions = recorder.of(Event::transcription);
    ASSERT_EQ(finals.size(), 2u);
    ASSERT_EQ(transcriptions.size(), 2u);
    for (const auto& e : recorder.events) EXPECT_TRUE(e.onMainThread);
    // Each final text comes right before its transcription, with the same text.
    for (size_t i = 0; i + 1 < recorder.events.size(); ++i) {
        if (recorder.events[i + 1].kind == Event::transcription) {
            EXPECT_EQ(recorder.events[i].kind, Event::finalText);
            EXPECT_EQ(recorder.events[i].text, recorder.events[i + 1].text);
        }
    }
    EXPECT_NE(transcriptions[0]->text.find("young man"), std::string::npos)
        << transcriptions[0]->text;
    EXPECT_NE(transcriptions[1]->text.find("might even have been made"), std::string::npos)
        << transcriptions[1]->text;

    EXPECT_EQ(transcriptions[0]->offset, 10);
    EXPECT_GT(transcriptions[1]->offset, 10 + test::seconds(lead) + test::seconds(first));
    EXPECT_LT(transcriptions[1]->offset, secondStart);
    for (const auto* t : transcriptions) {
        double previousEnd = 0;
        for (const auto& word : t->words.segments) {
            EXPECT_FALSE(word.substring.empty());
            EXPECT_EQ(word.substring.find_first_of("<[+("), std::string::npos) << word.substring;
            EXPECT_GE(word.timestamp, previousEnd - 1e-9) << word.substring;
            EXPECT_GT(word.duration, 0);
            previousEnd = word.timestamp + word.duration;
        }
    }
    double firstWordOfSecond =
        transcriptions[1]->offset + transcriptions[1]->words.segments.front().timestamp;
    EXPECT_NEAR(firstWordOfSecond, secondStart + 0.25, 0.3);
    double firstWordOfFirst = 10 + transcriptions[0]->words.segments.front().timestamp;
    EXPECT_NEAR(firstWordOfFirst, 10 + test::seconds(lead) + 0.25, 0.3);

    // Partial texts of the first utterance grow towards its final text.
    std::vector<std::string> partials;
    for (const auto& e : recorder.events) {
        if (e.kind == Event::finalText) break;
        if (e.kind == Event::partial) partials.push_back(e.text);
    }
    ASSERT_GE(partials.size(), 3u);
    EXPECT_LT(wordCount(partials.front()), wordCount(partials.back()));
    EXPECT_GE(wordCount(finals[0]->text), wordCount(partials.back()) - 1);

    EXPECT_FALSE(recognizer->isRunning());
    EXPECT_FALSE(recognizer->request());
}

// Stop in the middle of speech: the audio ends, the task still reports its final result on the
// main thread, and no new task starts after it.
TEST(LiveSpeechRecognizerTest, StopLetsTheLastTaskReportAndStartsNothingNew) {
    test::PacedFeeder feeder;
    auto recognizer = LiveSpeechRecognizer::create(english(), feeder.clock());
    Recorder recorder;
    recorder.attach(*recognizer);

    recognizer->start(-2);  // a negative offset: time 0 lies ahead
    EXPECT_EQ(recognizer->startDate(), 2.0);
    EXPECT_EQ(recognizer->accumulatedOffset(), 0);

    auto speech = librivox("0920");  // a long sentence: still speaking when stopped
    auto pieces = speech::splitAudio(speech, 2.5);
    feeder.feed(*recognizer, pieces.front());
    auto lastRequest = recognizer->request();
    ASSERT_TRUE(lastRequest);
    recognizer->stop();
    EXPECT_FALSE(recognizer->isRunning());
    EXPECT_FALSE(recognizer->request());
    EXPECT_TRUE(lastRequest->isAudioEnded());
    // Audio for a stopped recogniser goes nowhere.
    recognizer->appendAudioSample(pieces[1]);
    EXPECT_EQ(lastRequest->appendedFrameCount(), pieces.front().frameCount());

    ASSERT_TRUE(pumpUntil([&] { return !recorder.of(Event::transcription).empty(); }, 120s));
    ASSERT_TRUE(pumpUntil([&] { return !recognizer->task(); }, 10s));
    mainLoop().runFor(300ms);
    auto finals = recorder.of(Event::finalText);
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_GE(wordCount(finals[0]->text), 3u) << finals[0]->text;
    EXPECT_EQ(recorder.of(Event::transcription).size(), 1u);
    EXPECT_EQ(recorder.of(Event::transcription)[0]->offset, 0);
    EXPECT_TRUE(finals[0]->onMainThread);
    EXPECT_EQ(recorder.events.back().kind, Event::transcription);
    EXPECT_FALSE(recognizer->request());
}

// The recogniser has fallen behind: the microphone delivered the first sentence in a burst, and
// the recording is finished while the rest is still on its way. Every sentence said before the
// finish is recognised at the time it was said, what came after it is not, and the settled time
// follows the last final result.
TEST(LiveSpeechRecognizerTest, FinishRecognisesEverythingSaidBeforeItAtItsTime) {
    test::PacedFeeder feeder;
    feeder.setTime(5);
    auto recognizer = LiveSpeechRecognizer::create(english(), feeder.clock());
    Recorder recorder;
    recorder.attach(*recognizer);

    auto first = librivox("0880");   // "he was not an ill disposed young man"
    auto second = librivox("0930");  // "he might even have been made amiable himself"
    auto lead = quiet(0.5), gap = quiet(1.5);
    const double secondStart = 5 + test::seconds(lead) + test::seconds(first) + test::seconds(gap);
    recognizer->start(5);
    feeder.burst(*recognizer, test::joined({lead, first}));
    // Recording time reached at the finish: the rest was said by then but has not come yet.
    const auto rest = test::joined({gap, second, quiet(0.6)});
    const auto late = test::joined({first});  // said after the finish
    feeder.setTime(5 + test::seconds(lead) + test::seconds(first) + test::seconds(rest) - 0.3);
    const std::optional<double> until = recognizer->finish();
    ASSERT_TRUE(until.has_value());
    EXPECT_DOUBLE_EQ(*until, feeder.clock()());
    EXPECT_FALSE(recognizer->isRunning());
    EXPECT_TRUE(recognizer->isFinishing());
    feeder.setTime(5 + test::seconds(lead) + test::seconds(first));
    feeder.burst(*recognizer, test::joined({rest, late}));

    ASSERT_TRUE(pumpUntil([&] { return !recognizer->isFinishing(); }, 120s));
    ASSERT_TRUE(pumpUntil([&] { return !recognizer->task(); }, 10s));
    mainLoop().runFor(200ms);
    auto transcriptions = recorder.of(Event::transcription);
    ASSERT_EQ(transcriptions.size(), 2u);
    EXPECT_NE(transcriptions[0]->text.find("young man"), std::string::npos)
        << transcriptions[0]->text;
    EXPECT_NE(transcriptions[1]->text.find("might even have been made"), std::string::npos)
        << transcriptions[1]->text;
    EXPECT_NEAR(transcriptions[0]->offset + transcriptions[0]->words.segments.front().timestamp,
                5 + test::seconds(lead) + 0.25, 0.3);
    EXPECT_NEAR(transcriptions[1]->offset + transcriptions[1]->words.segments.front().timestamp,
                secondStart + 0.25, 0.3);
    // Settled times only grow, never pass a final still to come, and end at the finish.
    double last = 0;
    bool finalsToCome = true;
    for (const auto& e : recorder.events) {
        if (e.kind == Event::transcription && &e == transcriptions.back()) finalsToCome = false;
        if (e.kind != Event::settled) continue;
        EXPECT_GE(e.offset, last);
        last = e.offset;
        if (finalsToCome) {
            EXPECT_LE(e.offset, secondStart);
        }
    }
    ASSERT_EQ(recorder.events.back().kind, Event::settled);
    EXPECT_DOUBLE_EQ(recorder.events.back().offset, *until);
    EXPECT_FALSE(recognizer->request());

    // Nothing runs: nothing to finish.
    EXPECT_FALSE(recognizer->finish().has_value());
}

// A task that ends in an error (here cancelled under the recogniser's feet) is not reported; the
// next task starts at once and places its speech where it was said.
TEST(LiveSpeechRecognizerTest, ATaskErrorStartsTheNextTask) {
    test::PacedFeeder feeder;
    auto recognizer = LiveSpeechRecognizer::create(english(), feeder.clock());
    Recorder recorder;
    recorder.attach(*recognizer);
    recognizer->start(0);
    // Something was said before the error, as in a recording that has been going on.
    const auto before = test::joined({quiet(0.5), librivox("0930"), quiet(1.0)});
    feeder.feed(*recognizer, before);
    ASSERT_TRUE(pumpUntil([&] { return !recorder.of(Event::transcription).empty(); }, 120s));
    ASSERT_TRUE(pumpUntil([&] { return recognizer->task() != nullptr; }, 30s));
    auto failing = recognizer->task();
    auto failingRequest = recognizer->request();
    failing->cancel();
    ASSERT_TRUE(
        pumpUntil([&] { return recognizer->task() && recognizer->task() != failing; }, 30s));
    EXPECT_TRUE(recognizer->isRunning());
    EXPECT_NE(recognizer->request(), failingRequest);

    feeder.feed(*recognizer, test::joined({quiet(0.3), librivox("0880"), quiet(1.0)}));
    ASSERT_TRUE(pumpUntil([&] { return recorder.of(Event::transcription).size() >= 2; }, 120s));
    recognizer->stop();
    auto transcription = recorder.of(Event::transcription).back();
    EXPECT_NE(transcription->text.find("young man"), std::string::npos) << transcription->text;
    EXPECT_NEAR(transcription->offset + transcription->words.segments.front().timestamp,
                test::seconds(before) + 0.3 + 0.25, 0.3);
    for (const auto* e : recorder.of(Event::finalText)) EXPECT_NE(e->text, "[语音识别不可用]");
}

// Without a model, or with one that fails to load, every start says so exactly once.
TEST(LiveSpeechRecognizerTest, UnavailableModelIsReportedOncePerStart) {
    auto expectOneNoticePerStart = [](const std::shared_ptr<speech::SpeechRecognizer>& engine) {
        auto recognizer = LiveSpeechRecognizer::create(engine);
        Recorder recorder;
        recorder.attach(*recognizer);
        for (size_t start = 1; start <= 2; ++start) {
            recognizer->start(0);
            ASSERT_TRUE(pumpUntil([&] { return recorder.events.size() >= start; }, 120s));
            mainLoop().runFor(200ms);
            ASSERT_EQ(recorder.events.size(), start);
            EXPECT_EQ(recorder.events.back().kind, Event::finalText);
            EXPECT_EQ(recorder.events.back().text, "[语音识别不可用]");
            EXPECT_FALSE(recognizer->isRunning());
            EXPECT_FALSE(recognizer->request());
        }
    };
    expectOneNoticePerStart(speech::SpeechRecognizer::shared("zh-CN", std::nullopt));

    // A complete-looking model whose language model is garbage: found, then fails to load
    // in the background, possibly after the start.
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("zimlo-broken-model-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "broken.lm") << "this is not an n-gram model\n";
    auto base = fs::path("/usr/share/pocketsphinx/model/en-us");
    speech::ModelPaths broken{base / "en-us", base / "cmudict-en-us.dict", dir / "broken.lm"};
    test::LogCapture captured(log::Level::warn);
    expectOneNoticePerStart(speech::SpeechRecognizer::shared("zh-CN", broken));
    fs::remove_all(dir);
    // The failed load is logged once, after PocketSphinx's own complaint (no longer thrown away).
    const auto failed = captured.linesWith("speech: loading the speech model failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_NE(failed[0].find(base.string() + " failed to load"), std::string::npos) << failed[0];
    EXPECT_FALSE(captured.linesWith("pocketsphinx: ERROR").empty());
}

}  // namespace
}  // namespace zimlo
