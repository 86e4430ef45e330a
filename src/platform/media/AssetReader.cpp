#include "platform/media/AssetReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/media/FFmpegSupport.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media {

namespace {

// Movies are local files in the containers we write and play (QuickTime/MPEG-4, Matroska). The
// path is always a file name, never a protocol ("concat:", "subfile,") and never a playlist
// whose entries would be opened in turn (HLS, ffconcat).
constexpr const char* kReadableContainers = "mov,matroska";

FormatInputPtr openInput(const std::filesystem::path& url, std::string& error) {
    quietFFmpegLogging();
    AVFormatContext* raw = nullptr;
    std::error_code ignored;
    const std::string location = "file:" + std::filesystem::absolute(url, ignored).string();
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", kReadableContainers, 0);
    int result = avformat_open_input(&raw, location.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {
        error = averrorText(result);
        return nullptr;
    }
    FormatInputPtr context(raw);
    result = avformat_find_stream_info(context.get(), nullptr);
    if (result < 0) {
        error = averrorText(result);
        return nullptr;
    }
    return context;
}

// The stream of a track identifier, or -1.
int streamIndexOf(const MovieAsset& asset, int trackID) {
    const AssetTrack* track = asset.track(trackID);
    return track ? track->streamIndex : -1;
}

// Opens the file again and keeps only `keep` streams flowing.
FormatInputPtr openForReading(const MovieAsset& asset, const std::vector<int>& keep,
                              std::string& error) {
    FormatInputPtr context = openInput(asset.url(), error);
    if (!context) return nullptr;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        bool wanted = std::find(keep.begin(), keep.end(), static_cast<int>(i)) != keep.end();
        context->streams[i]->discard = wanted ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    return context;
}

CodecContextPtr openDecoder(const AVStream* stream, std::string& error, int threads = 0) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        error = std::string("不支持的编码格式 ") + avcodec_get_name(stream->codecpar->codec_id);
        return nullptr;
    }
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = threads;
    int result = avcodec_open2(decoder.get(), codec, nullptr);
    if (result < 0) {
        error = averrorText(result);
        return nullptr;
    }
    return decoder;
}

void seekTo(AVFormatContext* context, int streamIndex, MediaTime time) {
    if (!time.valid || time <= MediaTime::zero()) return;
    AVRational base = context->streams[streamIndex]->time_base;
    int64_t target = av_rescale_q(time.value, AVRational{1, time.timescale}, base);
    av_seek_frame(context, streamIndex, target, AVSEEK_FLAG_BACKWARD);
}

// Decodes one video stream frame by frame (presentation order).
class VideoDecoder {
  public:
    bool open(const MovieAsset& asset, int trackID, std::string& error, int threads = 0) {
        streamIndex_ = streamIndexOf(asset, trackID);
        if (streamIndex_ < 0 || asset.track(trackID)->mediaType != MediaType::video) {
            error = "没有这条视频轨道";
            return false;
        }
        format_ = openForReading(asset, {streamIndex_}, error);
        if (!format_) return false;
        decoder_ = openDecoder(format_->streams[streamIndex_], error, threads);
        if (!decoder_) return false;
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        return true;
    }

    void seek(MediaTime time) {
        seekTo(format_.get(), streamIndex_, time);
        avcodec_flush_buffers(decoder_.get());
    }

    // The next decoded frame (owned by the decoder until the next call), or null at the end or
    // on error (`error` set).
    AVFrame* next(std::string& error) {
        for (;;) {
            av_frame_unref(frame_.get());
            int result = avcodec_receive_frame(decoder_.get(), frame_.get());
            if (result == 0) return frame_.get();
            if (result == AVERROR_EOF) return nullptr;
            // A damaged picture is skipped, as players do; the next key frame recovers.
            if (result == AVERROR_INVALIDDATA) continue;
            if (result != AVERROR(EAGAIN)) {
                error = averrorText(result);
                return nullptr;
            }
            if (draining_) return nullptr;
            result = av_read_frame(format_.get(), packet_.get());
            if (result == AVERROR_EOF) {
                draining_ = true;
                avcodec_send_packet(decoder_.get(), nullptr);
                continue;
            }
            if (result < 0) {
                error = averrorText(result);
                return nullptr;
            }
            // A packet cut short (the tail of an interrupted recording) is left out.
            if (packet_->stream_index == streamIndex_ && !(packet_->flags & AV_PKT_FLAG_CORRUPT)) {
                result = avcodec_send_packet(decoder_.get(), packet_.get());
                // A damaged packet is skipped, like players do; the rest still decodes.
                (void)result;
            }
            av_packet_unref(packet_.get());
        }
    }

    AVRational timeBase() const { return format_->streams[streamIndex_]->time_base; }

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
};

// The matrix a decoded frame's YUV is in; untagged pictures are taken as HD (BT.709) from 720
// rows up and as SD (BT.601) below.
int colourMatrixOf(const AVFrame* frame) {
    return frame->colorspace == AVCOL_SPC_UNSPECIFIED
               ? (frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601)
               : static_cast<int>(frame->colorspace);
}

// Copies 8-bit 4:2:0 BT.709 video-range frames into NV12 buffers as they are (no colour
// conversion). Buffers come back to a small pool when their last user lets go, so a long run
// neither allocates nor clears a picture per frame.
class NV12Copier {
  public:
    static bool accepts(const AVFrame* frame) {
        const auto format = static_cast<AVPixelFormat>(frame->format);
        return (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_NV12) &&
               frame->color_range != AVCOL_RANGE_JPEG && colourMatrixOf(frame) == SWS_CS_ITU709 &&
               frame->width > 0 && frame->height > 0;
    }

    std::shared_ptr<PixelBuffer> copy(const AVFrame* frame) {
        auto pixels = take(frame->width, frame->height);
        if (!pixels) return nullptr;
        const int w = frame->width;
        const int h = frame->height;
        for (int y = 0; y < h; ++y)
            std::memcpy(pixels->data(0) + static_cast<size_t>(y) * pixels->stride(0),
                        frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0], w);
        const int cw = (w + 1) / 2;
        const int ch = (h + 1) / 2;
        for (int y = 0; y < ch; ++y) {
            uint8_t* out = pixels->data(1) + static_cast<size_t>(y) * pixels->stride(1);
            if (frame->format == AV_PIX_FMT_NV12) {
                std::memcpy(out, frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1],
                            2 * static_cast<size_t>(cw));
                continue;
            }
            const uint8_t* u = frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1];
            const uint8_t* v = frame->data[2] + static_cast<ptrdiff_t>(y) * frame->linesize[2];
            int x = 0;
#ifdef __SSE2__
            for (; x + 16 <= cw; x += 16) {
                const __m128i us = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x));
                const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x),
                                 _mm_unpacklo_epi8(us, vs));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x + 16),
                                 _mm_unpackhi_epi8(us, vs));
            }
#endif
            for (; x < cw; ++x) {
                out[2 * x] = u[x];
                out[2 * x + 1] = v[x];
            }
        }
        return pixels;
    }

  private:
    static constexpr size_t kPoolSize = 16;
    struct Pool {
        std::mutex mutex;
        std::vector<std::unique_ptr<PixelBuffer>> free;
    };

    std::shared_ptr<PixelBuffer> take(int width, int height) {
        std::unique_ptr<PixelBuffer> buffer;
        {
            std::lock_guard lock(pool_->mutex);
            while (!pool_->free.empty() && !buffer) {
                buffer = std::move(pool_->free.back());
                pool_->free.pop_back();
                if (buffer->width() != width || buffer->height() != height)
                    buffer.reset();  // size changed
            }
        }
        if (!buffer) {
            try {
                buffer = std::make_unique<PixelBuffer>(width, height, PixelFormat::NV12VideoRange);
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        // The pool outlives the reader while pictures are out.
        return std::shared_ptr<PixelBuffer>(buffer.release(),
                                            [pool = pool_](PixelBuffer* returned) {
                                                std::unique_ptr<PixelBuffer> owned(returned);
                                                std::lock_guard lock(pool->mutex);
                                                if (pool->free.size() < kPoolSize)
                                                    pool->free.push_back(std::move(owned));
                                            });
    }

    std::shared_ptr<Pool> pool_ = std::make_shared<Pool>();
};

// Converts decoded frames to BGRA of a given size.
class BGRAConverter {
  public:
    ~BGRAConverter() { sws_freeContext(scaler_); }

    std::shared_ptr<PixelBuffer> convert(const AVFrame* frame, int width, int height) {
        auto format = static_cast<AVPixelFormat>(frame->format);
        scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, format, width, height,
                                       AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!scaler_) return nullptr;
        const int* coefficients = sws_getCoefficients(colourMatrixOf(frame));
        int sourceRange = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
        if (format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
            format == AV_PIX_FMT_YUVJ444P)
            sourceRange = 1;
        sws_setColorspaceDetails(scaler_, coefficients, sourceRange, coefficients, 1, 0, 1 << 16,
                                 1 << 16);
        auto pixels = std::make_shared<PixelBuffer>(width, height, PixelFormat::BGRA);
        uint8_t* planes[4] = {pixels->data(0), nullptr, nullptr, nullptr};
        int strides[4] = {pixels->stride(0), 0, 0, 0};
        sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, planes, strides);
        return pixels;
    }

  private:
    SwsContext* scaler_ = nullptr;
};

// The stream's average bit rate: as the container states it, else its indexed sample sizes over
// its duration; 0 when neither is known.
double storedBitRate(AVStream* stream, double seconds) {
    if (stream->codecpar->bit_rate > 0) return static_cast<double>(stream->codecpar->bit_rate);
    if (!(seconds > 0) || !std::isfinite(seconds)) return 0;
    double bytes = 0;
    const int entries = avformat_index_get_entries_count(stream);
    for (int i = 0; i < entries; ++i)
        if (const AVIndexEntry* entry = avformat_index_get_entry(stream, i)) bytes += entry->size;
    return bytes * 8 / seconds;
}

}  // namespace

// --- MovieAsset ------------------------------------------------------------------------------

std::shared_ptr<const MovieAsset> MovieAsset::open(const std::filesystem::path& url,
                                                   std::string& error) {
    FormatInputPtr context = openInput(url, error);
    if (!context) return nullptr;
    auto asset = std::make_shared<MovieAsset>();
    asset->url_ = url;
    if (context->duration != AV_NOPTS_VALUE && context->duration > 0)
        asset->duration_ = MediaTime::make(context->duration, AV_TIME_BASE);
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVStream* stream = context->streams[i];
        const AVCodecParameters* parameters = stream->codecpar;
        AssetTrack track;
        track.trackID = stream->id > 0 ? stream->id : static_cast<int>(i) + 1;
        track.streamIndex = static_cast<int>(i);
        switch (parameters->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                track.mediaType = MediaType::video;
                break;
            case AVMEDIA_TYPE_AUDIO:
                track.mediaType = MediaType::audio;
                break;
            default:
                track.mediaType = MediaType::other;
                break;
        }
        if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) track.mediaType = MediaType::other;
        MediaTime start = mediaTime(stream->start_time, stream->time_base);
        MediaTime duration = mediaTime(stream->duration, stream->time_base);
        if (!start.valid) start = MediaTime::zero();
        if (!duration.valid && asset->duration_.valid) duration = asset->duration_ - start;
        track.timeRange = TimeRange{start, duration.valid ? duration : MediaTime::zero()};
        track.naturalSize = PixelSize{static_cast<double>(parameters->width),
                                      static_cast<double>(parameters->height)};
        track.preferredTransform = displayMatrix(stream);
        if (parameters->codec_id != AV_CODEC_ID_NONE)
            track.formatDescriptions.emplace_back(parameters, stream->time_base.num,
                                                  stream->time_base.den);
        if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
            track.nominalFrameRate = av_q2d(stream->avg_frame_rate);
        track.bitRate = storedBitRate(stream, track.timeRange.duration.seconds());
        asset->tracks_.push_back(std::move(track));
    }
    return asset;
}

std::vector<AssetTrack> MovieAsset::tracks(MediaType type) const {
    std::vector<AssetTrack> found;
    for (const auto& track : tracks_)
        if (track.mediaType == type) found.push_back(track);
    return found;
}

const AssetTrack* MovieAsset::track(int trackID) const {
    for (const auto& track : tracks_)
        if (track.trackID == trackID) return &track;
    return nullptr;
}

double availableDuration(const MovieAsset& asset, double fallback) {
    auto usable = [](double seconds) { return std::isfinite(seconds) && seconds > 0; };
    double whole = asset.duration().seconds();
    if (usable(whole)) return whole;
    for (MediaType type : {MediaType::video, MediaType::audio}) {
        double latest = 0;
        for (const auto& track : asset.tracks(type)) {
            double end = track.timeRange.end().seconds();
            if (std::isfinite(end)) latest = std::max(latest, end);
        }
        if (usable(latest)) return latest;
    }
    return usable(fallback) ? fallback : 0;
}

double availableDuration(const std::filesystem::path& url, double fallback) {
    std::string error;
    auto asset = MovieAsset::open(url, error);
    if (!asset) return std::isfinite(fallback) && fallback > 0 ? fallback : 0;
    return availableDuration(*asset, fallback);
}

// --- TrackPacketReader -----------------------------------------------------------------------

struct TrackPacketReader::Impl {
    FormatInputPtr format;
    PacketPtr packet;
    int streamIndex = -1;
};

TrackPacketReader::~TrackPacketReader() = default;

std::unique_ptr<TrackPacketReader> TrackPacketReader::open(const MovieAsset& asset, int trackID,
                                                           std::string& error) {
    int streamIndex = streamIndexOf(asset, trackID);
    if (streamIndex < 0) {
        error = "没有这条轨道";
        return nullptr;
    }
    std::unique_ptr<TrackPacketReader> reader(new TrackPacketReader());
    reader->impl_ = std::make_unique<Impl>();
    reader->impl_->format = openForReading(asset, {streamIndex}, error);
    if (!reader->impl_->format) return nullptr;
    reader->impl_->packet.reset(av_packet_alloc());
    reader->impl_->streamIndex = streamIndex;
    return reader;
}

std::optional<MediaPacket> TrackPacketReader::next() {
    Impl& impl = *impl_;
    while (!cancelled_ && error_.empty()) {
        int result = av_read_frame(impl.format.get(), impl.packet.get());
        if (result == AVERROR_EOF) return std::nullopt;
        if (result < 0) {
            error_ = averrorText(result);
            return std::nullopt;
        }
        if (impl.packet->stream_index != impl.streamIndex) {
            av_packet_unref(impl.packet.get());
            continue;
        }
        AVRational base = impl.format->streams[impl.streamIndex]->time_base;
        MediaPacket out;
        out.data.assign(impl.packet->data, impl.packet->data + impl.packet->size);
        out.presentationTime = mediaTime(impl.packet->pts, base);
        out.decodeTime = mediaTime(impl.packet->dts, base);
        out.duration = mediaTime(impl.packet->duration, base);
        out.isKeyframe = (impl.packet->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_unref(impl.packet.get());
        return out;
    }
    return std::nullopt;
}

// --- VideoFrameReader ------------------------------------------------------------------------

struct VideoFrameReader::Impl {
    VideoDecoder decoder;
    BGRAConverter converter;
    NV12Copier copier;
    DecodedPictureFormat format = DecodedPictureFormat::bgra;
    std::optional<TimeRange> range;
    std::optional<DecodedVideoFrame> held;     // the last frame before the range start
    std::optional<DecodedVideoFrame> pending;  // decoded while handing out `held`
    bool reachedRange = false;
    bool done = false;

    static std::optional<DecodedVideoFrame> take(std::optional<DecodedVideoFrame>& slot) {
        auto value = std::move(slot);
        slot.reset();
        return value;
    }
};

VideoFrameReader::~VideoFrameReader() = default;

std::unique_ptr<VideoFrameReader> VideoFrameReader::open(const MovieAsset& asset, int trackID,
                                                         std::string& error,
                                                         std::optional<TimeRange> range,
                                                         DecodedPictureFormat format,
                                                         int decoderThreads) {
    std::unique_ptr<VideoFrameReader> reader(new VideoFrameReader());
    reader->impl_ = std::make_unique<Impl>();
    reader->impl_->format = format;
    if (!reader->impl_->decoder.open(asset, trackID, error, decoderThreads)) return nullptr;
    reader->impl_->range = range;
    if (range) reader->impl_->decoder.seek(range->start);
    return reader;
}

std::optional<DecodedVideoFrame> VideoFrameReader::next() {
    Impl& impl = *impl_;
    if (impl.pending) return Impl::take(impl.pending);
    while (!impl.done && !cancelled_ && error_.empty()) {
        AVFrame* frame = impl.decoder.next(error_);
        MediaTime time = frame ? impl.decoder.timeOf(frame) : MediaTime{};
        bool pastEnd = frame && impl.range && impl.range->duration.valid && time.valid &&
                       time >= impl.range->end();
        if (!frame || pastEnd) {
            // A range that starts after the last frame still shows that frame.
            impl.done = true;
            return Impl::take(impl.held);
        }
        auto pixels =
            impl.format == DecodedPictureFormat::bt709NV12OrBGRA && NV12Copier::accepts(frame)
                ? impl.copier.copy(frame)
                : impl.converter.convert(frame, frame->width, frame->height);
        if (!pixels) {
            error_ = "无法转换画面格式";
            return std::nullopt;
        }
        DecodedVideoFrame current{pixels, time};
        if (impl.range && !impl.reachedRange && time.valid && time < impl.range->start) {
            impl.held =
                std::move(current);  // on screen at the start unless a frame starts exactly there
            continue;
        }
        impl.reachedRange = true;
        if (impl.held && time > impl.range->start) {
            impl.pending = std::move(current);
            return Impl::take(impl.held);
        }
        impl.held.reset();
        return current;
    }
    return std::nullopt;
}

// --- AudioMixReader --------------------------------------------------------------------------

namespace {

constexpr int kChunkFrames = 4096;
constexpr double kMixPlacementToleranceSeconds = 0.02;

struct MixTrack {
    int streamIndex = -1;
    float volume = 1;
    CodecContextPtr decoder;
    SwrContext* resampler = nullptr;
    std::vector<float> buffer;  // interleaved stereo, starting at the mix's current position
    int64_t endFrame = -1;      // mix position where the track's stored span ends; -1 unknown
    // What follows the buffer after gaps in the track's timestamps: each gap's silence is made
    // as the mix reaches it, a chunk at a time, so a jump of hours costs no memory.
    struct AfterGap {
        int64_t silence = 0;
        std::vector<float> samples;
    };
    std::deque<AfterGap> afterGaps;
    int64_t afterGapFrames = 0;
    bool placedAny = false;
    bool ended = false;

    ~MixTrack() { swr_free(&resampler); }
    int64_t bufferedFrames() const {
        return static_cast<int64_t>(buffer.size() / AudioMixReader::kChannels) + afterGapFrames;
    }
    void addSilence(int64_t frames) {
        afterGaps.push_back({frames, {}});
        afterGapFrames += frames;
    }
    void addSamples(const float* from, const float* to) {
        if (afterGaps.empty()) {
            buffer.insert(buffer.end(), from, to);
        } else {
            afterGaps.back().samples.insert(afterGaps.back().samples.end(), from, to);
            afterGapFrames += (to - from) / AudioMixReader::kChannels;
        }
    }
    // Moves what follows the buffer into it until it holds `frames` (or all there is).
    void makeReady(int64_t frames) {
        constexpr int kChannels = AudioMixReader::kChannels;
        while (static_cast<int64_t>(buffer.size() / kChannels) < frames && !afterGaps.empty()) {
            AfterGap& next = afterGaps.front();
            const int64_t zeros =
                std::min(next.silence, frames - static_cast<int64_t>(buffer.size() / kChannels));
            buffer.insert(buffer.end(), static_cast<size_t>(zeros) * kChannels, 0.0f);
            next.silence -= zeros;
            afterGapFrames -= zeros;
            if (next.silence > 0) break;
            buffer.insert(buffer.end(), next.samples.begin(), next.samples.end());
            afterGapFrames -= static_cast<int64_t>(next.samples.size() / kChannels);
            afterGaps.pop_front();
        }
    }
};

}  // namespace

struct AudioMixReader::Impl {
    FormatInputPtr format;
    PacketPtr packet;
    FramePtr frame;
    std::vector<std::unique_ptr<MixTrack>> tracks;
    MediaTime origin = MediaTime::zero();  // time of mix position 0
    int64_t limit = -1;                    // frames to deliver, -1: all
    int64_t position = 0;                  // frames delivered so far
    bool endOfFile = false;

    MixTrack* trackOf(int streamIndex) {
        for (auto& track : tracks)
            if (track->streamIndex == streamIndex) return track.get();
        return nullptr;
    }

    bool place(MixTrack& track, const AVFrame* decoded, std::string& error) {
        if (!track.resampler) {
            AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_STEREO;
            AVChannelLayout inLayout{};
            if (decoded->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
                decoded->ch_layout.nb_channels == 0)
                av_channel_layout_default(&inLayout, std::max(decoded->ch_layout.nb_channels, 1));
            else
                av_channel_layout_copy(&inLayout, &decoded->ch_layout);
            int result = swr_alloc_set_opts2(
                &track.resampler, &outLayout, AV_SAMPLE_FMT_FLT, kSampleRate, &inLayout,
                static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate, 0, nullptr);
            int inChannels = inLayout.nb_channels;
            av_channel_layout_uninit(&inLayout);
            if (result >= 0) duplicateMonoToStereo(track.resampler, inChannels, kChannels);
            if (result < 0 || swr_init(track.resampler) < 0) {
                error = "无法转换声音格式";
                return false;
            }
        }
        int capacity = swr_get_out_samples(track.resampler, decoded->nb_samples);
        std::vector<float> converted(static_cast<size_t>(std::max(capacity, 0)) * kChannels);
        uint8_t* out[1] = {reinterpret_cast<uint8_t*>(converted.data())};
        int produced =
            swr_convert(track.resampler, out, capacity,
                        const_cast<const uint8_t**>(decoded->extended_data), decoded->nb_samples);
        if (produced < 0) {
            error = averrorText(produced);
            return false;
        }
        append(track, converted.data(), produced, decoded);
        return true;
    }

    void append(MixTrack& track, const float* samples, int64_t count, const AVFrame* decoded) {
        int64_t skip = 0;
        int64_t ticks = decoded ? decoded->best_effort_timestamp : AV_NOPTS_VALUE;
        MediaTime time = mediaTime(ticks, format->streams[track.streamIndex]->time_base);
        int64_t end = position + track.bufferedFrames();
        if (time.valid) {
            int64_t at = (time - origin).convertedTo(kSampleRate).value;
            int64_t offset = at - end;
            auto tolerance = static_cast<int64_t>(kMixPlacementToleranceSeconds * kSampleRate);
            if (!track.placedAny || offset > tolerance) {
                if (offset > 0)
                    track.addSilence(offset);
                else
                    skip = -offset;
            } else if (offset < -tolerance) {
                skip = -offset;
            }
        }
        track.placedAny = true;
        if (track.endFrame >= 0) {
            // What the encoder padded its last frame with is not part of the sound.
            const int64_t room = track.endFrame - (position + track.bufferedFrames());
            count = std::min(count, skip + std::max<int64_t>(room, 0));
        }
        if (skip >= count) return;
        track.addSamples(samples + skip * kChannels, samples + count * kChannels);
    }

    // Reads and decodes until every live track has a chunk or the file ends.
    bool fill(std::string& error, const std::atomic<bool>& cancelled) {
        auto ready = [&] {
            for (auto& track : tracks)
                if (!track->ended && track->bufferedFrames() < kChunkFrames) return false;
            return true;
        };
        while (!ready() && !cancelled) {
            if (endOfFile) break;
            int result = av_read_frame(format.get(), packet.get());
            if (result == AVERROR_EOF) {
                endOfFile = true;
                for (auto& track : tracks) {
                    avcodec_send_packet(track->decoder.get(), nullptr);
                    if (!drain(*track, error)) return false;
                    track->ended = true;
                }
                break;
            }
            if (result < 0) {
                error = averrorText(result);
                return false;
            }
            MixTrack* track = trackOf(packet->stream_index);
            if (track && !(packet->flags & AV_PKT_FLAG_CORRUPT)) {
                if (avcodec_send_packet(track->decoder.get(), packet.get()) >= 0 &&
                    !drain(*track, error)) {
                    av_packet_unref(packet.get());
                    return false;
                }
            }
            av_packet_unref(packet.get());
        }
        return true;
    }

    bool drain(MixTrack& track, std::string& error) {
        for (;;) {
            int result = avcodec_receive_frame(track.decoder.get(), frame.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
            if (result < 0) {
                error = averrorText(result);
                return false;
            }
            bool ok = place(track, frame.get(), error);
            av_frame_unref(frame.get());
            if (!ok) return false;
        }
    }
};

AudioMixReader::~AudioMixReader() = default;

std::unique_ptr<AudioMixReader> AudioMixReader::open(const MovieAsset& asset,
                                                     const std::vector<Input>& inputs,
                                                     std::string& error,
                                                     std::optional<TimeRange> range) {
    if (inputs.empty()) {
        error = "没有音频轨道";
        return nullptr;
    }
    std::unique_ptr<AudioMixReader> reader(new AudioMixReader());
    reader->impl_ = std::make_unique<Impl>();
    Impl& impl = *reader->impl_;
    std::vector<int> streams;
    for (const auto& input : inputs) {
        const AssetTrack* track = asset.track(input.trackID);
        if (!track || track->mediaType != MediaType::audio) {
            error = "没有这条音频轨道";
            return nullptr;
        }
        streams.push_back(track->streamIndex);
    }
    impl.format = openForReading(asset, streams, error);
    if (!impl.format) return nullptr;
    for (size_t i = 0; i < inputs.size(); ++i) {
        auto track = std::make_unique<MixTrack>();
        track->streamIndex = streams[i];
        track->volume = inputs[i].volume;
        track->decoder = openDecoder(impl.format->streams[streams[i]], error);
        if (!track->decoder) return nullptr;
        impl.tracks.push_back(std::move(track));
    }
    impl.packet.reset(av_packet_alloc());
    impl.frame.reset(av_frame_alloc());
    if (range) {
        impl.origin = range->start;
        if (range->duration.valid) impl.limit = range->duration.convertedTo(kSampleRate).value;
        seekTo(impl.format.get(), streams[0], range->start);
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        const TimeRange& span = asset.track(inputs[i].trackID)->timeRange;
        if (span.duration.valid && span.duration > MediaTime::zero())
            impl.tracks[i]->endFrame = (span.end() - impl.origin).convertedTo(kSampleRate).value;
    }
    return reader;
}

std::optional<AudioSample> AudioMixReader::next() {
    Impl& impl = *impl_;
    if (cancelled_ || !error_.empty()) return std::nullopt;
    if (!impl.fill(error_, cancelled_) || cancelled_) return std::nullopt;
    int64_t count = 0;
    for (auto& track : impl.tracks) count = std::max(count, track->bufferedFrames());
    count = std::min<int64_t>(count, kChunkFrames);
    if (impl.limit >= 0) count = std::min(count, impl.limit - impl.position);
    if (count <= 0) return std::nullopt;

    AudioSample out;
    out.format = SampleFormat::Float32;
    out.sampleRate = kSampleRate;
    out.channels = kChannels;
    out.data.assign(static_cast<size_t>(count) * kChannels * sizeof(float), 0);
    auto* mix = reinterpret_cast<float*>(out.data.data());
    for (auto& track : impl.tracks) {
        track->makeReady(count);
        const int64_t available =
            std::min(count, static_cast<int64_t>(track->buffer.size() / kChannels));
        const float* source = track->buffer.data();
        const float volume = track->volume;
        for (int64_t i = 0; i < available * kChannels; ++i) mix[i] += volume * source[i];
        track->buffer.erase(track->buffer.begin(), track->buffer.begin() + available * kChannels);
    }
    out.presentationTime = impl.origin + MediaTime::make(impl.position, kSampleRate);
    impl.position += count;
    return out;
}

// --- ImageGenerator --------------------------------------------------------------------------

std::shared_ptr<PixelBuffer> ImageGenerator::copyImage(MediaTime time, std::string& error) const {
    if (!asset_) {
        error = "没有影片";
        return nullptr;
    }
    auto videoTracks = asset_->tracks(MediaType::video);
    if (videoTracks.empty()) {
        error = "影片没有视频轨道";
        return nullptr;
    }
    const AssetTrack& track = videoTracks.front();
    VideoDecoder decoder;
    if (!decoder.open(*asset_, track.trackID, error)) return nullptr;
    decoder.seek(time);
    FramePtr chosen(av_frame_alloc());
    bool haveFrame = false;
    while (AVFrame* frame = decoder.next(error)) {
        MediaTime frameTime = decoder.timeOf(frame);
        if (haveFrame && frameTime.valid && time.valid && frameTime > time) break;
        av_frame_unref(chosen.get());
        av_frame_ref(chosen.get(), frame);
        haveFrame = true;
        if (!time.valid || (frameTime.valid && frameTime >= time)) break;
    }
    if (!haveFrame) {
        if (error.empty()) error = "影片中没有可用的画面";
        return nullptr;
    }
    error.clear();

    AffineTransform transform =
        appliesPreferredTrackTransform ? track.preferredTransform : AffineTransform{};
    // Only the linear part matters: the picture is placed at the origin of its bounding box.
    transform.tx = transform.ty = 0;
    PixelSize natural{static_cast<double>(chosen->width), static_cast<double>(chosen->height)};
    PixelSize shown = transform.applyToSize(natural);
    double scale = 1;
    if (maximumSize.width > 0 && maximumSize.height > 0 && shown.width > 0 && shown.height > 0)
        scale = std::min({1.0, maximumSize.width / shown.width, maximumSize.height / shown.height});
    int scaledWidth = std::max(1, static_cast<int>(std::lround(natural.width * scale)));
    int scaledHeight = std::max(1, static_cast<int>(std::lround(natural.height * scale)));
    BGRAConverter converter;
    auto scaled = converter.convert(chosen.get(), scaledWidth, scaledHeight);
    if (!scaled) {
        error = "无法转换画面格式";
        return nullptr;
    }
    if (transform.isIdentity()) return scaled;

    // Turn (and mirror) by mapping each output pixel back into the scaled picture.
    double corners[4][2] = {{0, 0},
                            {double(scaledWidth), 0},
                            {0, double(scaledHeight)},
                            {double(scaledWidth), double(scaledHeight)}};
    double minX = 1e18, minY = 1e18, maxX = -1e18, maxY = -1e18;
    for (auto& p : corners) {
        double x = transform.a * p[0] + transform.c * p[1];
        double y = transform.b * p[0] + transform.d * p[1];
        minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y),
        maxY = std::max(maxY, y);
    }
    int outWidth = std::max(1, static_cast<int>(std::lround(maxX - minX)));
    int outHeight = std::max(1, static_cast<int>(std::lround(maxY - minY)));
    double det = transform.a * transform.d - transform.b * transform.c;
    if (std::fabs(det) < 1e-9) {
        error = "画面变换无效";
        return nullptr;
    }
    auto out = std::make_shared<PixelBuffer>(outWidth, outHeight, PixelFormat::BGRA);
    for (int y = 0; y < outHeight; ++y) {
        uint8_t* row = out->data() + static_cast<size_t>(y) * out->stride();
        for (int x = 0; x < outWidth; ++x) {
            double px = x + 0.5 + minX, py = y + 0.5 + minY;
            double sx = (transform.d * px - transform.c * py) / det;
            double sy = (-transform.b * px + transform.a * py) / det;
            int ix = std::clamp(static_cast<int>(std::floor(sx)), 0, scaledWidth - 1);
            int iy = std::clamp(static_cast<int>(std::floor(sy)), 0, scaledHeight - 1);
            std::memcpy(row + x * 4,
                        scaled->data() + static_cast<size_t>(iy) * scaled->stride() + ix * 4, 4);
        }
    }
    return out;
}

bool writePNG(const PixelBuffer& picture, const std::filesystem::path& url, std::string& error) {
    if (picture.format() != PixelFormat::BGRA) {
        error = "只能保存 BGRA 画面";
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) {
        error = "找不到 PNG 编码器";
        return false;
    }
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    encoder->width = picture.width();
    encoder->height = picture.height();
    encoder->pix_fmt = AV_PIX_FMT_RGBA;
    encoder->time_base = AVRational{1, 25};
    int result = avcodec_open2(encoder.get(), codec, nullptr);
    if (result < 0) {
        error = averrorText(result);
        return false;
    }
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_RGBA;
    frame->width = picture.width();
    frame->height = picture.height();
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        error = "内存不足";
        return false;
    }
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
        (result = avcodec_receive_packet(encoder.get(), packet.get())) < 0) {
        error = averrorText(result);
        return false;
    }
    FILE* file = std::fopen(url.c_str(), "wb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    size_t written = std::fwrite(packet->data, 1, packet->size, file);
    bool closed = std::fclose(file) == 0;
    if (written != static_cast<size_t>(packet->size) || !closed) {
        error = "无法写入文件";
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        return false;
    }
    return true;
}

}  // namespace zimlo::media
