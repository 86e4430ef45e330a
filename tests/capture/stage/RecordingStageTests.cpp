#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <vector>

#include "capture/RecordingStage.h"
#include "platform/media/MonotonicClock.h"
#include "platform/media/SoundReading.h"
#include "platform/media/SyntheticMedia.h"
#include "support/TestMain.h"

namespace zimlo::capture {
namespace {

using media::MediaTime;
namespace fs = std::filesystem;

constexpr int kFps = 30;

// Seconds into the movie until which its sound is louder than a whisper.
double heardUntil(const fs::path& movie) {
    const auto left = test::leftChannelOfFirstSoundTrack(movie);
    auto last =
        std::find_if(left.rbegin(), left.rend(), [](float v) { return std::fabs(v) > 0.3f; });
    return static_cast<double>(left.rend() - last) / 48000;
}

// The computer's sound reaches the recording in batches, so the one holding the stop arrives
// after it. The movies wait for it; a source that sends nothing more ends them after a moment.
TEST(RecordingStage, SoundOfTheLastMomentsThatComesAfterTheStopIsHeardUpToIt) {
    test::ScratchDirectory dir;
    for (const bool soundComes : {true, false}) {
        SCOPED_TRACE(soundComes ? "the last batch comes" : "nothing comes after the stop");
        std::optional<std::optional<fs::path>> finished;
        auto stage = std::make_shared<RecordingStage>(
            dir.path(), RecordingStage::Handlers{[&](auto main, auto) { finished.emplace(main); },
                                                 [](const WriterError&) {}});
        ASSERT_TRUE(stage->start(false, CaptureFrameRate::fps30, false));
        // On a frame's tick, in the past: nothing here is stamped later than it is handed over.
        const double start = std::floor((media::MonotonicClock::nowSeconds() - 3) * kFps) / kFps;
        auto at = [&](double seconds) { return MediaTime::fromSeconds(start + seconds, 48000); };
        for (int i = 0; i < 75; ++i)
            stage->takeScreenPicture(
                test::videoSample(test::movingPicture(320, 240, i),
                                  MediaTime::make(std::llround(start * kFps) + i, kFps)));
        auto batch = [&](int from, int to) {
            for (int i = from; i < to; ++i)
                stage->takeSystemAudio(
                    test::toneSample(at(i * 0.02), 960, 440, 0.5f, 48000, int64_t{i} * 960));
        };
        batch(0, 110);  // up to 2.2 s
        stage->stop(at(2.45));
        // Handed over before the main queue runs again, as a batch would arrive.
        if (soundComes) batch(110, 125);  // up to 2.5 s, past the stop
        ASSERT_TRUE(
            test::pumpUntil([&] { return finished.has_value(); }, std::chrono::seconds(60)));
        ASSERT_TRUE(finished->has_value());
        EXPECT_NEAR(heardUntil(**finished), soundComes ? 2.45 : 2.2, 1024.0 / 48000);
    }
}

}  // namespace
}  // namespace zimlo::capture
