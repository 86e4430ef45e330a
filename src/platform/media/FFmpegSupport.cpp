#include "platform/media/FFmpegSupport.h"

#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace zimlo::media {

void FormatInputDeleter::operator()(AVFormatContext* context) const {
    if (!context) return;
    AVIOContext* custom = (context->flags & AVFMT_FLAG_CUSTOM_IO) ? context->pb : nullptr;
    avformat_close_input(&context);
    if (!custom) return;
    delete static_cast<CustomInput*>(custom->opaque);
    av_freep(&custom->buffer);
    avio_context_free(&custom);
}

void quietFFmpegLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

AffineTransform displayMatrix(const AVStream* stream) {
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (!data) return {};
    int32_t m[9];
    std::memcpy(m, data, sizeof m);
    auto fixed = [](int32_t v) { return v / 65536.0; };
    return {fixed(m[0]), fixed(m[1]), fixed(m[3]), fixed(m[4]), fixed(m[6]), fixed(m[7])};
}

void setDisplayMatrix(AVStream* stream, const AffineTransform& transform) {
    if (transform.isIdentity()) return;
    uint8_t* data = av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9);
    if (!data) return;
    auto fixed = [](double v) { return static_cast<int32_t>(std::lround(v * 65536.0)); };
    int32_t m[9] = {fixed(transform.a),  fixed(transform.b),  0,
                    fixed(transform.c),  fixed(transform.d),  0,
                    fixed(transform.tx), fixed(transform.ty), 1 << 30};
    std::memcpy(data, m, sizeof m);
}

void duplicateMonoToStereo(SwrContext* resampler, int inputChannels, int outputChannels) {
    if (inputChannels != 1 || outputChannels != 2) return;
    const double matrix[2] = {1.0, 1.0};
    swr_set_matrix(resampler, matrix, 1);
}

MediaTime mediaTime(int64_t ticks, AVRational timeBase) {
    if (ticks == AV_NOPTS_VALUE || timeBase.num <= 0 || timeBase.den <= 0)
        return MediaTime::invalid();
    if (timeBase.num == 1) return MediaTime::make(ticks, timeBase.den);
    // Timescale of the denominator; the numerator is folded into the value.
    return MediaTime::make(ticks * timeBase.num, timeBase.den);
}

}  // namespace zimlo::media
