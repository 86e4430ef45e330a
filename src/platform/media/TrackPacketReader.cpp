#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/log/Log.h"
#include "platform/media/AssetDecoding.h"
#include "platform/media/AssetReader.h"
#include "platform/media/FFmpegSupport.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media {

using namespace detail;

struct TrackPacketReader::Impl {
    std::filesystem::path url;
    FormatInputPtr format;
    PacketPtr packet;
    int streamIndex = -1;
};

TrackPacketReader::~TrackPacketReader() = default;

void TrackReaderBase::setError(MediaError error, const char* doing,
                               const std::filesystem::path& url) {
    // A cancelled reader stops short on purpose: what stopped it is no fault.
    if (error_ || cancelled_) return;
    ZIMLO_LOG_ERROR("media") << doing << " " << url << " failed: " << error.technicalText();
    error_ = std::move(error);
}

MediaResult<std::unique_ptr<TrackPacketReader>> TrackPacketReader::open(const MovieAsset& asset,
                                                                        int trackID) {
    constexpr const char* doing = "reading the packets of";
    int streamIndex = streamIndexOf(asset, trackID);
    if (streamIndex < 0)
        return logged(MediaError::of(MediaError::Kind::noSuchTrack), doing, asset.url());
    std::unique_ptr<TrackPacketReader> reader(new TrackPacketReader());
    reader->impl_ = std::make_unique<Impl>();
    auto format = openForReading(asset, {streamIndex}, std::nullopt, &reader->cancelled_);
    if (!format) return logged(std::move(format).error(), doing, asset.url());
    reader->impl_->url = asset.url();
    reader->impl_->format = std::move(format).value();
    reader->impl_->packet.reset(av_packet_alloc());
    reader->impl_->streamIndex = streamIndex;
    return reader;
}

std::optional<MediaPacket> TrackPacketReader::next() {
    Impl& impl = *impl_;
    while (!cancelled_ && !error_) {
        int result = av_read_frame(impl.format.get(), impl.packet.get());
        if (result == AVERROR_EOF) return std::nullopt;
        if (result < 0) {
            setError(MediaError::library(result), "reading packets of", impl.url);
            return std::nullopt;
        }
        if (impl.packet->stream_index != impl.streamIndex) {
            av_packet_unref(impl.packet.get());
            continue;
        }
        AVRational base = impl.format->streams[impl.streamIndex]->time_base;
        MediaPacket out;
        out.data.assign(impl.packet->data, impl.packet->data + impl.packet->size);
        out.presentationTime = mediaTime(impl.packet->pts, base);
        out.decodeTime = mediaTime(impl.packet->dts, base);
        out.duration = mediaTime(impl.packet->duration, base);
        out.isKeyframe = (impl.packet->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_unref(impl.packet.get());
        return out;
    }
    return std::nullopt;
}

}  // namespace zimlo::media
