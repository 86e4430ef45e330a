#include "platform/media/MediaFormat.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace zimlo::media {

AffineTransform AffineTransform::rotation(int degrees, Size size) {
    switch (((degrees % 360) + 360) % 360) {
        case 90:
            return {0, 1, -1, 0, size.height, 0};
        case 180:
            return {-1, 0, 0, -1, size.width, size.height};
        case 270:
            return {0, -1, 1, 0, 0, size.width};
        default:
            return {};
    }
}

bool FormatDescription::isDecodable() const {
    return parameters_ && avcodec_find_decoder(parameters_->codec_id) != nullptr;
}

FormatDescription::FormatDescription(const AVCodecParameters* parameters, int timeBaseNum,
                                     int timeBaseDen)
    : timeBaseNum_(timeBaseNum), timeBaseDen_(timeBaseDen) {
    if (!parameters) return;
    AVCodecParameters* copy = avcodec_parameters_alloc();
    if (!copy || avcodec_parameters_copy(copy, parameters) < 0) {
        avcodec_parameters_free(&copy);
        return;
    }
    parameters_.reset(copy, [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
    switch (copy->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            mediaType_ = MediaType::video;
            break;
        case AVMEDIA_TYPE_AUDIO:
            mediaType_ = MediaType::audio;
            break;
        default:
            mediaType_ = MediaType::other;
            break;
    }
    codecName_ = avcodec_get_name(copy->codec_id);
    if (const char* profile = avcodec_profile_name(copy->codec_id, copy->profile))
        profile_ = profile;
    width_ = copy->width;
    height_ = copy->height;
    sampleRate_ = copy->sample_rate;
    channels_ = copy->ch_layout.nb_channels;
}

}  // namespace zimlo::media
