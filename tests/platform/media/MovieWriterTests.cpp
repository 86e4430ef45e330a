#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "platform/media/AssetReader.h"
#include "platform/media/MovieFactory.h"
#include "platform/media/MovieWriter.h"
#include "platform/media/Probe.h"
#include "platform/media/SyntheticMedia.h"
#include "support/ResultValue.h"

namespace zimlo::media {
namespace {

bool finishAndWait(MovieWriter& writer) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    writer.finish([done] { *done = true; });
    for (int i = 0; i < 12000 && !*done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done->load();
}

// The first sound track decoded: interleaved stereo floats at 48 kHz.
std::vector<float> decodedSound(const std::filesystem::path& url) {
    auto asset = test::valueOrFailure(MovieAsset::open(url));
    EXPECT_TRUE(asset);
    if (!asset) return {};
    auto reader = test::valueOrFailure(
        AudioMixReader::open(*asset, {{asset->tracks(MediaType::audio).at(0).trackID, 1.0f}}));
    std::vector<float> all;
    while (auto chunk = reader->next()) {
        auto* s = reinterpret_cast<const float*>(chunk->data.data());
        all.insert(all.end(), s, s + chunk->data.size() / 4);
    }
    return all;
}

// Root mean square of decoded sound per 10 ms window.
std::vector<double> loudness(const std::filesystem::path& url) {
    const std::vector<float> all = decodedSound(url);
    std::vector<double> windows;
    for (size_t start = 0; start + 960 <= all.size(); start += 960) {
        double sum = 0;
        for (size_t i = start; i < start + 960; ++i) sum += double(all[i]) * all[i];
        windows.push_back(std::sqrt(sum / 960));
    }
    return windows;
}

// Sound is placed by its timestamps from the session start: what lies before the start is cut
// off, a gap becomes silence, so later sound keeps its time.
TEST(MovieWriter, PlacesSoundByTimestampTrimmingAndFillingGaps) {
    test::ScratchDirectory dir;
    auto url = dir / "sound.mov";
    auto created = MovieWriter::create(url, MovieFileType::quickTimeMovie, {});
    ASSERT_TRUE(created.ok()) << created.error();
    auto writer = *created;
    auto audio = writer->addAudioInput({});
    ASSERT_TRUE(audio.ok()) << audio.error();
    EXPECT_FALSE(writer->addVideoInput({}).ok()) << "a picture of no size";
    ASSERT_TRUE(writer->start()) << writer->error().value_or(MediaError{});
    EXPECT_FALSE(writer->addAudioInput({}).ok()) << "inputs only before writing starts";
    EXPECT_FALSE(writer->append(*audio, test::toneSample(MediaTime::make(10, 1), 480)))
        << "no session yet";
    writer->startSession(MediaTime::make(10, 1));
    // 9.9 s to 10.2 s: the first 0.1 s is before the start.
    ASSERT_TRUE(writer->append(*audio, test::toneSample(MediaTime::fromSeconds(9.9, 1000), 14400)));
    // Nothing from 10.2 s to 10.5 s, then 0.3 s of 16-bit mono at 44.1 kHz.
    AudioSample later;
    later.format = SampleFormat::Int16;
    later.sampleRate = 44100;
    later.channels = 1;
    later.presentationTime = MediaTime::fromSeconds(10.5, 1000);
    later.data.resize(13230 * 2);
    auto* s = reinterpret_cast<int16_t*>(later.data.data());
    for (int i = 0; i < 13230; ++i)
        s[i] = static_cast<int16_t>(16000 * std::sin(2 * M_PI * 440 * i / 44100));
    ASSERT_TRUE(writer->append(*audio, later));
    ASSERT_TRUE(finishAndWait(*writer));
    ASSERT_EQ(writer->status(), MovieWriter::Status::completed)
        << writer->error().value_or(MediaError{});
    EXPECT_FALSE(writer->append(*audio, test::toneSample(MediaTime::make(11, 1), 480)));

    auto rms = loudness(url);
    ASSERT_NEAR(rms.size() / 100.0, 0.8, 0.03);
    auto average = [&](double from, double to) {
        double sum = 0;
        for (int w = int(from * 100); w < int(to * 100); ++w) sum += rms.at(w);
        return sum / (int(to * 100) - int(from * 100));
    };
    EXPECT_NEAR(average(0.03, 0.17), 0.5 / std::sqrt(2), 0.05);
    EXPECT_LT(average(0.25, 0.45), 0.01);
    EXPECT_NEAR(average(0.53, 0.77), (16000.0 / 32768) / std::sqrt(2), 0.05);
}

// A picture and a sound that begin at the same instant are seen and heard at that instant in
// the movie: the sound encoder's priming samples must neither push the sound late nor, in a
// fragmented movie that cannot say to skip them, shift the whole movie's time line.
TEST(MovieWriter, PictureAndSoundKeepTheirTimes) {
    for (const bool fragmented : {false, true}) {
        SCOPED_TRACE(fragmented ? "fragmented" : "plain");
        test::ScratchDirectory dir;
        auto url = dir / "onset.mov";
        MovieWriterOptions options;
        options.fragmented = fragmented;
        options.fragmentSeconds = 0.2;
        auto writer =
            test::valueOrFailure(MovieWriter::create(url, MovieFileType::quickTimeMovie, options));
        VideoEncoderSettings video;
        video.width = 64;
        video.height = 64;
        video.averageBitRate = 500'000;
        auto picture = test::valueOrFailure(writer->addVideoInput(video));
        auto audio = test::valueOrFailure(writer->addAudioInput({}));
        ASSERT_TRUE(writer->start());
        writer->startSession(MediaTime::make(10, 1));
        auto dark = std::make_shared<PixelBuffer>(64, 64, PixelFormat::BGRA);
        auto bright = std::make_shared<PixelBuffer>(64, 64, PixelFormat::BGRA);
        std::fill(dark->data(), dark->data() + dark->stride() * 64, uint8_t{20});
        std::fill(bright->data(), bright->data() + bright->stride() * 64, uint8_t{235});
        // Pictures every 40 ms from 10 s, bright from 10.52 s on; the tone from 10.52 s.
        for (int i = 0; i < 25; ++i) {
            const auto at = MediaTime::make(10'000 + 40 * i, 1000);
            ASSERT_TRUE(writer->append(picture, test::videoSample(i < 13 ? dark : bright, at)));
            const bool loud = i >= 13;
            ASSERT_TRUE(writer->append(
                audio, test::toneSample(at, 1920, 1000, loud ? 0.5f : 0.0f, 48000, 1920 * i)));
        }
        ASSERT_TRUE(finishAndWait(*writer));
        ASSERT_EQ(writer->status(), MovieWriter::Status::completed);

        auto asset = test::valueOrFailure(MovieAsset::open(url));
        auto frames = test::valueOrFailure(
            VideoFrameReader::open(*asset, asset->tracks(MediaType::video).at(0).trackID));
        std::vector<double> times;
        std::optional<double> firstBright;
        while (auto frame = frames->next()) {
            times.push_back(frame->presentationTime.seconds());
            if (!firstBright && frame->pixels->data()[0] > 128)
                firstBright = frame->presentationTime.seconds();
        }
        ASSERT_EQ(times.size(), 25u);
        EXPECT_NEAR(times.front(), 0.0, 0.001);
        EXPECT_NEAR(times.at(1), 0.04, 0.001) << "the pictures after the first moved";
        ASSERT_TRUE(firstBright);
        EXPECT_NEAR(*firstBright, 0.52, 0.001);
        const std::vector<float> sound = decodedSound(url);
        // Interleaved stereo at 48 kHz: frames, not samples.
        size_t firstLoud = 0;
        while (firstLoud < sound.size() && std::fabs(sound[firstLoud]) < 0.1f) ++firstLoud;
        const size_t loudFrame = firstLoud / 2;
        EXPECT_NEAR(static_cast<double>(loudFrame) / 48000, 0.52, 0.002) << "the sound moved";
    }
}

// Sound whose timestamp jumps hours past everything given (a broken clock) fails the writer at
// once with a clear error, instead of encoding hours of silence (gigabytes had it been made at
// once) while the recording hangs.
TEST(MovieWriter, RefusesSoundThatJumpsHoursPastEverythingAtOnce) {
    test::ScratchDirectory dir;
    auto url = dir / "jump.mov";
    MovieWriterOptions options;
    options.fragmented = true;
    auto created = MovieWriter::create(url, MovieFileType::quickTimeMovie, options);
    ASSERT_TRUE(created.ok()) << created.error();
    auto writer = *created;
    auto audio = writer->addAudioInput({});
    ASSERT_TRUE(audio.ok()) << audio.error();
    ASSERT_TRUE(writer->start()) << writer->error().value_or(MediaError{});
    writer->startSession(MediaTime::make(10, 1));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(writer->append(*audio, test::toneSample(MediaTime::make(10, 1), 4800)));
    ASSERT_TRUE(writer->append(*audio, test::toneSample(MediaTime::make(6010, 1), 4800)));
    ASSERT_TRUE(finishAndWait(*writer));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(writer->status(), MovieWriter::Status::failed);
    ASSERT_TRUE(writer->error());
    EXPECT_EQ(writer->error()->kind, MediaError::Kind::soundTimestampJump) << *writer->error();
}

// Pass-through copies compressed samples unchanged, keeps the orientation, and an MPEG-4 file
// written for progressive playback has its index first.
TEST(MovieWriter, CopiesPacketsIntoFastStartMPEG4) {
    test::ScratchDirectory dir;
    test::MovieSpec spec;
    spec.tones = {test::Tone{}};
    spec.transform = AffineTransform::rotation(270, {320, 240});
    test::writeMovie(dir / "source.mov", spec);

    auto source = test::valueOrFailure(MovieAsset::open(dir / "source.mov"));
    ASSERT_TRUE(source);
    auto track = source->tracks(MediaType::video).at(0);
    MovieWriterOptions options;
    options.fastStart = true;
    options.packetQueueCapacity = 4;
    auto created = MovieWriter::create(dir / "copy.mp4", MovieFileType::mpeg4, options);
    ASSERT_TRUE(created.ok()) << created.error();
    auto writer = *created;
    auto input =
        writer->addPassthroughInput(track.formatDescriptions.at(0), track.preferredTransform);
    ASSERT_TRUE(input.ok()) << input.error();
    ASSERT_TRUE(writer->start()) << writer->error().value_or(MediaError{});
    writer->startSession(MediaTime::zero());
    auto reader = test::valueOrFailure(TrackPacketReader::open(*source, track.trackID));
    std::vector<std::vector<uint8_t>> original;
    while (auto packet = reader->next()) {
        original.push_back(packet->data);
        ASSERT_TRUE(writer->waitUntilReady(*input, 30));
        ASSERT_TRUE(writer->append(*input, std::move(*packet)));
    }
    EXPECT_FALSE(reader->failed());
    ASSERT_TRUE(finishAndWait(*writer));
    ASSERT_EQ(writer->status(), MovieWriter::Status::completed)
        << writer->error().value_or(MediaError{});

    auto copy = test::valueOrFailure(MovieAsset::open(dir / "copy.mp4"));
    ASSERT_TRUE(copy);
    auto copiedTrack = copy->tracks(MediaType::video).at(0);
    EXPECT_EQ(copiedTrack.preferredTransform, spec.transform);
    EXPECT_EQ(copiedTrack.naturalSize, (Size{320, 240}));
    EXPECT_NEAR(availableDuration(*copy, 0), 2.0, 1.0 / 30);
    auto copiedReader = test::valueOrFailure(TrackPacketReader::open(*copy, copiedTrack.trackID));
    std::vector<std::vector<uint8_t>> copied;
    while (auto packet = copiedReader->next()) copied.push_back(packet->data);
    EXPECT_EQ(copied, original);

    std::ifstream file(dir / "copy.mp4", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
    EXPECT_NE(test::Probe(dir / "copy.mp4").format("format_name").find("mp4"), std::string::npos);
}

}  // namespace
}  // namespace zimlo::media
