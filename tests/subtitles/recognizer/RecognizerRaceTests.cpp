// Built with ThreadSanitizer: microphone appends on their own thread race with task restarts on
// the recogniser's queue (which hand the audio on) and with stop, start and finish on the main
// thread.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include "platform/media/MonotonicClock.h"
#include "subtitles/recognizer/RecognizerTestAudio.h"

namespace zimlo {
namespace {

using namespace std::chrono_literals;

TEST(LiveSpeechRecognizerRaceTest, AppendsRacingWithRestartsLoseNoRequest) {
    auto engine = speech::SpeechRecognizer::shared("en-US");
    ASSERT_TRUE(engine->isAvailable());
    auto recognizer = LiveSpeechRecognizer::create(engine);
    std::vector<std::string> finals;
    int texts = 0;
    recognizer->onText = [&](const std::string& text, bool isFinal) {
        ++texts;
        if (isFinal) finals.push_back(text);
    };

    // Short sentences with short pauses, so tasks end and restart often.
    auto sentence = test::librivox("0880");
    auto audio = test::joined(
        {sentence, test::quiet(0.8), sentence, test::quiet(0.8), sentence, test::quiet(0.8)});
    auto pieces = speech::splitAudio(audio, 0.02);
    ASSERT_TRUE(engine->waitUntilLoaded(300));

    std::mutex seenMutex;
    std::set<std::shared_ptr<speech::AudioBufferRecognitionRequest>> seen;
    std::atomic<bool> feeding{true};
    // The microphone queue: appends in real time, round and round, until told to stop.
    std::thread microphone([&] {
        auto next = std::chrono::steady_clock::now();
        for (size_t i = 0; feeding; i = (i + 1) % pieces.size()) {
            // The owner's way of appending: take the current request, append to it.
            if (auto request = recognizer->request()) {
                media::AudioSample piece = pieces[i];
                piece.presentationTime = media::MonotonicClock::now();  // as captured
                request->appendAudioSample(std::move(piece));
                std::lock_guard lock(seenMutex);
                seen.insert(request);
            }
            next += 20ms;
            std::this_thread::sleep_until(next);
        }
    });

    recognizer->start(0);
    // Once a result is in, restart by hand: a stop and a start racing with the queue's own
    // restarts and with the appends. Then wait for a result of the new session.
    bool firstResult = test::pumpUntil([&] { return !finals.empty(); }, 300s);
    recognizer->stop();
    recognizer->start(1);
    size_t before = finals.size();
    bool laterResult = test::pumpUntil([&] { return finals.size() > before; }, 300s);
    // Finished while the microphone goes on: the first sample past the end ends it.
    const bool finishing = recognizer->finish().has_value();
    bool finished = test::pumpUntil([&] { return !recognizer->isFinishing(); }, 300s);
    feeding = false;
    microphone.join();
    ASSERT_TRUE(test::pumpUntil([&] { return !recognizer->task(); }, 120s));
    test::mainLoop().runFor(200ms);

    ASSERT_TRUE(firstResult);
    ASSERT_TRUE(laterResult);
    EXPECT_TRUE(finishing);
    EXPECT_TRUE(finished);
    bool heard = false;
    for (const auto& text : finals) heard = heard || text.find("young") != std::string::npos;
    EXPECT_TRUE(heard) << finals.front();
    // Every request that took audio was decoded to its end or ended: none is left waiting.
    std::lock_guard lock(seenMutex);
    EXPECT_GE(seen.size(), 2u);
    for (const auto& request : seen) EXPECT_FALSE(request->hasPendingAudio());
    EXPECT_FALSE(recognizer->request());
}

}  // namespace
}  // namespace zimlo
