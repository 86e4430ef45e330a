#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "capture/RecordingFileWriter.h"
#include "capture/RecordingTimeline.h"
#include "model/MediaErrorText.h"
#include "platform/log/Log.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MonotonicClock.h"
#include "platform/media/Probe.h"
#include "platform/media/SoundReading.h"
#include "platform/media/SyntheticMedia.h"
#include "support/ResultValue.h"
#include "support/TestMain.h"

namespace zimlo::capture {
namespace {

using media::MediaTime;
using test::Probe;

constexpr int kFps = 30;

MediaTime frameTime(int frame, double startSeconds = 50) {
    // Rounded: a start taken on a tick, k / 30, times 30 may come out a hair under k.
    return MediaTime::make(std::llround(startSeconds * kFps) + frame, kFps);
}

WriterResult finishAndWait(RecordingFileWriter& writer) {
    std::optional<WriterResult> result;
    writer.finish([&](WriterResult r) {
        EXPECT_TRUE(MainQueue::isMainThread());
        result = std::move(r);
    });
    EXPECT_TRUE(test::pumpUntil([&] { return result.has_value(); }, std::chrono::seconds(120)));
    return result.value_or(WriterResult(
        fail(WriterError::writerFailed(WriterError::Step::finishing, writer.outputPath(), {}))));
}

// Frames and sound at capture pace are simulated by timestamps; the writer does not care how
// fast they arrive.
void feed(RecordingFileWriter& writer, int frames, bool withAudio, double startSeconds = 50) {
    for (int i = 0; i < frames; ++i) {
        writer.appendVideo(
            test::videoSample(test::movingPicture(320, 240, i), frameTime(i, startSeconds)));
        if (withAudio) {
            writer.appendAudio(test::toneSample(frameTime(i, startSeconds), 1600, 440, 0.5f, 48000,
                                                int64_t{i} * 1600),
                               AudioSource::system);
            writer.appendAudio(test::toneSample(frameTime(i, startSeconds), 1600, 660, 0.3f, 48000,
                                                int64_t{i} * 1600),
                               AudioSource::microphone);
        }
    }
}

TEST(RecordingFileWriterRules, BitRateFollowsPictureSizeAndRateWithinClamps) {
    using W = RecordingFileWriter;
    EXPECT_EQ(W::averageBitRate(1280, 720, CaptureFrameRate::fps24), 3'686'400);
    EXPECT_EQ(W::averageBitRate(1920, 1080, CaptureFrameRate::fps30), 8'294'400);
    EXPECT_EQ(W::averageBitRate(1920, 1080, CaptureFrameRate::fps60), 16'588'800);
    EXPECT_EQ(W::averageBitRate(2560, 1440, CaptureFrameRate::fps120), 48'000'000);
    EXPECT_EQ(W::averageBitRate(3840, 2160, CaptureFrameRate::fps120), 48'000'000);
    EXPECT_EQ(W::averageBitRate(320, 240, CaptureFrameRate::fps60), 2'000'000);
    EXPECT_EQ(W::averageBitRate(640, 360, CaptureFrameRate::fps30), 2'000'000);
    EXPECT_EQ(W::bitRateMultiplier(CaptureFrameRate::fps24), 1);
    EXPECT_EQ(W::bitRateMultiplier(CaptureFrameRate::fps120), 4);

    EXPECT_EQ(WriterError::missingFormatDescription({}).description(), "缺少视频格式信息");
    // A writer that stopped without saying why still gets words.
    EXPECT_EQ(WriterError::writerFailed(WriterError::Step::finishing, {}, {}).description(),
              "写入失败");
    EXPECT_EQ(audioTrackLabel(AudioSource::microphone), "麦克风声音");
}

TEST(RecordingFileWriter, NoFrameEverFinishesWithSuccessAndNoFile) {
    test::ScratchDirectory dir;
    auto writer =
        RecordingFileWriter::create(dir / "none.mov", media::MovieFileType::quickTimeMovie,
                                    {AudioSource::system}, CaptureFrameRate::fps30);
    writer->appendAudio(test::toneSample(frameTime(0), 4800), AudioSource::system);
    WriterResult result = finishAndWait(*writer);
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.value(), dir / "none.mov");
    EXPECT_FALSE(std::filesystem::exists(dir / "none.mov"));
}

// Track order, codecs, profile, rates and channel counts; sound from before the first frame
// is not written; the first frame is time zero; a finish queued behind pending frames writes
// them all.
TEST(RecordingFileWriter, WritesVideoSystemAudioAndMicrophoneFromTheFirstFrame) {
    test::ScratchDirectory dir;
    auto url = dir / "screen.mov";
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie,
                                              {AudioSource::microphone, AudioSource::system},
                                              CaptureFrameRate::fps30);
    // One second of sound before any picture: dropped.
    for (int i = 0; i < 10; ++i)
        writer->appendAudio(test::toneSample(frameTime(i, 49), 4800, 440, 0.5f),
                            AudioSource::system);
    const int frames = 90;
    feed(*writer, frames, true);
    WriterResult result = finishAndWait(*writer);
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(writer->droppedAudioSamples(), 0u);

    Probe probe(url);
    ASSERT_EQ(probe.streamCount(), 3) << probe.raw();
    EXPECT_EQ(probe.stream(0, "codec_type"), "video");
    EXPECT_EQ(probe.stream(0, "codec_name"), "h264");
    EXPECT_EQ(probe.stream(0, "profile"), "High");
    EXPECT_EQ(probe.stream(0, "pix_fmt"), "yuv420p");
    EXPECT_EQ(probe.stream(0, "width"), "320");
    int written = frames - static_cast<int>(writer->droppedVideoFrames());
    EXPECT_EQ(probe.streamNumber(0, "nb_read_packets"), written);
    EXPECT_NEAR(probe.streamNumber(0, "start_time"), 0, 1e-3);
    if (writer->droppedVideoFrames() == 0) {
        EXPECT_NEAR(probe.streamNumber(0, "duration"), frames / 30.0, 1.0 / 30);
    }
    for (int audio : {1, 2}) {
        EXPECT_EQ(probe.stream(audio, "codec_type"), "audio");
        EXPECT_EQ(probe.stream(audio, "codec_name"), "aac");
        EXPECT_EQ(probe.stream(audio, "profile"), "LC");
        EXPECT_EQ(probe.stream(audio, "sample_rate"), "48000");
        EXPECT_EQ(probe.stream(audio, "channels"), "2");
        // The early second of sound would have made the track a second longer.
        EXPECT_NEAR(probe.streamNumber(audio, "duration"), frames / 30.0, 1.0 / 30) << audio;
    }

    // System audio (440 Hz, 0.5) is the first audio track, the microphone (0.3) the second.
    auto asset = test::valueOrFailure(media::MovieAsset::open(url));
    ASSERT_TRUE(asset);
    auto audioTracks = asset->tracks(media::MediaType::audio);
    ASSERT_EQ(audioTracks.size(), 2u);
    auto peak = [&](int trackID) {
        auto reader = test::valueOrFailure(media::AudioMixReader::open(*asset, {{trackID, 1.0f}}));
        float highest = 0;
        while (auto chunk = reader->next()) {
            auto* s = reinterpret_cast<const float*>(chunk->data.data());
            for (size_t i = 0; i < chunk->data.size() / 4; ++i)
                highest = std::max(highest, std::fabs(s[i]));
        }
        return highest;
    };
    EXPECT_NEAR(peak(audioTracks[0].trackID), 0.5f, 0.08f);
    EXPECT_NEAR(peak(audioTracks[1].trackID), 0.3f, 0.08f);
}

// Sound reaches the writer ahead of the first frame when the frame is slow to arrive or to set up
// the encoder with; what was captured after that frame is still written from the movie's start.
TEST(RecordingFileWriter, SoundQueuedBeforeTheFirstFrameButCapturedAfterItIsWritten) {
    test::ScratchDirectory dir;
    auto url = dir / "early.mov";
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie,
                                              {AudioSource::system}, CaptureFrameRate::fps30);
    // Half a second before the frame (trimmed) and one second after it, all queued first.
    for (int i = 0; i < 15; ++i) {
        auto time = MediaTime::make(49 * 10 + 5 + i, 10);
        writer->appendAudio(test::toneSample(time, 4800, 440, 0.5f, 48000, int64_t{i} * 4800),
                            AudioSource::system);
    }
    feed(*writer, 60, false);
    WriterResult result = finishAndWait(*writer);
    ASSERT_TRUE(result.ok()) << result.error().description();

    auto asset = test::valueOrFailure(media::MovieAsset::open(url));
    ASSERT_TRUE(asset);
    auto audioTracks = asset->tracks(media::MediaType::audio);
    ASSERT_EQ(audioTracks.size(), 1u);
    auto reader =
        test::valueOrFailure(media::AudioMixReader::open(*asset, {{audioTracks[0].trackID, 1.0f}}));
    ASSERT_TRUE(reader);
    std::vector<float> sound;
    while (auto chunk = reader->next()) {
        auto* s = reinterpret_cast<const float*>(chunk->data.data());
        sound.insert(sound.end(), s, s + chunk->data.size() / 4);
    }
    auto loud =
        std::find_if(sound.begin(), sound.end(), [](float v) { return std::fabs(v) > 0.3f; });
    ASSERT_NE(loud, sound.end());
    EXPECT_LT((loud - sound.begin()) / 2,
              48000 / 20);  // within 50 ms of the start (encoder priming)
    // The trimmed half second is not there: the tone lasts its one second after the frame (the
    // track then goes on in silence as long as the pictures do).
    auto lastLoud =
        std::find_if(sound.rbegin(), sound.rend(), [](float v) { return std::fabs(v) > 0.3f; });
    EXPECT_NEAR(static_cast<double>(sound.rend() - lastLoud - (loud - sound.begin())) / 2 / 48000,
                1.0, 0.1);
}

// A sound source that ran ahead of time (a backlog let go at once and counted on from its start)
// stamps sound seconds past the moment it hands it over. None of that is written, nor a picture
// stamped ahead, and the packet that reaches past the moment is cut there: the movie lasts as
// long as the recording did.
TEST(RecordingFileWriter, NothingStampedPastTheMomentItCameIsWritten) {
    test::ScratchDirectory dir;
    auto url = dir / "ahead.mov";
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie,
                                              {AudioSource::system, AudioSource::microphone},
                                              CaptureFrameRate::fps30);
    // Two seconds of pictures and both sounds, up to now.
    const double start = media::MonotonicClock::nowSeconds() - 2;
    feed(*writer, 60, true, start);
    // Then the microphone runs ahead: six seconds at once, from a packet across the present on.
    const MediaTime now = media::MonotonicClock::now();
    for (int i = 0; i < 60; ++i)
        writer->appendAudio(
            test::toneSample(now + MediaTime::make(i * 4800 - 2400, 48000), 4800, 660, 0.3f),
            AudioSource::microphone);
    writer->appendVideo(test::videoSample(test::movingPicture(320, 240, 99), frameTime(90, start)));
    const double recorded = media::MonotonicClock::nowSeconds() - frameTime(0, start).seconds();
    WriterResult result = finishAndWait(*writer);
    ASSERT_TRUE(result.ok()) << result.error().description();

    Probe probe(url);
    ASSERT_EQ(probe.streamCount(), 3) << probe.raw();
    EXPECT_EQ(probe.streamNumber(0, "nb_read_packets"),
              60 - static_cast<int>(writer->droppedVideoFrames()));
    // Up to the finish, and a few hundredths of tolerance and of the last sound packet.
    EXPECT_GT(probe.streamNumber(2, "duration"), 2.0);
    EXPECT_LT(probe.streamNumber(2, "duration"), recorded + 0.08);
    EXPECT_LT(probe.formatNumber("duration"), recorded + 0.08);
}

// The stop is taken a moment before the last samples are handed over, and sound may be stamped
// a little past the moment it came: what lies past the stop is cut there and everything before
// it is written, also when a pause moved the stop up on the movie's timeline.
TEST(RecordingFileWriter, NoSoundPastTheStopIsWritten) {
    test::ScratchDirectory dir;
    for (const bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "after a pause of 0.5 s" : "without a pause");
        auto url = dir / (paused ? "paused.mov" : "straight.mov");
        auto timeline = std::make_shared<capture::RecordingTimeline>();
        auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie,
                                                  {AudioSource::system, AudioSource::microphone},
                                                  CaptureFrameRate::fps30, false, timeline);
        // On a frame's tick, so that the first picture (the movie's time zero) comes at `start`.
        const double start = std::floor((media::MonotonicClock::nowSeconds() - 3) * kFps) / kFps;
        auto at = [&](double seconds) { return MediaTime::fromSeconds(start + seconds, 48000); };
        if (paused) {
            ASSERT_TRUE(timeline->pause(at(1.0)));
            ASSERT_TRUE(timeline->resume(at(1.5)));
        }
        // Pictures up to the stop at 2.9 s; the computer's sound reaches 40 ms past it, the
        // microphone's 60 ms, in packets of 20 ms.
        for (int i = 0; i < 87; ++i)
            writer->appendVideo(
                test::videoSample(test::movingPicture(320, 240, i), frameTime(i, start)));
        for (int packet = 0; packet < 148; ++packet) {
            const MediaTime time = at(packet * 0.02);
            if (packet < 147)
                writer->appendAudio(test::toneSample(time, 960, 440, 0.5f), AudioSource::system);
            writer->appendAudio(test::toneSample(time, 960, 660, 0.3f), AudioSource::microphone);
        }
        std::optional<WriterResult> result;
        writer->finish([&](WriterResult r) { result = std::move(r); }, at(2.9));
        ASSERT_TRUE(test::pumpUntil([&] { return result.has_value(); }, std::chrono::seconds(60)));
        ASSERT_TRUE(result->ok()) << result->error().description();
        // 5.9 s of packets went to the writing thread in batches, not one wake-up a packet; the
        // last batch, handed over with the finish, is heard up to the stop (below).
        EXPECT_LE(writer->audioHandOvers(), 60u);
        EXPECT_GE(writer->audioHandOvers(), 55u);

        const double stop = paused ? 2.4 : 2.9;
        Probe probe(url);
        ASSERT_EQ(probe.streamCount(), 3) << probe.raw();
        EXPECT_NEAR(probe.streamNumber(0, "duration"), stop, 1.0 / 30);
        // The file may count the last sound packet whole: 1024 samples, 21 ms.
        for (int sound : {1, 2}) {
            EXPECT_GT(probe.streamNumber(sound, "duration"), stop - 0.01) << "track " << sound;
            EXPECT_LT(probe.streamNumber(sound, "duration"), stop + 0.025) << "track " << sound;
        }
        EXPECT_LT(probe.formatNumber("duration"), stop + 1.0 / 30);
    }
}

// The track is filled with silence up to the stop, so its length alone does not tell whether the
// sound gathered for the next batch reached the file: the tone must be heard up to the stop.
TEST(RecordingFileWriter, SoundGatheredButNotYetHandedOverIsHeardUpToTheStop) {
    test::ScratchDirectory dir;
    auto url = dir / "tail.mov";
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie,
                                              {AudioSource::system}, CaptureFrameRate::fps30);
    const double start = std::floor((media::MonotonicClock::nowSeconds() - 3) * kFps) / kFps;
    auto at = [&](double seconds) { return MediaTime::fromSeconds(start + seconds, 48000); };
    constexpr int kBatch = 4800;  // each goes on at once
    constexpr int kTail = 2400;   // half a batch: still gathered at the finish
    constexpr double kStop = (20 * kBatch + kTail) / 48000.0;
    for (int i = 0; i < kStop * kFps; ++i)
        writer->appendVideo(
            test::videoSample(test::movingPicture(320, 240, i), frameTime(i, start)));
    for (int i = 0; i < 20; ++i)
        writer->appendAudio(
            test::toneSample(at(i * 0.1), kBatch, 440, 0.5f, 48000, int64_t{i} * kBatch),
            AudioSource::system);
    const uint64_t handedBeforeTail = writer->audioHandOvers();
    writer->appendAudio(test::toneSample(at(2.0), kTail, 440, 0.5f, 48000, 20 * kBatch),
                        AudioSource::system);
    ASSERT_EQ(writer->audioHandOvers(), handedBeforeTail) << "the tail went on by itself";
    std::optional<WriterResult> result;
    writer->finish([&](WriterResult r) { result = std::move(r); }, at(kStop));
    ASSERT_TRUE(test::pumpUntil([&] { return result.has_value(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(result->ok()) << result->error().description();

    const auto left = test::leftChannelOfFirstSoundTrack(url);
    auto last =
        std::find_if(left.rbegin(), left.rend(), [](float v) { return std::fabs(v) > 0.3f; });
    ASSERT_NE(last, left.rend());
    // The tone is heard up to the stop, within one AAC frame.
    const auto heardUntil = static_cast<double>(left.rend() - last);
    EXPECT_NEAR(heardUntil, kStop * 48000, 1024)
        << "heard until " << heardUntil / 48000 << " s of " << kStop;
}

TEST(RecordingFileWriter, FrameWithoutFormatIsDroppedAndTheNextOneSetsUp) {
    test::ScratchDirectory dir;
    auto url = dir / "camera.mov";
    { std::ofstream(url) << ""; }  // claimed for it: created empty
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie, {},
                                              CaptureFrameRate::fps30, /*outputClaimed=*/true);
    writer->appendVideo(media::VideoSample{nullptr, frameTime(0), true, std::nullopt});
    // Not ready: dropped without set-up.
    auto notReady = test::videoSample(test::movingPicture(320, 240, 0), frameTime(1));
    notReady.dataReady = false;
    writer->appendVideo(notReady);
    feed(*writer, 30, false, 60);
    writer->appendAudio(test::toneSample(frameTime(3, 60), 1600),
                        AudioSource::system);  // no such track
    WriterResult result = finishAndWait(*writer);
    ASSERT_TRUE(result.ok());

    Probe probe(url);
    ASSERT_EQ(probe.streamCount(), 1) << probe.raw();
    EXPECT_EQ(probe.stream(0, "codec_type"), "video");
    EXPECT_NEAR(probe.streamNumber(0, "start_time"), 0, 1e-3);
    EXPECT_EQ(probe.streamNumber(0, "nb_read_packets"),
              30 - static_cast<int>(writer->droppedVideoFrames()));
}

// A still screen sends a picture about once a second and a recording without a sound server has
// no sound: the movie still lasts until the stop, its last picture shown again at the end and its
// sound track filled with silence up to there.
TEST(RecordingFileWriter, TheMovieLastsUntilTheStopWhateverCameLast) {
    test::ScratchDirectory dir;
    struct Case {
        std::vector<double> pictures;  // seconds after the first
        double stop;
        int packets;  // the pictures, and the last one again
    };
    for (const Case& c : {Case{{0, 1}, 2.0, 3}, Case{{0}, 0.5, 2}}) {
        SCOPED_TRACE("stopped " + std::to_string(c.stop) + " s in");
        auto url = dir / ("still-" + std::to_string(c.stop) + ".mov");
        auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie,
                                                  {AudioSource::system}, CaptureFrameRate::fps30);
        auto picture = test::movingPicture(320, 240, 0);
        for (double at : c.pictures)
            writer->appendVideo(
                test::videoSample(picture, MediaTime::fromSeconds(50 + at, 1'000'000)));
        std::optional<WriterResult> result;
        writer->finish([&](WriterResult r) { result = std::move(r); },
                       MediaTime::fromSeconds(50 + c.stop, 1'000'000));
        ASSERT_TRUE(test::pumpUntil([&] { return result.has_value(); }, std::chrono::seconds(60)));
        ASSERT_TRUE(result->ok()) << result->error().description();

        Probe probe(url);
        ASSERT_EQ(probe.streamCount(), 2) << probe.raw();
        EXPECT_EQ(probe.streamNumber(0, "nb_read_packets"), c.packets);
        EXPECT_NEAR(probe.streamNumber(0, "duration"), c.stop, 1.0 / 30);
        EXPECT_NEAR(probe.streamNumber(1, "duration"), c.stop, 0.05);
    }
}

// A frame that cannot set up the movie's tracks is dropped, says why in the log (once per
// reason) and leaves the set-up to the next frame: a picture too small to encode, and a
// container that takes no further track, refusing first the computer's sound and then the
// microphone.
TEST(RecordingFileWriter, AFrameThatCannotSetUpTheTracksIsDroppedAndSaysWhy) {
    test::ScratchDirectory dir;
    const auto logFile = dir / "zimlo.log";
    log::configure(log::Settings{log::Level::warn, false, logFile});
    struct Restore {
        ~Restore() {
            log::configure(log::settingsFromEnvironment());
            RecordingFileWriter::setTrackLimit(std::nullopt);
        }
    } restore;
    auto logged = [&] {
        std::ifstream in(logFile);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    auto count = [](const std::string& text, const std::string& part) {
        int found = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++found;
        return found;
    };

    auto url = dir / "tiny-first.mov";
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie, {},
                                              CaptureFrameRate::fps30);
    for (int i = 0; i < 3; ++i)
        writer->appendVideo(test::videoSample(test::movingPicture(1, 1, i), frameTime(i)));
    feed(*writer, 30, false, 60);
    ASSERT_TRUE(finishAndWait(*writer).ok());
    EXPECT_EQ(count(logged(), "无法添加视频写入轨道"), 1) << logged();
    Probe probe(url);
    EXPECT_EQ(probe.streamNumber(0, "nb_read_packets"),
              30 - static_cast<int>(writer->droppedVideoFrames()));

    const std::pair<std::set<AudioSource>, std::string> refusals[] = {
        {{AudioSource::system}, "无法添加电脑声音写入轨道"},
        {{AudioSource::system, AudioSource::microphone}, "无法添加麦克风声音写入轨道"}};
    for (const auto& [sources, text] : refusals) {
        RecordingFileWriter::setTrackLimit(static_cast<int>(sources.size()));
        auto refused = dir / ("refused-" + std::to_string(sources.size()) + ".mov");
        auto limited = RecordingFileWriter::create(refused, media::MovieFileType::quickTimeMovie,
                                                   sources, CaptureFrameRate::fps30);
        feed(*limited, 5, true);
        // Nothing was written: like a recording that never got a frame.
        EXPECT_TRUE(finishAndWait(*limited).ok());
        EXPECT_FALSE(std::filesystem::exists(refused));
        EXPECT_EQ(count(logged(), text), 1) << logged();
    }
}

// Frames arriving far faster than the encoder takes them: a full queue refuses each one at once
// instead of waiting for room, every refusal is counted, and the movie holds exactly the rest.
TEST(RecordingFileWriter, AFullQueueRefusesFramesAtOnceAndCountsThem) {
    test::ScratchDirectory dir;
    auto url = dir / "burst.mov";
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie, {},
                                              CaptureFrameRate::fps30);
    std::vector<std::shared_ptr<media::PixelBuffer>> pictures;
    for (int i = 0; i < 4; ++i) pictures.push_back(test::movingPicture(1280, 720, 7 * i));
    constexpr int kFrames = 240;
    for (int i = 0; i < kFrames; ++i)
        writer->appendVideo(test::videoSample(pictures[i % 4], frameTime(i)));
    WriterResult result = finishAndWait(*writer);
    ASSERT_TRUE(result.ok()) << result.error().description();

    const auto dropped = static_cast<int>(writer->droppedVideoFrames());
    EXPECT_GT(dropped, 0);
    EXPECT_LT(dropped, kFrames);
    Probe probe(url);
    EXPECT_EQ(probe.streamNumber(0, "nb_read_packets"), kFrames - dropped);
}

// A file the writer did not create is never replaced: the writer fails at once, says so, and
// the file keeps its contents. A claimed name that never got a frame is given back.
TEST(RecordingFileWriter, NeverReplacesAFileItDidNotCreate) {
    test::ScratchDirectory dir;
    auto url = dir / "taken.mov";
    { std::ofstream(url) << "someone else's"; }
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie, {},
                                              CaptureFrameRate::fps30);
    std::vector<WriterError> failures;
    writer->setFailureHandler([&](WriterError error) {
        EXPECT_TRUE(MainQueue::isMainThread());
        failures.push_back(error);
    });
    feed(*writer, 5, false);
    WriterResult result = finishAndWait(*writer);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, WriterError::Kind::cannotCreateWriter);
    EXPECT_EQ(result.error().systemError, EEXIST);
    EXPECT_EQ(result.error().cause, media::MediaError::system(EEXIST));
    EXPECT_EQ(result.error().description(), "录制文件已存在：" + url.string());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], result.error());
    std::ifstream in(url);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "someone else's");

    auto claimed = dir / "claimed.mov";
    { std::ofstream(claimed) << ""; }
    auto idle = RecordingFileWriter::create(claimed, media::MovieFileType::quickTimeMovie, {},
                                            CaptureFrameRate::fps30, /*outputClaimed=*/true);
    EXPECT_TRUE(finishAndWait(*idle).ok());
    EXPECT_FALSE(std::filesystem::exists(claimed));
}

// The file cannot grow past a limit: the container's write error surfaces at finish.
TEST(RecordingFileWriter, WriteFailureSurfacesAsWriterFailedAtFinish) {
    test::ScratchDirectory dir;
    auto url = dir / "full.mov";
    auto writer = RecordingFileWriter::create(url, media::MovieFileType::quickTimeMovie,
                                              {AudioSource::system}, CaptureFrameRate::fps30);
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 48 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    feed(*writer, 120, true);
    WriterResult result = finishAndWait(*writer);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, WriterError::Kind::writerFailed);
    EXPECT_EQ(result.error().systemError, EFBIG);
    // The container writer's own report, shown in its words.
    ASSERT_TRUE(result.error().cause.has_value());
    EXPECT_EQ(result.error().description(), userText(*result.error().cause));
    EXPECT_FALSE(result.error().description().empty());
}

// A recording cut short by a kill keeps what was written up to about a second before it.
TEST(RecordingFileWriter, KilledWriterProcessLeavesAPlayableMovie) {
    test::ScratchDirectory dir;
    auto url = dir / "killed.mov";
    int fromChild[2];
    ASSERT_EQ(pipe(fromChild), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(fromChild[1], STDOUT_FILENO);
        close(fromChild[0]);
        execl(ZIMLO_WRITER_CHILD, ZIMLO_WRITER_CHILD, url.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fromChild[1]);
    FILE* lines = fdopen(fromChild[0], "r");
    char line[64];
    int fedSeconds = 0;
    while (fedSeconds < 5 && std::fgets(line, sizeof line, lines))
        std::sscanf(line, "fed %d", &fedSeconds);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    std::fclose(lines);
    ASSERT_EQ(fedSeconds, 5);

    Probe probe(url);
    ASSERT_EQ(probe.streamCount(), 2) << probe.raw();
    EXPECT_EQ(probe.stream(0, "codec_name"), "h264");
    EXPECT_EQ(probe.stream(1, "codec_name"), "aac");
    // Every picture in the file decodes, and they reach to within a few seconds of the kill.
    auto asset = test::valueOrFailure(media::MovieAsset::open(url));
    ASSERT_TRUE(asset);
    auto reader = test::valueOrFailure(media::VideoFrameReader::open(
        *asset, asset->tracks(media::MediaType::video).at(0).trackID));
    ASSERT_TRUE(reader);
    int decoded = 0;
    double last = 0;
    while (auto frame = reader->next()) {
        ++decoded;
        last = frame->presentationTime.seconds();
    }
    EXPECT_FALSE(reader->failed()) << reader->error();
    EXPECT_GE(last, 5.0 - 3.0);
    EXPECT_GE(decoded, kFps);  // some pictures may be dropped on a busy machine, never delayed
}

}  // namespace
}  // namespace zimlo::capture
