#include "platform/camera/FrameDecoder.h"

#include <linux/videodev2.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/camera/CameraDevice.h"

namespace zimlo::camera {
namespace {

// JPEG pictures come in the full-range ("J") formats, which the scaler wants spelled as the
// plain formats plus a full-range flag.
AVPixelFormat withoutFullRangeAlias(AVPixelFormat format, bool& fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            fullRange = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            fullRange = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            fullRange = true;
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            fullRange = true;
            return AV_PIX_FMT_YUV440P;
        default:
            return format;
    }
}

}  // namespace

FrameDecoder::FrameDecoder() {
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
}

FrameDecoder::~FrameDecoder() {
    avcodec_free_context(&jpeg_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    sws_freeContext(scaler_);
}

std::shared_ptr<media::PixelBuffer> FrameDecoder::decode(uint32_t pixelFormat, int width,
                                                         int height, const uint8_t* data,
                                                         size_t size, bool mirrored) {
    if (width <= 0 || height <= 0 || !data) return nullptr;
    if (pixelFormat == V4L2_PIX_FMT_YUYV) {
        int stride = width * 2;
        if (size < static_cast<size_t>(stride) * height) return nullptr;
        const uint8_t* planes[4] = {data, nullptr, nullptr, nullptr};
        const int strides[4] = {stride, 0, 0, 0};
        return convert(planes, strides, AV_PIX_FMT_YUYV422, width, height, mirrored);
    }
    if (pixelFormat != V4L2_PIX_FMT_MJPEG && pixelFormat != V4L2_PIX_FMT_JPEG) return nullptr;

    if (!jpeg_) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        if (!codec) return nullptr;
        jpeg_ = avcodec_alloc_context3(codec);
        if (!jpeg_ || avcodec_open2(jpeg_, codec, nullptr) < 0) {
            avcodec_free_context(&jpeg_);
            return nullptr;
        }
    }
    av_packet_unref(packet_);
    packet_->data = const_cast<uint8_t*>(data);
    packet_->size = static_cast<int>(size);
    if (avcodec_send_packet(jpeg_, packet_) < 0) return nullptr;
    if (avcodec_receive_frame(jpeg_, frame_) < 0) return nullptr;
    std::shared_ptr<media::PixelBuffer> picture;
    if (frame_->width > 0 && frame_->height > 0) {
        picture = convert(frame_->data, frame_->linesize, frame_->format, frame_->width,
                          frame_->height, mirrored);
    }
    av_frame_unref(frame_);
    return picture;
}

std::shared_ptr<media::PixelBuffer> FrameDecoder::convert(const uint8_t* const planes[],
                                                          const int strides[], int sourceFormat,
                                                          int width, int height, bool mirrored) {
    bool fullRange = false;
    auto format = withoutFullRangeAlias(static_cast<AVPixelFormat>(sourceFormat), fullRange);
    scaler_ = sws_getCachedContext(scaler_, width, height, format, width, height, AV_PIX_FMT_BGRA,
                                   SWS_POINT, nullptr, nullptr, nullptr);
    if (!scaler_) return nullptr;
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(scaler_, coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16,
                             1 << 16);

    auto picture = std::make_shared<media::PixelBuffer>(width, height, media::PixelFormat::BGRA);
    uint8_t* out[4] = {picture->data(), nullptr, nullptr, nullptr};
    int outStrides[4] = {picture->stride(), 0, 0, 0};
    if (sws_scale(scaler_, planes, strides, 0, height, out, outStrides) != height) return nullptr;
    if (mirrored) mirrorHorizontally(*picture);
    return picture;
}

}  // namespace zimlo::camera
