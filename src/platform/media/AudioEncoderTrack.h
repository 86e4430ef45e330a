#pragma once

#include <memory>
#include <vector>

#include "platform/media/FFmpegSupport.h"
#include "platform/media/MovieTrack.h"
#include "platform/media/MovieWriter.h"

namespace zimlo::media {

// Encodes sound to AAC. Each chunk is placed by its timestamp: small jitter is absorbed, a gap
// becomes silence and an overlap is trimmed.
class AudioEncoderTrack : public MovieTrack {
  public:
    static MediaResult<std::unique_ptr<AudioEncoderTrack>> create(
        const AudioEncoderSettings& settings, TrackOutput& output);
    ~AudioEncoderTrack() override;

    bool write(const TrackSample& sample) override;
    void finish() override;

  private:
    AudioEncoderTrack(TrackOutput& output, AVStream* stream, CodecContextPtr encoder);
    bool configureResampler(const AudioSample& sample);
    bool encodePending(bool flushPartial);
    // Samples the track starts into its sound (and its packets later) for the encoder's priming.
    int64_t primingShift() const;

    TrackOutput& output_;
    AVStream* stream_;
    CodecContextPtr encoder_;
    SwrContext* resampler_ = nullptr;
    AVSampleFormat resamplerFormat_ = AV_SAMPLE_FMT_NONE;
    int resamplerRate_ = 0;
    int resamplerChannels_ = 0;
    // Converted sound waiting to fill an encoder frame, planar per channel.
    std::vector<std::vector<float>> pending_;
    int64_t placedSamples_ = 0;   // samples placed on the track so far (including pending)
    int64_t encodedSamples_ = 0;  // samples handed to the encoder
    bool placedAny_ = false;
};

}  // namespace zimlo::media
