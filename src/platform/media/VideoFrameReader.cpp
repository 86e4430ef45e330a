#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/media/AssetDecoding.h"
#include "platform/media/AssetReader.h"
#include "platform/media/FFmpegSupport.h"
#include "platform/media/PictureConverters.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media {

using namespace detail;

struct VideoFrameReader::Impl {
    std::filesystem::path url;
    VideoDecoder decoder;
    BGRAConverter converter;
    NV12Copier copier;
    DecodedPictureFormat format = DecodedPictureFormat::bgra;
    std::optional<TimeRange> range;
    std::optional<DecodedVideoFrame> held;     // the last frame before the range start
    std::optional<DecodedVideoFrame> pending;  // decoded while handing out `held`
    bool reachedRange = false;
    bool done = false;

    static std::optional<DecodedVideoFrame> take(std::optional<DecodedVideoFrame>& slot) {
        // A moved-from optional keeps its value engaged; exchange leaves the slot empty.
        return std::exchange(slot, std::nullopt);
    }
};

VideoFrameReader::~VideoFrameReader() = default;

MediaResult<std::unique_ptr<VideoFrameReader>> VideoFrameReader::open(
    const MovieAsset& asset, int trackID, std::optional<TimeRange> range,
    DecodedPictureFormat format, int decoderThreads) {
    std::unique_ptr<VideoFrameReader> reader(new VideoFrameReader());
    reader->impl_ = std::make_unique<Impl>();
    reader->impl_->format = format;
    reader->impl_->url = asset.url();
    if (auto opened = reader->impl_->decoder.open(asset, trackID, decoderThreads, std::nullopt,
                                                  &reader->cancelled_);
        !opened)
        return logged(std::move(opened).error(), "decoding the video of", asset.url());
    reader->impl_->range = range;
    if (range) reader->impl_->decoder.seek(range->start);
    return reader;
}

int64_t VideoFrameReader::compressedBytesRead() const { return impl_->decoder.compressedBytes(); }

std::optional<DecodedVideoFrame> VideoFrameReader::next() {
    Impl& impl = *impl_;
    if (impl.pending) return Impl::take(impl.pending);
    while (!impl.done && !cancelled_ && !error_) {
        auto decoded = impl.decoder.next();
        AVFrame* frame = decoded.valueOr(nullptr);
        if (!decoded) setError(std::move(decoded).error(), "decoding the video of", impl.url);
        MediaTime time = frame ? impl.decoder.timeOf(frame) : MediaTime{};
        bool pastEnd = frame && impl.range && impl.range->duration.valid && time.valid &&
                       time >= impl.range->end();
        if (!frame || pastEnd) {
            // A range that starts after the last frame still shows that frame.
            impl.done = true;
            return Impl::take(impl.held);
        }
        auto pixels =
            impl.format == DecodedPictureFormat::bt709NV12OrBGRA && NV12Copier::accepts(frame)
                ? impl.copier.copy(frame)
                : impl.converter.convert(frame, frame->width, frame->height);
        if (!pixels) {
            setError(MediaError::of(MediaError::Kind::pictureConversion), "converting the video of",
                     impl.url);
            return std::nullopt;
        }
        DecodedVideoFrame current{pixels, time};
        if (impl.range && !impl.reachedRange && time.valid && time < impl.range->start) {
            impl.held =
                std::move(current);  // on screen at the start unless a frame starts exactly there
            continue;
        }
        impl.reachedRange = true;
        if (impl.held && time > impl.range->start) {
            impl.pending = std::move(current);
            return Impl::take(impl.held);
        }
        impl.held.reset();
        return current;
    }
    return std::nullopt;
}

}  // namespace zimlo::media
