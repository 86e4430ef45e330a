#pragma once

#include <memory>
#include <optional>

#include "platform/media/AssetReader.h"
#include "platform/media/MediaTime.h"

namespace zimlo::compose {

// The frame of one source track shown at a given source time, read front to back. Shared by
// the export and the export that follows a recording as it is written.
class TrackCursor {
  public:
    // `spanEnd`: where the track's span in the composition ends; invalid while not known yet (a
    // movie still being written), which shows the track up to its last picture. `leastHold`:
    // how long a last picture is shown at least (a frame of the composition), and how long when
    // its own interval is unknown (the track's only one).
    TrackCursor(std::unique_ptr<media::VideoFrameReader> reader, media::MediaTime spanEnd,
                media::MediaTime leastHold = media::MediaTime::zero())
        : reader_(std::move(reader)), spanEnd_(spanEnd), leastHold_(leastHold) {}

    // Null when the track shows nothing at `time` (its span is over, or its pictures ended).
    std::shared_ptr<const media::PixelBuffer> frameAt(media::MediaTime time) {
        if (!started_) {
            current_ = reader_->next();
            if (current_) next_ = reader_->next();
            started_ = true;
        }
        while (next_ && next_->presentationTime <= time) {
            lastInterval_ = next_->presentationTime - current_->presentationTime;
            current_ = std::move(next_);
            next_ = reader_->next();
        }
        if (!current_ || (spanEnd_.valid && time >= spanEnd_)) return nullptr;
        // After the last picture the track holds it for one more frame interval, then is empty.
        if (!next_ && lastInterval_.valid && lastInterval_.value > 0 &&
            time >= current_->presentationTime + lastHold())
            return nullptr;
        return current_->pixels;
    }

    // The track's pictures are all shown by `time` (after frameAt(time)): none is left to read
    // and the last one's interval is over.
    bool ended(media::MediaTime time) const {
        if (!started_ || next_) return false;
        if (!current_ || (spanEnd_.valid && time >= spanEnd_)) return true;
        const media::MediaTime interval =
            lastInterval_.valid && lastInterval_.value > 0 ? lastHold() : leastHold_;
        // Containers round timestamps (to milliseconds, say): within that, the time is reached.
        return time + media::MediaTime::make(1, 500) >= current_->presentationTime + interval;
    }

    // After frameAt(time): a later picture has been read, so what the track shows at `time`
    // cannot depend on where the track ends.
    bool hasPictureAfter(media::MediaTime time) const {
        return started_ && next_ && next_->presentationTime > time;
    }
    void setSpanEnd(media::MediaTime end) { spanEnd_ = end; }

    const media::VideoFrameReader& reader() const { return *reader_; }
    media::VideoFrameReader& reader() { return *reader_; }

  private:
    // How long the last picture lasts: the interval before it, but at least `leastHold`. A
    // recording takes its last picture again one frame before the stop, often only a few
    // milliseconds after the one before; that picture lasts a frame, to the stop.
    media::MediaTime lastHold() const {
        return leastHold_.valid && leastHold_ > lastInterval_ ? leastHold_ : lastInterval_;
    }

    std::unique_ptr<media::VideoFrameReader> reader_;
    media::MediaTime spanEnd_;
    media::MediaTime leastHold_;
    bool started_ = false;
    std::optional<media::DecodedVideoFrame> current_;
    std::optional<media::DecodedVideoFrame> next_;
    media::MediaTime lastInterval_;
};

}  // namespace zimlo::compose
