#include "platform/media/PassthroughTrack.h"

#include <cstring>

#include "platform/media/FFmpegSupport.h"

namespace zimlo::media {

MediaResult<std::unique_ptr<PassthroughTrack>> PassthroughTrack::create(
    const FormatDescription& formatHint, const AffineTransform& transform, TrackOutput& output) {
    if (!formatHint.isValid()) {
        return refuseTrack(output, "adding a copied track",
                           MediaError::of(MediaError::Kind::missingFormat));
    }
    auto created = output.newStream();
    if (!created.ok()) return zimlo::fail(std::move(created).error());
    AVStream* stream = *created;
    avcodec_parameters_copy(stream->codecpar, formatHint.parameters());
    stream->codecpar->codec_tag = 0;  // let the container pick its own tag
    stream->time_base = AVRational{formatHint.timeBaseNum(), formatHint.timeBaseDen()};
    if (formatHint.mediaType() == MediaType::video) setDisplayMatrix(stream, transform);
    return std::unique_ptr<PassthroughTrack>(new PassthroughTrack(output, stream));
}

bool PassthroughTrack::write(const TrackSample& item) {
    const auto* copied = std::get_if<MediaPacket>(&item);
    if (!copied) return true;
    const MediaPacket& sample = *copied;
    PacketPtr packet(av_packet_alloc());
    if (av_new_packet(packet.get(), static_cast<int>(sample.data.size())) < 0) {
        output_.fail(MediaError::of(MediaError::Kind::outOfMemory));
        return false;
    }
    if (!sample.data.empty()) std::memcpy(packet->data, sample.data.data(), sample.data.size());
    AVRational base = stream_->time_base;
    const MediaTime sessionStart = output_.sessionStart();
    MediaTime pts =
        sample.presentationTime.valid ? sample.presentationTime - sessionStart : MediaTime{};
    MediaTime dts = sample.decodeTime.valid ? sample.decodeTime - sessionStart : pts;
    packet->pts = pts.valid ? toTicks(pts, base) : AV_NOPTS_VALUE;
    packet->dts = dts.valid ? toTicks(dts, base) : AV_NOPTS_VALUE;
    if (packet->dts != AV_NOPTS_VALUE && lastDts_ != AV_NOPTS_VALUE && packet->dts <= lastDts_)
        packet->dts = lastDts_ + 1;  // rounding must not make decode order ambiguous
    if (packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE && packet->pts < packet->dts)
        packet->pts = packet->dts;
    lastDts_ = packet->dts;
    packet->duration = sample.duration.valid ? toTicks(sample.duration, base) : 0;
    if (sample.isKeyframe) packet->flags |= AV_PKT_FLAG_KEY;
    packet->stream_index = stream_->index;
    return output_.writePacket(packet.get());
}

}  // namespace zimlo::media
