#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "model/MediaErrorText.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MovieFactory.h"
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
