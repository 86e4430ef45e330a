#pragma once

// Inside the media readers: opening a movie for reading, finding a track's stream, its decoder,
// seeking, and decoding a video stream frame by frame.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/media/AssetReader.h"
#include "platform/media/FFmpegSupport.h"
#include "platform/media/GrowingFile.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media::detail {

// Movies are local regular files in the containers we write and play (QuickTime/MPEG-4,
// Matroska), read through a descriptor of our own: the path is always a file name, never a
// protocol ("concat:", "subfile,") and never a playlist whose entries would be opened in turn
// (HLS, ffconcat).
constexpr const char* kReadableContainers = "mov,matroska";

inline MediaResult<FormatInputPtr> openInput(const std::filesystem::path& url,
                                             ReadDeadline deadline = std::nullopt) {
    quietFFmpegLogging();
    auto prepared = prepareFileInput(url, deadline);
    if (!prepared) return fail(std::move(prepared).error());
    AVFormatContext* raw = *prepared;
    AVIOContext* io = raw->pb;
    auto failure = [&](int result) {
        return deadline && std::chrono::steady_clock::now() >= *deadline
                   ? MediaError::of(MediaError::Kind::timedOut)
                   : MediaError::library(result);
    };
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", kReadableContainers, 0);
    int result = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {
        releaseFileInput(io);  // the context is gone, our reading context is not
        return fail(failure(result));
    }
    FormatInputPtr context(raw);
    result = avformat_find_stream_info(context.get(), nullptr);
    if (result < 0) return fail(failure(result));
    return context;
}

// The stream of a track identifier, or -1.
inline int streamIndexOf(const MovieAsset& asset, int trackID) {
    const AssetTrack* track = asset.track(trackID);
    return track ? track->streamIndex : -1;
}

// A movie still being written, read front to back as it grows (GrowingFile.cpp). Reads fail
// once `cancelled` (may be null) is set.
MediaResult<FormatInputPtr> openGrowingInput(const std::shared_ptr<GrowingFile>& file,
                                             const std::atomic<bool>* cancelled);

// Opens the file again (as it grows, for a growing asset) and keeps only `keep` streams flowing.
// A wait for a growing file's next bytes ends when `cancelled` (may be null) is set.
inline MediaResult<FormatInputPtr> openForReading(const MovieAsset& asset,
                                                  const std::vector<int>& keep,
                                                  ReadDeadline deadline = std::nullopt,
                                                  const std::atomic<bool>* cancelled = nullptr) {
    auto opened = asset.growingFile() ? openGrowingInput(asset.growingFile(), cancelled)
                                      : openInput(asset.url(), deadline);
    if (!opened) return opened;
    FormatInputPtr context = std::move(opened).value();
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        bool wanted = std::find(keep.begin(), keep.end(), static_cast<int>(i)) != keep.end();
        context->streams[i]->discard = wanted ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    return context;
}

inline MediaResult<CodecContextPtr> openDecoder(const AVStream* stream, int threads = 0) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return fail(MediaError::of(MediaError::Kind::unsupportedCodec,
                                   avcodec_get_name(stream->codecpar->codec_id)));
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = threads;
    int result = avcodec_open2(decoder.get(), codec, nullptr);
    if (result < 0) return fail(MediaError::library(result));
    return decoder;
}

inline void seekTo(AVFormatContext* context, int streamIndex, MediaTime time) {
    if (!time.valid || time <= MediaTime::zero()) return;
    AVRational base = context->streams[streamIndex]->time_base;
    int64_t target = av_rescale_q(time.value, AVRational{1, time.timescale}, base);
    av_seek_frame(context, streamIndex, target, AVSEEK_FLAG_BACKWARD);
}

// Decodes one video stream frame by frame (presentation order).
class VideoDecoder {
  public:
    MediaResult<void> open(const MovieAsset& asset, int trackID, int threads = 0,
                           ReadDeadline deadline = std::nullopt,
                           const std::atomic<bool>* cancelled = nullptr) {
        streamIndex_ = streamIndexOf(asset, trackID);
        if (streamIndex_ < 0 || asset.track(trackID)->mediaType != MediaType::video)
            return fail(MediaError::of(MediaError::Kind::noSuchVideoTrack));
        auto format = openForReading(asset, {streamIndex_}, deadline, cancelled);
        if (!format) return fail(std::move(format).error());
        format_ = std::move(format).value();
        auto decoder = openDecoder(format_->streams[streamIndex_], threads);
        if (!decoder) return fail(std::move(decoder).error());
        decoder_ = std::move(decoder).value();
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        return {};
    }

    void seek(MediaTime time) {
        seekTo(format_.get(), streamIndex_, time);
        avcodec_flush_buffers(decoder_.get());
    }

    // The next decoded frame (owned by the decoder until the next call), null at the end.
    MediaResult<AVFrame*> next() {
        for (;;) {
            av_frame_unref(frame_.get());
            int result = avcodec_receive_frame(decoder_.get(), frame_.get());
            if (result == 0) return frame_.get();
            if (result == AVERROR_EOF) return nullptr;
            // A damaged picture is skipped, as players do; the next key frame recovers.
            if (result == AVERROR_INVALIDDATA) continue;
            if (result != AVERROR(EAGAIN)) return fail(MediaError::library(result));
            if (draining_) return nullptr;
            result = av_read_frame(format_.get(), packet_.get());
            if (result == AVERROR_EOF) {
                draining_ = true;
                avcodec_send_packet(decoder_.get(), nullptr);
                continue;
            }
            if (result < 0) return fail(MediaError::library(result));
            // A packet cut short (the tail of an interrupted recording) is left out.
            if (packet_->stream_index == streamIndex_ && !(packet_->flags & AV_PKT_FLAG_CORRUPT)) {
                if (sentPackets_++ > 0) compressedBytes_ += packet_->size;
                result = avcodec_send_packet(decoder_.get(), packet_.get());
                // A damaged packet is skipped, like players do; the rest still decodes.
                (void)result;
            }
            av_packet_unref(packet_.get());
        }
    }

    AVRational timeBase() const { return format_->streams[streamIndex_]->time_base; }
    // The stored size of the pictures handed to the decoder so far, but for the first (the key
    // frame a movie starts with, which alone would make a still screen look busy at first).
    int64_t compressedBytes() const { return compressedBytes_; }

    MediaTime timeOf(const AVFrame* frame) const {
        int64_t ticks = frame->best_effort_timestamp != AV_NOPTS_VALUE
                            ? frame->best_effort_timestamp
                            : frame->pts;
        return mediaTime(ticks, timeBase());
    }

  private:
    FormatInputPtr format_;
    CodecContextPtr decoder_;
    PacketPtr packet_;
    FramePtr frame_;
    int streamIndex_ = -1;
    bool draining_ = false;
    int64_t compressedBytes_ = 0;
    int64_t sentPackets_ = 0;
};

}  // namespace zimlo::media::detail
