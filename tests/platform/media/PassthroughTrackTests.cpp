#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/media/PassthroughTrack.h"

namespace zimlo::media {
namespace {

// A container without a file: the packets the track hands over are kept for inspection.
class RecordingOutput : public TrackOutput {
  public:
    RecordingOutput() { avformat_alloc_output_context2(&format_, nullptr, "mp4", path_.c_str()); }
    ~RecordingOutput() override { avformat_free_context(format_); }

    const std::filesystem::path& url() const override { return path_; }
    MediaResult<AVStream*> newStream() override { return avformat_new_stream(format_, nullptr); }
    bool wantsGlobalHeader() const override { return true; }
    bool writePacket(AVPacket* packet) override {
        written.push_back({packet->pts, packet->dts, packet->duration,
                           (packet->flags & AV_PKT_FLAG_KEY) != 0, packet->stream_index,
                           std::vector<uint8_t>(packet->data, packet->data + packet->size)});
        return true;
    }
    void fail(MediaError error) override { failure = std::move(error); }
    MediaTime sessionStart() const override { return start; }
    int64_t picturesReachedMicros() const override { return 0; }
    bool skipsEncoderDelay() const override { return true; }

    struct Written {
        int64_t pts, dts, duration;
        bool key;
        int stream;
        std::vector<uint8_t> data;
    };
    std::vector<Written> written;
    std::optional<MediaError> failure;
    MediaTime start = MediaTime::make(10, 1);

  private:
    std::filesystem::path path_ = "unwritten.mp4";
    AVFormatContext* format_ = nullptr;
};

FormatDescription h264OnA30thTimeBase() {
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = 64;
    parameters->height = 48;
    FormatDescription description(parameters, 1, 30);
    avcodec_parameters_free(&parameters);
    return description;
}

MediaPacket packet(std::vector<uint8_t> data, int64_t ptsMillis, std::optional<int64_t> dtsMillis,
                   bool key = false) {
    MediaPacket p;
    p.data = std::move(data);
    p.presentationTime = MediaTime::make(ptsMillis, 1000);
    if (dtsMillis) p.decodeTime = MediaTime::make(*dtsMillis, 1000);
    p.duration = MediaTime::make(1, 30);
    p.isKeyframe = key;
    return p;
}

TEST(PassthroughTrack, MovesTimesToTheSessionAndKeepsDecodeOrderUnambiguous) {
    RecordingOutput output;
    auto created = PassthroughTrack::create(h264OnA30thTimeBase(), {}, output);
    ASSERT_TRUE(created.ok()) << created.error();
    MovieTrack& track = **created;

    // Times in milliseconds of source time; the session starts at 10 s, the track counts 30ths.
    ASSERT_TRUE(track.write(packet({1, 2, 3}, 10'000, std::nullopt, true)));
    // Decode time 5 ms later rounds to the same tick: it must still come after the first.
    ASSERT_TRUE(track.write(packet({4}, 10'100, 10'005)));
    // A presentation time before its (raised) decode time follows it.
    ASSERT_TRUE(track.write(packet({5}, 10'010, 10'010)));
    ASSERT_TRUE(track.write(packet({}, 10'200, std::nullopt)));
    EXPECT_FALSE(output.failure);

    ASSERT_EQ(output.written.size(), 4u);
    const auto& w = output.written;
    EXPECT_EQ(w[0].pts, 0);
    EXPECT_EQ(w[0].dts, 0);
    EXPECT_TRUE(w[0].key);
    EXPECT_EQ(w[0].data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(w[1].pts, 3);
    EXPECT_EQ(w[1].dts, 1);
    EXPECT_FALSE(w[1].key);
    EXPECT_EQ(w[2].dts, 2);
    EXPECT_EQ(w[2].pts, 2);
    EXPECT_EQ(w[3].pts, 6);
    EXPECT_EQ(w[3].dts, 6);
    EXPECT_TRUE(w[3].data.empty());
    for (const auto& packet : w) {
        EXPECT_EQ(packet.duration, 1);
        EXPECT_EQ(packet.stream, 0);
    }
}

TEST(PassthroughTrack, RefusesATrackWithoutAFormat) {
    RecordingOutput output;
    auto created = PassthroughTrack::create(FormatDescription{}, {}, output);
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error().kind, MediaError::Kind::missingFormat);
}

}  // namespace
}  // namespace zimlo::media
