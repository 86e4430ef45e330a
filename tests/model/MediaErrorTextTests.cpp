#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <future>

#include "model/MediaErrorText.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MovieFactory.h"
#include "platform/media/MovieWriter.h"
#include "platform/media/SyntheticMedia.h"
#include "support/ResultValue.h"

namespace zimlo {
namespace {

using media::MediaError;

// The readers report kinds; what the user reads must be the words shown before they did.
TEST(MediaErrorText, ReaderFailuresReadAsBefore) {
    test::ScratchDirectory dir;
    test::MovieSpec spec;
    spec.tones = {test::Tone{}};
    spec.frames = 5;
    test::writeMovie(dir / "movie.mov", spec);
    auto asset = test::valueOrFailure(media::MovieAsset::open(dir / "movie.mov"));
    ASSERT_TRUE(asset);
    const int audio = asset->tracks(media::MediaType::audio).at(0).trackID;

    auto packets = media::TrackPacketReader::open(*asset, 99);
    ASSERT_FALSE(packets);
    EXPECT_EQ(userText(packets.error()), "没有这条轨道");
    auto frames = media::VideoFrameReader::open(*asset, audio);
    ASSERT_FALSE(frames);
    EXPECT_EQ(userText(frames.error()), "没有这条视频轨道");
    auto none = media::AudioMixReader::open(*asset, {});
    ASSERT_FALSE(none);
    EXPECT_EQ(userText(none.error()), "没有音频轨道");
    auto notSound = media::AudioMixReader::open(*asset, {{99, 1.0f}});
    ASSERT_FALSE(notSound);
    EXPECT_EQ(userText(notSound.error()), "没有这条音频轨道");

    media::PixelBuffer nv12(16, 16, media::PixelFormat::NV12VideoRange);
    auto notBGRA = media::writePNG(nv12, dir / "a.png");
    ASSERT_FALSE(notBGRA);
    EXPECT_EQ(userText(notBGRA.error()), "只能保存 BGRA 画面");
    media::PixelBuffer bgra(16, 16, media::PixelFormat::BGRA);
    auto noFolder = media::writePNG(bgra, dir / "missing" / "a.png");
    ASSERT_FALSE(noFolder);
    EXPECT_EQ(userText(noFolder.error()), std::strerror(ENOENT));

    std::ofstream(dir / "text.mov") << "not a movie";
    auto garbage = media::MovieAsset::open(dir / "text.mov");
    ASSERT_FALSE(garbage);
    EXPECT_EQ(userText(garbage.error()), garbage.error().detail);
    EXPECT_FALSE(garbage.error().detail.empty());
}

// The movie writer reports kinds too; these are the words its failures always had.
TEST(MediaErrorText, WriterFailuresReadAsBefore) {
    test::ScratchDirectory dir;
    auto noName = media::MovieWriter::create({}, media::MovieFileType::quickTimeMovie, {});
    ASSERT_FALSE(noName);
    EXPECT_EQ(userText(noName.error()), "没有输出文件");

    auto empty = test::valueOrFailure(
        media::MovieWriter::create(dir / "empty.mov", media::MovieFileType::quickTimeMovie, {}));
    ASSERT_TRUE(empty);
    auto noSize = empty->addVideoInput({});
    ASSERT_FALSE(noSize);
    EXPECT_EQ(userText(noSize.error()), "画面尺寸无效");
    media::AudioEncoderSettings noRate;
    noRate.sampleRate = 0;
    auto badSound = empty->addAudioInput(noRate);
    ASSERT_FALSE(badSound);
    EXPECT_EQ(userText(badSound.error()), "声音格式无效");
    auto noFormat = empty->addPassthroughInput(media::FormatDescription{});
    ASSERT_FALSE(noFormat);
    EXPECT_EQ(userText(noFormat.error()), "缺少格式信息");
    EXPECT_FALSE(empty->start());
    EXPECT_EQ(userText(empty->error(), "无法开始写入"), "没有可写入的轨道");

    // Sound that jumps 6000 s past the 0.1 s written: the seconds go into the words.
    auto writer = test::valueOrFailure(
        media::MovieWriter::create(dir / "jump.mov", media::MovieFileType::quickTimeMovie, {}));
    ASSERT_TRUE(writer);
    auto audio = writer->addAudioInput({});
    ASSERT_TRUE(audio) << audio.error();
    ASSERT_TRUE(writer->start());
    EXPECT_EQ(userText(writer->error(), "无法开始写入"), "无法开始写入");
    auto late = writer->addAudioInput({});
    ASSERT_FALSE(late);
    EXPECT_EQ(userText(late.error()), "写入已开始，不能再添加轨道");
    writer->startSession(media::MediaTime::zero());
    ASSERT_TRUE(writer->append(*audio, test::toneSample(media::MediaTime::zero(), 4800)));
    ASSERT_TRUE(writer->append(*audio, test::toneSample(media::MediaTime::make(6000, 1), 4800)));
    std::promise<void> finished;
    writer->finish([&] { finished.set_value(); });
    finished.get_future().wait();
    EXPECT_EQ(userText(writer->error(), ""), "声音的时间戳异常：跳到了画面之后 5999 秒，无法写入");
}

// Kinds whose words carry the detail.
TEST(MediaErrorText, DetailGoesIntoTheWords) {
    EXPECT_EQ(userText(MediaError::library(-0x7fff0001)).rfind("未知错误 ", 0), 0u)
        << userText(MediaError::library(-0x7fff0001));
    EXPECT_EQ(userText(MediaError::of(MediaError::Kind::unsupportedCodec, "prores")),
              "不支持的编码格式 prores");
    EXPECT_EQ(userText(MediaError::of(MediaError::Kind::noEncoder, "PNG")), "找不到 PNG 编码器");
}

}  // namespace
}  // namespace zimlo
