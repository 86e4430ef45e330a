#pragma once

#include <memory>

#include "platform/media/FFmpegSupport.h"
#include "platform/media/MovieTrack.h"
#include "platform/media/MovieWriter.h"

struct SwsContext;

namespace zimlo::media {

// Encodes pictures to H.264, converting or scaling those not in the encoder's own format.
// Pictures before the session start or not after the previous one are dropped.
class VideoEncoderTrack : public MovieTrack {
  public:
    static MediaResult<std::unique_ptr<VideoEncoderTrack>> create(
        const VideoEncoderSettings& settings, TrackOutput& output);
    ~VideoEncoderTrack() override;

    bool write(const TrackSample& sample) override;
    void finish() override;

  private:
    VideoEncoderTrack(TrackOutput& output, AVStream* stream, CodecContextPtr encoder);
    bool encode(AVFrame* frame);
    bool encodeInPlace(const std::shared_ptr<const PixelBuffer>& pixels, int64_t pts);

    TrackOutput& output_;
    AVStream* stream_;
    CodecContextPtr encoder_;
    int64_t frameDurationTicks_ = 0;
    SwsContext* scaler_ = nullptr;
    FramePtr picture_;
    int64_t lastPts_ = AV_NOPTS_VALUE;
};

}  // namespace zimlo::media
