#pragma once

// Small helpers shared by the FFmpeg-based writer and readers (not part of the public interface).

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/media/MediaError.h"
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
// context's `opaque`, read through readCustomInput; released with the demuxer.
struct CustomInput {
    virtual ~CustomInput() = default;
    // As an AVIOContext's read_packet: bytes read, or an AVERROR.
    virtual int read(uint8_t* buffer, int size) = 0;
};
// The read_packet of an I/O context whose `opaque` is a CustomInput; what marks it as one
// (other inputs of our own, from memory say, stay their maker's).
int readCustomInput(void* opaque, uint8_t* buffer, int size);
// Closes the demuxer, and frees the reading context a file input of ours brought
// (openFileInput) or the I/O context and CustomInput of one opened on another input of ours.
struct FormatInputDeleter {
    void operator()(AVFormatContext* context) const;
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FormatInputPtr = std::unique_ptr<AVFormatContext, FormatInputDeleter>;

// A format context that reads `url` through a descriptor of our own, not yet opened by a
// demuxer: the file must be a regular file (a FIFO or device named like a movie would block
// FFmpeg's own open, or never end), and reading gives up with AVERROR_EXIT once `deadline` has
// passed. Fails with the system's error, or notARegularFile.
MediaResult<AVFormatContext*> prepareFileInput(
    const std::filesystem::path& url,
    std::optional<std::chrono::steady_clock::time_point> deadline);
// Frees what prepareFileInput attached, for a context avformat_open_input failed on (it frees
// the context but leaves a caller's reading context alone).
void releaseFileInput(AVIOContext* io);
// Whether the deadline of the file input behind `context` has passed.
bool fileInputExpired(const AVFormatContext* context);

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
