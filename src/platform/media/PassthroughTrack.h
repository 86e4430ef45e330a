#pragma once

#include <memory>

#include "platform/media/MediaFormat.h"
#include "platform/media/MovieTrack.h"

namespace zimlo::media {

// Copies compressed packets unchanged, moving their times to the session start and keeping
// decode times strictly increasing after rounding to the track's time base.
class PassthroughTrack : public MovieTrack {
  public:
    static MediaResult<std::unique_ptr<PassthroughTrack>> create(
        const FormatDescription& formatHint, const AffineTransform& transform, TrackOutput& output);

    bool write(const TrackSample& sample) override;
    void finish() override {}

  private:
    PassthroughTrack(TrackOutput& output, AVStream* stream) : output_(output), stream_(stream) {}

    TrackOutput& output_;
    AVStream* stream_;
    int64_t lastDts_ = AV_NOPTS_VALUE;
};

}  // namespace zimlo::media
