#include "platform/media/MovieTrack.h"

#include "platform/log/Log.h"
#include "platform/media/FFmpegSupport.h"

namespace zimlo::media {

int64_t toTicks(MediaTime time, AVRational timeBase) {
    // time.value / time.timescale seconds in units of timeBase.
    return av_rescale_q_rnd(time.value, AVRational{1, time.timescale}, timeBase,
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

bool encodeAndWrite(AVCodecContext* encoder, AVFrame* frame, AVStream* stream,
                    int64_t defaultDuration, TrackOutput& output) {
    int result = avcodec_send_frame(encoder, frame);
    if (result < 0 && result != AVERROR_EOF) {
        output.fail(MediaError::library(result));
        return false;
    }
    PacketPtr packet(av_packet_alloc());
    for (;;) {
        result = avcodec_receive_packet(encoder, packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        if (result < 0) {
            output.fail(MediaError::library(result));
            return false;
        }
        packet->stream_index = stream->index;
        if (defaultDuration > 0 && packet->duration <= 0) packet->duration = defaultDuration;
        av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
        if (!output.writePacket(packet.get())) return false;
    }
}

Failure<MediaError> refuseTrack(const TrackOutput& output, const char* doing, MediaError reason) {
    ZIMLO_LOG_ERROR("writer") << doing << " to " << output.url() << ": " << reason;
    return zimlo::fail(std::move(reason));
}

}  // namespace zimlo::media
