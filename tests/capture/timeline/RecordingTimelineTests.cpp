// The movie's timeline with pauses cut out: the rules on their own, and a writer that takes
// frames and sound across a pause.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <thread>

#include "capture/RecordingFileWriter.h"
#include "capture/RecordingTimeline.h"
#include "platform/media/Probe.h"
#include "platform/media/SoundReading.h"
#include "platform/media/SyntheticMedia.h"
#include "support/TestMain.h"

namespace zimlo::capture {
namespace {

using media::MediaTime;

MediaTime at(double seconds) { return MediaTime::fromSeconds(seconds, 1'000'000'000); }

// An audio packet of `frames` frames at 48 kHz whose frame i holds the value i (mono).
media::AudioSample counting(double start, int frames) {
    media::AudioSample sample;
    sample.format = media::SampleFormat::Float32;
    sample.sampleRate = 48000;
    sample.channels = 1;
    sample.data.resize(static_cast<size_t>(frames) * 4);
    for (int i = 0; i < frames; ++i) {
        const float value = static_cast<float>(i);
        std::memcpy(sample.data.data() + static_cast<size_t>(i) * 4, &value, 4);
    }
    sample.presentationTime = at(start);
    return sample;
}

float firstValue(const media::AudioSample& sample) {
    float value = 0;
    std::memcpy(&value, sample.data.data(), 4);
    return value;
}

TEST(RecordingTimeline, PausesAreCutOutOfTheClock) {
    RecordingTimeline timeline;
    EXPECT_FALSE(timeline.resume(at(1)));  // not paused
    EXPECT_TRUE(timeline.pause(at(10)));
    EXPECT_FALSE(timeline.pause(at(11)));  // already paused
    EXPECT_TRUE(timeline.isPaused());
    // While paused, everything from the pause on is in it and the movie stands still.
    EXPECT_TRUE(timeline.isInPause(at(10)));
    EXPECT_TRUE(timeline.isInPause(at(100)));
    EXPECT_FALSE(timeline.isInPause(at(9.999)));
    EXPECT_NEAR(timeline.movieTime(at(12)).seconds(), 10, 1e-9);
    EXPECT_FALSE(timeline.resume(at(9)));  // before the pause began
    EXPECT_TRUE(timeline.resume(at(13)));
    EXPECT_FALSE(timeline.isPaused());
    EXPECT_FALSE(timeline.pause(at(12)));  // before the last resume
    ASSERT_TRUE(timeline.pause(at(20)));
    ASSERT_TRUE(timeline.resume(at(20.5)));

    EXPECT_NEAR(timeline.movieTime(at(5)).seconds(), 5, 1e-9);
    EXPECT_NEAR(timeline.movieTime(at(13)).seconds(), 10, 1e-9);
    EXPECT_NEAR(timeline.movieTime(at(15)).seconds(), 12, 1e-9);
    EXPECT_NEAR(timeline.movieTime(at(30)).seconds(), 26.5, 1e-9);
    EXPECT_NEAR(timeline.pausedSecondsBefore(30), 3.5, 1e-9);
    EXPECT_NEAR(timeline.pausedSecondsBefore(11), 1, 1e-9);  // a pause counts up to the instant
    EXPECT_FALSE(timeline.isInPause(at(13)));                // the resume itself is recorded
    EXPECT_TRUE(timeline.isInPause(at(20.2)));
    EXPECT_EQ(timeline.resumeTimeAfter(at(12)), at(13));
    EXPECT_EQ(timeline.resumeTimeAfter(at(14)), std::nullopt);

    media::VideoSample frame;
    frame.presentationTime = at(11);
    EXPECT_FALSE(timeline.videoOnTimeline(frame));
    frame.presentationTime = at(14);
    ASSERT_TRUE(timeline.videoOnTimeline(frame));
    EXPECT_NEAR(timeline.videoOnTimeline(frame)->presentationTime.seconds(), 11, 1e-9);
}

TEST(RecordingTimeline, SoundIsCutAtEveryPauseEdgeAndMovedUp) {
    RecordingTimeline timeline;
    ASSERT_TRUE(timeline.pause(at(1.005)));
    ASSERT_TRUE(timeline.resume(at(1.010)));

    // Before and after: whole, the later one moved up by the pause.
    auto before = timeline.audioOnTimeline(counting(0.5, 480));
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].frameCount(), 480);
    EXPECT_EQ(before[0].presentationTime, at(0.5));
    auto after = timeline.audioOnTimeline(counting(2, 480));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NEAR(after[0].presentationTime.seconds(), 1.995, 1e-9);

    // A 20 ms packet from 1.000 holds the whole 5 ms pause: 5 ms before it, 10 ms after it,
    // which follow each other without a gap on the movie.
    auto across = timeline.audioOnTimeline(counting(1.0, 960));
    ASSERT_EQ(across.size(), 2u);
    EXPECT_EQ(across[0].frameCount(), 240);
    EXPECT_EQ(firstValue(across[0]), 0);
    EXPECT_NEAR(across[0].presentationTime.seconds(), 1.0, 1e-9);
    EXPECT_EQ(across[1].frameCount(), 480);
    EXPECT_EQ(firstValue(across[1]), 480);
    EXPECT_NEAR(across[1].presentationTime.seconds(), 1.005, 1e-9);

    // A packet wholly inside a pause is gone; one into a pause still under way keeps its head.
    RecordingTimeline open;
    ASSERT_TRUE(open.pause(at(3)));
    EXPECT_TRUE(open.audioOnTimeline(counting(3.2, 480)).empty());
    auto head = open.audioOnTimeline(counting(2.995, 480));
    ASSERT_EQ(head.size(), 1u);
    EXPECT_EQ(head[0].frameCount(), 240);
}

// A writer given the timeline: three seconds of moving pictures and a 440 Hz tone, a second
// of pause with other pictures and an 880 Hz tone, then two seconds more. The movie is five
// seconds long, its pictures and sound have no hole, and the pause's tone is not in it.
TEST(RecordingTimeline, WriterLeavesThePauseOutOfPictureAndSound) {
    test::ScratchDirectory dir;
    const auto url = dir / "paused.mov";
    auto timeline = std::make_shared<RecordingTimeline>();
    ASSERT_TRUE(timeline->pause(at(53)));
    ASSERT_TRUE(timeline->resume(at(54)));
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie,
                                              {AudioSource::system}, CaptureFrameRate::fps30, false,
                                              timeline);
    for (int i = 0; i < 180; ++i) {
        const MediaTime t = MediaTime::make(50 * 30 + i, 30);
        const bool paused = timeline->isInPause(t);
        writer->appendVideo(test::videoSample(test::movingPicture(160, 120, i), t));
        writer->appendAudio(
            test::toneSample(t, 1600, paused ? 880 : 440, 0.5f, 48000, int64_t{i} * 1600),
            AudioSource::system);
        // At capture pace: the writer drops what it cannot take at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
    EXPECT_EQ(writer->droppedVideoFrames(), 0u);
    std::optional<WriterResult> result;
    writer->finish([&](WriterResult r) { result = std::move(r); });
    ASSERT_TRUE(test::pumpUntil([&] { return result.has_value(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(result->ok()) << result->error().description();

    test::Probe probe(url);
    EXPECT_EQ(probe.streamNumber(0, "nb_read_packets"), 150);
    EXPECT_NEAR(probe.streamNumber(0, "duration"), 5.0, 1.0 / 30);
    EXPECT_NEAR(probe.streamNumber(1, "duration"), 5.0, 1.0 / 30);
    const auto times = test::commandOutput(
        "ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" +
        url.string() + "' | sort -g");
    std::istringstream lines(times);
    // Around the place the pause was cut out (3 s), frames follow at the frame rate.
    double previous = -1, widest = 0;
    for (double t; lines >> t; previous = t)
        if (previous >= 2.5 && t <= 3.5) widest = std::max(widest, t - previous);
    EXPECT_NEAR(widest, 1.0 / 30, 0.005) << "a hole in the pictures where the pause was";

    // Sound: 440 Hz throughout, never the pause's 880 Hz (zero crossings per second tell, from
    // 50 ms into each second: the movie begins with the sound encoder's priming, 21 ms of what a
    // tone cut in makes of it).
    const auto left = test::leftChannelOfFirstSoundTrack(url);
    ASSERT_GT(left.size(), 48000u * 4);
    for (size_t second = 0; second + 1 < left.size() / 48000; ++second) {
        int crossings = 0;
        for (size_t i = second * 48000 + 2400; i < (second + 1) * 48000; ++i)
            if ((left[i - 1] < 0) != (left[i] < 0)) ++crossings;
        EXPECT_NEAR(crossings, 836, 40) << "second " << second << " is not the 440 Hz tone";
    }
}

}  // namespace
}  // namespace zimlo::capture
