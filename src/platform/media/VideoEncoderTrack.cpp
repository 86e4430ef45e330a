#include "platform/media/VideoEncoderTrack.h"

#include <algorithm>

extern "C" {
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media {

MediaResult<std::unique_ptr<VideoEncoderTrack>> VideoEncoderTrack::create(
    const VideoEncoderSettings& settings, TrackOutput& output) {
    int width = settings.width & ~1;
    int height = settings.height & ~1;
    if (width <= 0 || height <= 0) {
        return refuseTrack(output, "adding the video track",
                           MediaError::of(MediaError::Kind::invalidPictureSize));
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        return refuseTrack(output, "adding the video track",
                           MediaError::of(MediaError::Kind::noEncoder, "H.264"));
    }
    auto created = output.newStream();
    if (!created.ok()) return zimlo::fail(std::move(created).error());
    AVStream* stream = *created;

    CodecContextPtr context(avcodec_alloc_context3(codec));
    AVCodecContext* encoder = context.get();
    int fps = std::max(settings.expectedFrameRate, 1);
    encoder->width = width;
    encoder->height = height;
    // x264 works on NV12 itself, so it takes such pictures as they are.
    encoder->pix_fmt = settings.pictureFormat == PixelFormat::NV12VideoRange ? AV_PIX_FMT_NV12
                                                                             : AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, fps * 1000};
    encoder->framerate = AVRational{fps, 1};
    encoder->bit_rate = settings.averageBitRate;
    encoder->thread_count = settings.threads;
    encoder->max_b_frames = settings.maxBFrames;
    encoder->qmin = settings.minQuantizer;
    encoder->color_range = AVCOL_RANGE_MPEG;
    encoder->colorspace = AVCOL_SPC_BT709;
    encoder->color_primaries = AVCOL_PRI_BT709;
    encoder->color_trc = AVCOL_TRC_BT709;
    if (output.wantsGlobalHeader()) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", settings.preset.c_str(), 0);
    if (!settings.tune.empty()) av_opt_set(encoder->priv_data, "tune", settings.tune.c_str(), 0);
    av_opt_set(encoder->priv_data, "profile", "high", 0);
    if (!settings.encoderParameters.empty())
        av_opt_set(encoder->priv_data, "x264-params", settings.encoderParameters.c_str(), 0);
    int result = avcodec_open2(encoder, codec, nullptr);
    if (result < 0) {
        return refuseTrack(output, "adding the video track", MediaError::library(result));
    }
    avcodec_parameters_from_context(stream->codecpar, encoder);
    stream->time_base = encoder->time_base;
    stream->avg_frame_rate = encoder->framerate;
    setDisplayMatrix(stream, settings.transform);
    std::unique_ptr<VideoEncoderTrack> track(
        new VideoEncoderTrack(output, stream, std::move(context)));
    track->frameDurationTicks_ = av_rescale_q(1, AVRational{1, fps}, encoder->time_base);
    return track;
}

VideoEncoderTrack::VideoEncoderTrack(TrackOutput& output, AVStream* stream, CodecContextPtr encoder)
    : output_(output), stream_(stream), encoder_(std::move(encoder)) {}

VideoEncoderTrack::~VideoEncoderTrack() { sws_freeContext(scaler_); }

bool VideoEncoderTrack::encode(AVFrame* frame) {
    return encodeAndWrite(encoder_.get(), frame, stream_, frameDurationTicks_, output_);
}

// Hands an NV12 picture to the encoder without copying it: the frame's buffers keep the
// picture alive for as long as the encoder holds them.
bool VideoEncoderTrack::encodeInPlace(const std::shared_ptr<const PixelBuffer>& pixels,
                                      int64_t pts) {
    FramePtr frame(av_frame_alloc());
    if (!frame) {
        output_.fail(MediaError::of(MediaError::Kind::outOfMemory));
        return false;
    }
    frame->format = AV_PIX_FMT_NV12;
    frame->width = pixels->width();
    frame->height = pixels->height();
    frame->pts = pts;
    const int rows[2] = {pixels->height(), (pixels->height() + 1) / 2};
    for (int plane = 0; plane < 2; ++plane) {
        auto* owner = new std::shared_ptr<const PixelBuffer>(pixels);
        frame->buf[plane] = av_buffer_create(
            const_cast<uint8_t*>(pixels->data(plane)),
            static_cast<size_t>(pixels->stride(plane)) * rows[plane],
            [](void* opaque, uint8_t*) {
                delete static_cast<std::shared_ptr<const PixelBuffer>*>(opaque);
            },
            owner, AV_BUFFER_FLAG_READONLY);
        if (!frame->buf[plane]) {
            delete owner;
            output_.fail(MediaError::of(MediaError::Kind::outOfMemory));
            return false;
        }
        frame->data[plane] = const_cast<uint8_t*>(pixels->data(plane));
        frame->linesize[plane] = pixels->stride(plane);
    }
    return encode(frame.get());
}

bool VideoEncoderTrack::write(const TrackSample& item) {
    const auto* video = std::get_if<VideoSample>(&item);
    if (!video) return true;
    const VideoSample& sample = *video;
    if (!sample.pixels) return true;
    MediaTime relative = sample.presentationTime - output_.sessionStart();
    if (!relative.valid || relative < MediaTime::zero()) return true;
    int64_t pts = toTicks(relative, encoder_->time_base);
    if (lastPts_ != AV_NOPTS_VALUE && pts <= lastPts_) return true;

    const PixelBuffer& pixels = *sample.pixels;
    AVCodecContext* encoder = encoder_.get();
    if (encoder->pix_fmt == AV_PIX_FMT_NV12 && pixels.format() == PixelFormat::NV12VideoRange &&
        pixels.width() == encoder->width && pixels.height() == encoder->height) {
        lastPts_ = pts;
        return encodeInPlace(sample.pixels, pts);
    }
    AVPixelFormat sourceFormat = AV_PIX_FMT_BGRA;
    int sourceRange = 1;
    switch (pixels.format()) {
        case PixelFormat::BGRA:
            sourceFormat = AV_PIX_FMT_BGRA;
            sourceRange = 1;
            break;
        case PixelFormat::NV12VideoRange:
            sourceFormat = AV_PIX_FMT_NV12;
            sourceRange = 0;
            break;
        case PixelFormat::NV12FullRange:
            sourceFormat = AV_PIX_FMT_NV12;
            sourceRange = 1;
            break;
    }
    // An odd-sized picture loses its last column or row (4:2:0 needs even sizes); a picture
    // of another size is scaled to the track's size.
    int sourceWidth = pixels.width();
    int sourceHeight = pixels.height();
    if ((sourceWidth & ~1) == encoder->width && (sourceHeight & ~1) == encoder->height) {
        sourceWidth = encoder->width;
        sourceHeight = encoder->height;
    }
    scaler_ = sws_getCachedContext(scaler_, sourceWidth, sourceHeight, sourceFormat, encoder->width,
                                   encoder->height, encoder->pix_fmt, SWS_FAST_BILINEAR, nullptr,
                                   nullptr, nullptr);
    if (!scaler_) {
        output_.fail(MediaError::of(MediaError::Kind::pictureConversion));
        return false;
    }
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(scaler_, bt709, sourceRange, bt709, 0, 0, 1 << 16, 1 << 16);

    if (!picture_) {
        picture_.reset(av_frame_alloc());
        picture_->format = encoder->pix_fmt;
        picture_->width = encoder->width;
        picture_->height = encoder->height;
        if (av_frame_get_buffer(picture_.get(), 0) < 0) {
            output_.fail(MediaError::of(MediaError::Kind::outOfMemory));
            return false;
        }
    }
    if (av_frame_make_writable(picture_.get()) < 0) {
        output_.fail(MediaError::of(MediaError::Kind::outOfMemory));
        return false;
    }
    const uint8_t* sourcePlanes[4] = {
        pixels.data(0), pixels.planeCount() > 1 ? pixels.data(1) : nullptr, nullptr, nullptr};
    int sourceStrides[4] = {pixels.stride(0), pixels.planeCount() > 1 ? pixels.stride(1) : 0, 0, 0};
    sws_scale(scaler_, sourcePlanes, sourceStrides, 0, sourceHeight, picture_->data,
              picture_->linesize);
    picture_->pts = pts;
    lastPts_ = pts;
    return encode(picture_.get());
}

void VideoEncoderTrack::finish() { encode(nullptr); }

}  // namespace zimlo::media
