#pragma once

// Small helpers shared by the FFmpeg-based writer and readers (not part of the public interface).

#include <memory>
#include <string>

#include "platform/media/MediaFormat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

namespace zimlo::media {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
// What a demuxer reading through an input of our own (not a file name) keeps in its I/O
// context's `opaque`; released with the demuxer.
struct CustomInput {
    virtual ~CustomInput() = default;
};
// Closes the demuxer, and the I/O context and CustomInput of one opened on a custom input.
struct FormatInputDeleter {
    void operator()(AVFormatContext* context) const;
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FormatInputPtr = std::unique_ptr<AVFormatContext, FormatInputDeleter>;

// FFmpeg prints only what is fatal: the application keeps no log, errors travel as values.
void quietFFmpegLogging();

// The stream's display matrix (identity when it has none), and storing one.
AffineTransform displayMatrix(const AVStream* stream);
void setDisplayMatrix(AVStream* stream, const AffineTransform& transform);

// Mono sound goes to both sides at full level (not the -3 dB of a centre speaker); call
// between allocating and initialising a resampler whose input has `inputChannels`.
void duplicateMonoToStereo(SwrContext* resampler, int inputChannels, int outputChannels);

// A media time on a stream's time base.
MediaTime mediaTime(int64_t ticks, AVRational timeBase);

}  // namespace zimlo::media
