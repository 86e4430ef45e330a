#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/media/AssetReader.h"
#include "platform/media/FFmpegSupport.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media {

MediaResult<void> writePNG(const PixelBuffer& picture, const std::filesystem::path& url) {
    constexpr const char* doing = "saving the picture";
    using Kind = MediaError::Kind;
    if (picture.format() != PixelFormat::BGRA)
        return logged(MediaError::of(Kind::notBGRA), doing, url);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) return logged(MediaError::of(Kind::noEncoder, "PNG"), doing, url);
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    encoder->width = picture.width();
    encoder->height = picture.height();
    encoder->pix_fmt = AV_PIX_FMT_RGBA;
    encoder->time_base = AVRational{1, 25};
    int result = avcodec_open2(encoder.get(), codec, nullptr);
    if (result < 0) return logged(MediaError::library(result), doing, url);
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_RGBA;
    frame->width = picture.width();
    frame->height = picture.height();
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return logged(MediaError::of(Kind::outOfMemory), doing, url);
    for (int y = 0; y < picture.height(); ++y) {
        const uint8_t* in = picture.data() + static_cast<size_t>(y) * picture.stride();
        uint8_t* out = frame->data[0] + static_cast<size_t>(y) * frame->linesize[0];
        for (int x = 0; x < picture.width(); ++x) {
            out[4 * x + 0] = in[4 * x + 2];
            out[4 * x + 1] = in[4 * x + 1];
            out[4 * x + 2] = in[4 * x + 0];
            out[4 * x + 3] = in[4 * x + 3];
        }
    }
    PacketPtr packet(av_packet_alloc());
    if ((result = avcodec_send_frame(encoder.get(), frame.get())) < 0 ||
        (result = avcodec_receive_packet(encoder.get(), packet.get())) < 0)
        return logged(MediaError::library(result), doing, url);
    FILE* file = std::fopen(url.c_str(), "wb");
    if (!file) return logged(MediaError::system(errno), doing, url);
    size_t written = std::fwrite(packet->data, 1, packet->size, file);
    bool closed = std::fclose(file) == 0;
    if (written != static_cast<size_t>(packet->size) || !closed) {
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        return logged(MediaError::of(Kind::writeFailed), doing, url);
    }
    return {};
}

}  // namespace zimlo::media
