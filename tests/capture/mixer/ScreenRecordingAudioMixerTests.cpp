#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "capture/ScreenRecordingAudioMixer.h"
#include "model/MediaErrorText.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MovieFactory.h"
#include "platform/media/Probe.h"
#include "support/ResultValue.h"
#include "support/TestMain.h"

namespace zimlo::capture {
namespace {

using test::MovieSpec;
using test::Tone;

class ScreenRecordingAudioMixerTest : public ::testing::Test {
  protected:
    void SetUp() override { ScreenRecordingAudioMixer::setOutputDirectory(output_.path()); }
    void TearDown() override { ScreenRecordingAudioMixer::setOutputDirectory({}); }

    MixerResult mix(const std::filesystem::path& input,
                    ScreenRecordingAudioMixer::MixOptions options = {}) {
        std::optional<MixerResult> result;
        ScreenRecordingAudioMixer::mixAudio(
            input,
            [&](MixerResult r) {
                EXPECT_TRUE(MainQueue::isMainThread());
                result = std::move(r);
            },
            std::move(options));
        EXPECT_TRUE(test::pumpUntil([&] { return result.has_value(); }, std::chrono::seconds(120)));
        return result.value_or(
            MixerResult(fail(MixerError::processingFailed(MixerError::Step::finishing, {}))));
    }

    size_t outputFiles() const {
        size_t count = 0;
        for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(output_.path()))
            ++count;
        return count;
    }

    test::ScratchDirectory input_;
    test::ScratchDirectory output_;
};

std::vector<std::vector<uint8_t>> packetsOf(const std::filesystem::path& url) {
    auto asset = test::valueOrFailure(media::MovieAsset::open(url));
    auto reader = test::valueOrFailure(media::TrackPacketReader::open(
        *asset, asset->tracks(media::MediaType::video).at(0).trackID));
    std::vector<std::vector<uint8_t>> packets;
    while (auto packet = reader->next()) packets.push_back(packet->data);
    return packets;
}

double rms(const std::filesystem::path& url) {
    auto asset = test::valueOrFailure(media::MovieAsset::open(url));
    auto tracks = asset->tracks(media::MediaType::audio);
    auto reader =
        test::valueOrFailure(media::AudioMixReader::open(*asset, {{tracks.at(0).trackID, 1.0f}}));
    double sum = 0;
    size_t count = 0;
    while (auto chunk = reader->next()) {
        auto* s = reinterpret_cast<const float*>(chunk->data.data());
        for (size_t i = 0; i < chunk->data.size() / 4; ++i, ++count) sum += double(s[i]) * s[i];
    }
    return count ? std::sqrt(sum / count) : 0;
}

TEST(ScreenRecordingAudioMixerRules, TimeoutGrowsWithTheVideoWithinLimits) {
    using ScreenRecordingAudioMixer::timeoutSeconds;
    EXPECT_EQ(timeoutSeconds(0), 300);
    EXPECT_EQ(timeoutSeconds(NAN), 300);
    EXPECT_EQ(timeoutSeconds(-5), 300);
    EXPECT_EQ(timeoutSeconds(30), 300);
    EXPECT_EQ(timeoutSeconds(100), 300);
    EXPECT_EQ(timeoutSeconds(150), 360);
    EXPECT_EQ(timeoutSeconds(600), 1260);
    EXPECT_EQ(timeoutSeconds(2000), 3600);
    using media::MediaError;
    EXPECT_EQ(MixerError::processingFailed(MixerError::Step::mixingSound,
                                           MediaError::of(MediaError::Kind::system, "x"))
                  .description(),
              "电脑声音与麦克风混合失败：x");
    EXPECT_EQ(MixerError::processingFailed(MixerError::Step::mixingSound, {}).description(),
              "电脑声音与麦克风混合失败：音频混合写入失败");
    EXPECT_EQ(MixerError::processingTimedOut().description(), "同步电脑声音与输入设备声音超时");
}

TEST_F(ScreenRecordingAudioMixerTest, FewerThanTwoAudioTracksComeBackUnchanged) {
    for (size_t tones : {0u, 1u}) {
        auto url = input_ / ("screen" + std::to_string(tones) + ".mov");
        MovieSpec spec;
        spec.tones.assign(tones, Tone{});
        test::writeMovie(url, spec);
        auto size = std::filesystem::file_size(url);
        MixerResult result = mix(url);
        ASSERT_TRUE(result.ok()) << result.error().description();
        EXPECT_EQ(result.value(), url);
        EXPECT_EQ(std::filesystem::file_size(url), size);
    }
    EXPECT_EQ(outputFiles(), 0u);
}

TEST_F(ScreenRecordingAudioMixerTest, TwoAudioTracksWithoutVideoFail) {
    auto url = input_ / "novideo.mov";
    MovieSpec spec;
    spec.video = false;
    spec.tones = {Tone{}, Tone{}};
    test::writeMovie(url, spec);
    MixerResult result = mix(url);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().description(), "录屏文件缺少视频轨道");
    EXPECT_EQ(outputFiles(), 0u);

    // Not a movie at all: reported, not passed back as if there were nothing to mix.
    auto garbage = input_ / "garbage.mov";
    std::ofstream(garbage) << "not a movie";
    result = mix(garbage);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, MixerError::Kind::cannotCreateReader);
    // The reader's own report, in its words.
    ASSERT_TRUE(result.error().cause.has_value());
    EXPECT_EQ(result.error().description(), "无法读取录屏音频：" + userText(*result.error().cause));
}

// Video copied packet for packet with its orientation; one AAC track of both sounds, the system
// sound lowered to 0.8; the input untouched. The microphone hisses: broadband sound takes the
// whole bit rate asked for, where the encoder would spend less on pure tones.
TEST_F(ScreenRecordingAudioMixerTest, MixesBothSoundsIntoOneTrackAndCopiesTheVideo) {
    auto url = input_ / "screen.mov";
    MovieSpec spec;
    spec.tones = {Tone{440, 0.5f}, Tone{1000, 0.25f, -1, 0.05f}};
    spec.frames = 90;
    spec.transform = media::AffineTransform::rotation(90, {320, 240});
    test::writeMovie(url, spec);
    auto inputSize = std::filesystem::file_size(url);

    MixerResult result = mix(url);
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(result.value().parent_path(), output_.path());
    EXPECT_TRUE(std::regex_match(result.value().filename().string(),
                                 std::regex("zimlo_screen_mixed_[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{"
                                            "3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.mov")))
        << result.value();
    EXPECT_EQ(std::filesystem::file_size(url), inputSize);

    test::Probe probe(result.value());
    ASSERT_EQ(probe.streamCount(), 2) << probe.raw();
    EXPECT_EQ(probe.stream(0, "codec_name"), "h264");
    EXPECT_EQ(probe.stream(1, "codec_name"), "aac");
    EXPECT_EQ(probe.stream(1, "profile"), "LC");
    EXPECT_EQ(probe.stream(1, "sample_rate"), "48000");
    EXPECT_EQ(probe.stream(1, "channels"), "2");
    EXPECT_NEAR(probe.streamNumber(1, "bit_rate"), 192000, 40000);
    EXPECT_NEAR(probe.streamNumber(0, "duration"), 3.0, 1.0 / 30);
    // As long as the sounds recorded, without the encoder's padding after their last samples.
    EXPECT_NEAR(probe.streamNumber(1, "duration"), 3.0, 0.001);
    EXPECT_EQ(packetsOf(result.value()), packetsOf(url));

    auto mixed = test::valueOrFailure(media::MovieAsset::open(result.value()));
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->tracks(media::MediaType::video).at(0).preferredTransform, spec.transform);
    // Sines of different pitch and noise add in power: 0.8 × 0.5, 1.0 × 0.25 and uniform noise.
    EXPECT_NEAR(rms(result.value()), std::sqrt((0.4 * 0.4 + 0.25 * 0.25) / 2 + 0.05 * 0.05 / 3),
                0.02);
}

// The output cannot be written (file size limit): the run fails and leaves nothing behind.
TEST_F(ScreenRecordingAudioMixerTest, FailureDeletesThePartialOutput) {
    auto url = input_ / "screen.mov";
    MovieSpec spec;
    spec.tones = {Tone{}, Tone{880, 0.2f}};
    spec.frames = 90;
    test::writeMovie(url, spec);
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 32 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    MixerResult result = mix(url);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, MixerError::Kind::processingFailed)
        << result.error().description();
    EXPECT_EQ(outputFiles(), 0u);
    EXPECT_TRUE(std::filesystem::exists(url));
}

// Replaces every `from` after the `nth` (0-based) occurrence of `box` in the file.
void renameAfter(const std::filesystem::path& url, const std::string& box, int nth,
                 const std::vector<std::string>& from) {
    std::string bytes;
    {
        std::ifstream in(url, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    size_t at = 0;
    for (int i = 0; i <= nth; ++i) at = bytes.find(box, i == 0 ? 0 : at + 4);
    ASSERT_NE(at, std::string::npos);
    for (const auto& name : from)
        for (size_t i = bytes.find(name, at); i != std::string::npos; i = bytes.find(name, i + 4))
            bytes.replace(i, 4, "zzzz");
    std::ofstream(url, std::ios::binary | std::ios::trunc) << bytes;
}

// The microphone track is in a format nothing here decodes: no mix of the two can be read, which
// ends the run before a writer exists.
TEST_F(ScreenRecordingAudioMixerTest, SoundNothingHereDecodesEndsTheRunBeforeAnyOutput) {
    auto url = input_ / "screen.mov";
    MovieSpec spec;
    spec.tones = {Tone{}, Tone{880, 0.2f}};
    test::writeMovie(url, spec);
    renameAfter(url, "stsd", 2, {"mp4a", "esds"});  // video, system sound, microphone
    auto asset = test::valueOrFailure(media::MovieAsset::open(url));
    ASSERT_TRUE(asset);
    ASSERT_EQ(asset->tracks(media::MediaType::audio).size(), 2u);

    MixerResult result = mix(url);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, MixerError::Kind::cannotCreateReader)
        << result.error().description();
    EXPECT_EQ(result.error().description(), "无法读取录屏音频：无法添加双路音频混合轨道");
    EXPECT_EQ(outputFiles(), 0u);
    EXPECT_TRUE(std::filesystem::exists(url));
}

// The video track is there but its format is not: the run fails before any output.
TEST_F(ScreenRecordingAudioMixerTest, AVideoTrackWithoutItsFormatFails) {
    auto url = input_ / "screen.mov";
    MovieSpec spec;
    spec.tones = {Tone{}, Tone{880, 0.2f}};
    test::writeMovie(url, spec);
    renameAfter(url, "stsd", 0, {"avc1", "avcC"});
    MixerResult result = mix(url);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().description(), "录屏文件缺少视频格式信息");
    EXPECT_EQ(outputFiles(), 0u);
}

// The mixed movie cannot be made: its folder is gone, or the movie cannot hold the recording's
// video as it is (VP8 in a QuickTime movie). Either fails the run in its own words and leaves
// nothing behind.
TEST_F(ScreenRecordingAudioMixerTest, AWriterThatCannotBeCreatedOrStartedFails) {
    auto url = input_ / "screen.mov";
    MovieSpec spec;
    spec.tones = {Tone{}, Tone{880, 0.2f}};
    test::writeMovie(url, spec);
    ScreenRecordingAudioMixer::setOutputDirectory(output_ / "gone");
    MixerResult uncreated = mix(url);
    ScreenRecordingAudioMixer::setOutputDirectory(output_.path());
    ASSERT_FALSE(uncreated.ok());
    EXPECT_EQ(uncreated.error().kind, MixerError::Kind::cannotCreateWriter);
    ASSERT_TRUE(uncreated.error().cause.has_value());
    EXPECT_EQ(uncreated.error().description(),
              "无法创建混音文件：" + userText(*uncreated.error().cause));
    EXPECT_EQ(outputFiles(), 0u);

    auto vp8 = input_ / "screen.mkv";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i testsrc=s=160x120:r=30:d=1 -f lavfi -i "
                           "sine=d=1 -f lavfi -i sine=f=880:d=1 -map 0 -map 1 -map 2 -c:v libvpx "
                           "-c:a aac '" +
                           vp8.string() + "'")
                              .c_str()),
              0);
    MixerResult unstarted = mix(vp8);
    ASSERT_FALSE(unstarted.ok());
    EXPECT_EQ(unstarted.error().kind, MixerError::Kind::cannotStartProcessing);
    ASSERT_TRUE(unstarted.error().cause.has_value());
    EXPECT_EQ(unstarted.error().description(),
              "无法开始同步声音：" + userText(*unstarted.error().cause));
    EXPECT_EQ(outputFiles(), 0u);
}

// The finished file does not come within the wait for it (here none at all), or its index
// cannot be written when it is closed (the file may grow by everything but that): the run fails,
// and no file is left.
TEST_F(ScreenRecordingAudioMixerTest, AFinishThatTakesTooLongOrFailsFailsTheRun) {
    auto url = input_ / "screen.mov";
    MovieSpec spec;
    spec.tones = {Tone{}, Tone{880, 0.2f}};
    spec.frames = 90;
    test::writeMovie(url, spec);
    MixerResult late = mix(url, {.finishTimeoutSeconds = 0.0});
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(late.error().description(), "同步电脑声音与输入设备声音超时");
    EXPECT_EQ(outputFiles(), 0u);

    // The same run as it goes when nothing stops it: how large the movie and its index are.
    MixerResult whole = mix(url);
    ASSERT_TRUE(whole.ok()) << whole.error().description();
    std::string bytes;
    {
        std::ifstream in(whole.value(), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::filesystem::remove(whole.value());
    const size_t index = bytes.rfind("moov");
    ASSERT_NE(index, std::string::npos);
    ASSERT_GT(index, bytes.size() / 2) << "the index is written last";
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = index - 4 + (bytes.size() - index) / 2;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    MixerResult unwritten = mix(url);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_FALSE(unwritten.ok());
    EXPECT_EQ(unwritten.error().kind, MixerError::Kind::processingFailed);
    EXPECT_EQ(unwritten.error().step, MixerError::Step::finishing);
    ASSERT_TRUE(unwritten.error().cause.has_value());
    EXPECT_EQ(unwritten.error().description(),
              "电脑声音与麦克风混合失败：" + userText(*unwritten.error().cause));
    EXPECT_EQ(outputFiles(), 0u);
    // A writer that ends without saying why still gets words.
    EXPECT_EQ(MixerError::processingFailed(MixerError::Step::finishing, {}).description(),
              "电脑声音与麦克风混合失败：混音文件写入失败");
}

// Copying takes longer than the run may wait: it ends as timed out and leaves nothing.
TEST_F(ScreenRecordingAudioMixerTest, ARunThatTakesTooLongTimesOut) {
    auto url = input_ / "screen.mov";
    MovieSpec spec;
    spec.tones = {Tone{}, Tone{880, 0.2f}};
    spec.frames = 150;
    test::writeMovie(url, spec);
    MixerResult result = mix(url, {.copyTimeoutSeconds = 0.0});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().description(), "同步电脑声音与输入设备声音超时");
    EXPECT_EQ(outputFiles(), 0u);
    EXPECT_TRUE(std::filesystem::exists(url));
}

// The sound reader fails (a failing disk) while both loops end normally: the run reports the
// reader's error, or "读取录屏文件失败" when it has none.
TEST_F(ScreenRecordingAudioMixerTest, AReaderThatFailsFailsTheRunWithItsDescription) {
    auto url = input_ / "screen.mov";
    MovieSpec spec;
    spec.tones = {Tone{}, Tone{880, 0.2f}};
    test::writeMovie(url, spec);
    using media::MediaError;
    const std::pair<MediaError, std::string> faults[] = {
        {MediaError::of(MediaError::Kind::system, "输入/输出错误"),
         "电脑声音与麦克风混合失败：输入/输出错误"},
        {MediaError::of(MediaError::Kind::system), "电脑声音与麦克风混合失败：读取录屏文件失败"}};
    for (const auto& [fault, description] : faults) {
        MixerResult result = mix(url, {.readFault = fault});
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().description(), description);
        EXPECT_EQ(outputFiles(), 0u);
    }
    EXPECT_TRUE(mix(url).ok());  // the fault was this run's only
}

}  // namespace
}  // namespace zimlo::capture
