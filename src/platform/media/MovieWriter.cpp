#include "platform/media/MovieWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "platform/log/Log.h"
#include "platform/media/FFmpegSupport.h"
#include "platform/runtime/Guarded.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media {

namespace {

enum class InputKind { video, audio, passthrough };

using QueuedItem = std::variant<VideoSample, AudioSample, MediaPacket>;

// Sound more than this far from where it belongs is moved there (silence or trimming);
// smaller jitter of capture timestamps is absorbed.
constexpr double kAudioPlacementToleranceSeconds = 0.02;
// A gap may take sound at most this far past the pictures given so far (past its own track's
// end when there are none). A sound server away for an hour still has the pictures going on;
// a jump of hours past everything is a broken timestamp, whose silence would take minutes to
// encode: it fails the writer instead.
constexpr int64_t kSoundLeadLimitSeconds = 600;

AVSampleFormat avSampleFormat(SampleFormat format) {
    switch (format) {
        case SampleFormat::Float32:
            return AV_SAMPLE_FMT_FLT;
        case SampleFormat::Int16:
            return AV_SAMPLE_FMT_S16;
        case SampleFormat::Int32:
            return AV_SAMPLE_FMT_S32;
    }
    return AV_SAMPLE_FMT_NONE;
}

int64_t toTicks(MediaTime time, AVRational timeBase) {
    // time.value / time.timescale seconds in units of timeBase.
    return av_rescale_q_rnd(time.value, AVRational{1, time.timescale}, timeBase,
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

}  // namespace

struct Input {
    InputKind kind;
    int index = 0;
    AVStream* stream = nullptr;
    CodecContextPtr encoder;
    size_t capacity = 16;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<QueuedItem> queue;
    bool finished = false;  // no more appends
    std::thread thread;

    // Video.
    SwsContext* scaler = nullptr;
    FramePtr picture;
    int64_t lastVideoPts = AV_NOPTS_VALUE;
    int64_t frameDurationTicks = 0;

    // Audio: converted sound waiting to fill an encoder frame, planar per channel.
    SwrContext* resampler = nullptr;
    AVSampleFormat resamplerFormat = AV_SAMPLE_FMT_NONE;
    int resamplerRate = 0;
    int resamplerChannels = 0;
    std::vector<std::vector<float>> pending;
    int64_t placedSamples = 0;   // samples placed on the track so far (including pending)
    int64_t encodedSamples = 0;  // samples handed to the encoder
    bool placedAny = false;

    // Pass-through.
    AVRational packetTimeBase{1, 1};
    int64_t lastPacketDts = AV_NOPTS_VALUE;

    ~Input() {
        sws_freeContext(scaler);
        swr_free(&resampler);
    }
};

struct MovieWriter::Impl {
    std::filesystem::path url;
    MovieFileType fileType = MovieFileType::quickTimeMovie;
    MovieWriterOptions options;
    AVFormatContext* format = nullptr;
    std::vector<std::unique_ptr<Input>> inputs;

    // What every thread of the writer reads and changes: reachable only under its lock.
    struct State {
        Status status = Status::unknown;
        std::string error;
        int errorCode = 0;
        std::function<void(const std::string&, int)> onFailure;
        bool stopping = false;  // threads leave without writing what is queued
        bool finishing = false;
    };
    Guarded<State> state;

    std::mutex muxMutex;
    std::mutex joinMutex;  // cancelling, finishing and destruction may each join the threads
    std::mutex sessionMutex;
    std::atomic<bool> sessionStarted{false};
    MediaTime sessionStart = MediaTime::zero();
    // The latest picture time given, in microseconds from the session start.
    std::atomic<int64_t> picturesReachedMicros{0};

    // Periodic flush to the disk.
    std::thread syncer;
    std::mutex syncMutex;
    std::condition_variable syncWake;
    bool syncStop = false;

    ~Impl() {
        stopThreads();
        stopSyncer();
        if (format) {
            if (format->pb) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    Status currentStatus() const { return state.lock()->status; }

    void wakeAll() {
        for (auto& input : inputs) {
            std::lock_guard lock(input->mutex);
            input->changed.notify_all();
        }
    }

    // The first failure wins; later ones are consequences. `code` is an FFmpeg error code.
    void fail(const std::string& text, int code = 0) {
        std::function<void(const std::string&, int)> handler;
        std::string error;
        int errorCode = 0;
        {
            auto locked = state.lock();
            if (locked->status != Status::writing && locked->status != Status::unknown) return;
            locked->status = Status::failed;
            error = locked->error = text.empty() ? "写入失败" : text;
            // FFmpeg wraps the system's error numbers; its own codes carry none.
            errorCode = locked->errorCode =
                code < 0 && AVUNERROR(code) < 4096 ? AVUNERROR(code) : 0;
            handler = std::move(locked->onFailure);
        }
        ZIMLO_LOG_ERROR("writer") << "writing " << url << " failed: " << text
                                  << (code < 0 ? " (FFmpeg error " + std::to_string(code) + ")"
                                               : std::string());
        wakeAll();
        if (handler) handler(error, errorCode);
    }

    bool isWriting() const { return currentStatus() == Status::writing; }

    void stopThreads() {
        state.lock()->stopping = true;
        wakeAll();
        joinThreads();
    }

    void joinThreads() {
        std::lock_guard lock(joinMutex);
        for (auto& input : inputs) {
            if (input->thread.joinable() && input->thread.get_id() != std::this_thread::get_id())
                input->thread.join();
        }
    }

    void startSyncer() {
        if (options.syncSeconds <= 0) return;
        int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        syncer = std::thread([this, fd] {
            std::unique_lock lock(syncMutex);
            while (!syncWake.wait_for(lock, std::chrono::duration<double>(options.syncSeconds),
                                      [&] { return syncStop; })) {
                lock.unlock();
                ::fdatasync(fd);  // flushes the file's pages whichever descriptor wrote them
                lock.lock();
            }
            ::close(fd);
        });
    }

    void stopSyncer() {
        {
            std::lock_guard lock(syncMutex);
            syncStop = true;
        }
        syncWake.notify_all();
        if (syncer.joinable() && syncer.get_id() != std::this_thread::get_id()) syncer.join();
    }

    bool shouldStop() const {
        auto locked = state.lock();
        return locked->stopping || locked->status != Status::writing;
    }

    bool writePacket(AVPacket* packet) {
        std::lock_guard lock(muxMutex);
        // Each fragment starts every track at its own first sample's time. Otherwise the muxer
        // places it right after the previous fragment's last sample, taking that sample's
        // nominal duration on trust: a picture held for a second (a still screen, a busy
        // machine) would then be followed a frame later, and the picture drifts ahead of the
        // sound at every fragment.
        if (options.fragmented) av_opt_set(format->priv_data, "movflags", "+frag_discont", 0);
        int result = av_interleaved_write_frame(format, packet);
        if (result < 0) {
            fail(averrorText(result), result);
            return false;
        }
        return true;
    }

    // Hands every packet the encoder has ready to the container.
    bool drainEncoder(Input& input) {
        PacketPtr packet(av_packet_alloc());
        for (;;) {
            int result = avcodec_receive_packet(input.encoder.get(), packet.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
            if (result < 0) {
                fail(averrorText(result));
                return false;
            }
            packet->stream_index = input.stream->index;
            if (input.kind == InputKind::video && packet->duration <= 0)
                packet->duration = input.frameDurationTicks;
            av_packet_rescale_ts(packet.get(), input.encoder->time_base, input.stream->time_base);
            if (!writePacket(packet.get())) return false;
        }
    }

    bool encodeFrame(Input& input, AVFrame* frame) {
        int result = avcodec_send_frame(input.encoder.get(), frame);
        if (result < 0 && result != AVERROR_EOF) {
            fail(averrorText(result));
            return false;
        }
        return drainEncoder(input);
    }

    // --- video -------------------------------------------------------------------------

    // Hands an NV12 picture to the encoder without copying it: the frame's buffers keep the
    // picture alive for as long as the encoder holds them.
    bool encodeInPlace(Input& input, const std::shared_ptr<const PixelBuffer>& pixels,
                       int64_t pts) {
        FramePtr frame(av_frame_alloc());
        if (!frame) {
            fail("内存不足");
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
                fail("内存不足");
                return false;
            }
            frame->data[plane] = const_cast<uint8_t*>(pixels->data(plane));
            frame->linesize[plane] = pixels->stride(plane);
        }
        return encodeFrame(input, frame.get());
    }

    bool processVideo(Input& input, const VideoSample& sample) {
        if (!sample.pixels) return true;
        MediaTime relative = sample.presentationTime - sessionStart;
        if (!relative.valid || relative < MediaTime::zero()) return true;
        int64_t pts = toTicks(relative, input.encoder->time_base);
        if (input.lastVideoPts != AV_NOPTS_VALUE && pts <= input.lastVideoPts) return true;

        const PixelBuffer& pixels = *sample.pixels;
        AVCodecContext* encoder = input.encoder.get();
        if (encoder->pix_fmt == AV_PIX_FMT_NV12 && pixels.format() == PixelFormat::NV12VideoRange &&
            pixels.width() == encoder->width && pixels.height() == encoder->height) {
            input.lastVideoPts = pts;
            return encodeInPlace(input, sample.pixels, pts);
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
        input.scaler = sws_getCachedContext(input.scaler, sourceWidth, sourceHeight, sourceFormat,
                                            encoder->width, encoder->height, encoder->pix_fmt,
                                            SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
        if (!input.scaler) {
            fail("无法转换画面格式");
            return false;
        }
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(input.scaler, bt709, sourceRange, bt709, 0, 0, 1 << 16, 1 << 16);

        if (!input.picture) {
            input.picture.reset(av_frame_alloc());
            input.picture->format = encoder->pix_fmt;
            input.picture->width = encoder->width;
            input.picture->height = encoder->height;
            if (av_frame_get_buffer(input.picture.get(), 0) < 0) {
                fail("内存不足");
                return false;
            }
        }
        if (av_frame_make_writable(input.picture.get()) < 0) {
            fail("内存不足");
            return false;
        }
        const uint8_t* sourcePlanes[4] = {
            pixels.data(0), pixels.planeCount() > 1 ? pixels.data(1) : nullptr, nullptr, nullptr};
        int sourceStrides[4] = {pixels.stride(0), pixels.planeCount() > 1 ? pixels.stride(1) : 0, 0,
                                0};
        sws_scale(input.scaler, sourcePlanes, sourceStrides, 0, sourceHeight, input.picture->data,
                  input.picture->linesize);
        input.picture->pts = pts;
        input.lastVideoPts = pts;
        return encodeFrame(input, input.picture.get());
    }

    // --- audio -------------------------------------------------------------------------

    bool configureResampler(Input& input, const AudioSample& sample) {
        AVSampleFormat format = avSampleFormat(sample.format);
        if (input.resampler && input.resamplerFormat == format &&
            input.resamplerRate == sample.sampleRate && input.resamplerChannels == sample.channels)
            return true;
        swr_free(&input.resampler);
        AVChannelLayout inLayout{};
        av_channel_layout_default(&inLayout, sample.channels);
        AVChannelLayout outLayout{};
        av_channel_layout_default(&outLayout, input.encoder->ch_layout.nb_channels);
        int result = swr_alloc_set_opts2(&input.resampler, &outLayout, AV_SAMPLE_FMT_FLTP,
                                         input.encoder->sample_rate, &inLayout, format,
                                         sample.sampleRate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        if (result >= 0)
            duplicateMonoToStereo(input.resampler, sample.channels,
                                  input.encoder->ch_layout.nb_channels);
        if (result < 0 || swr_init(input.resampler) < 0) {
            swr_free(&input.resampler);
            return false;
        }
        input.resamplerFormat = format;
        input.resamplerRate = sample.sampleRate;
        input.resamplerChannels = sample.channels;
        return true;
    }

    bool encodePendingAudio(Input& input, bool flushPartial) {
        AVCodecContext* encoder = input.encoder.get();
        const int frameSize = encoder->frame_size > 0 ? encoder->frame_size : 1024;
        const int channels = encoder->ch_layout.nb_channels;
        // What was encoded leaves the pending sound once, at the end.
        size_t consumed = 0;
        auto dropConsumed = [&] {
            for (int c = 0; c < channels; ++c)
                input.pending[c].erase(input.pending[c].begin(),
                                       input.pending[c].begin() + static_cast<long>(consumed));
        };
        for (;;) {
            int available = static_cast<int>(input.pending[0].size() - consumed);
            if (available == 0 || (available < frameSize && !flushPartial)) {
                dropConsumed();
                return true;
            }
            int count = std::min(available, frameSize);
            FramePtr frame(av_frame_alloc());
            frame->format = encoder->sample_fmt;
            frame->sample_rate = encoder->sample_rate;
            av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
            frame->nb_samples = count;
            if (av_frame_get_buffer(frame.get(), 0) < 0) {
                fail("内存不足");
                return false;
            }
            for (int c = 0; c < channels; ++c)
                std::memcpy(frame->data[c], input.pending[c].data() + consumed,
                            sizeof(float) * count);
            consumed += static_cast<size_t>(count);
            frame->pts = input.encodedSamples;
            input.encodedSamples += count;
            if (!encodeFrame(input, frame.get())) return false;
        }
    }

    bool processAudio(Input& input, const AudioSample& sample) {
        if (sample.frameCount() <= 0 || sample.sampleRate <= 0 || sample.channels <= 0) return true;
        if (!configureResampler(input, sample)) {
            fail("无法转换声音格式");
            return false;
        }
        const int outRate = input.encoder->sample_rate;
        const int channels = input.encoder->ch_layout.nb_channels;
        int inFrames = sample.frameCount();
        int capacity = swr_get_out_samples(input.resampler, inFrames);
        std::vector<std::vector<float>> converted(channels,
                                                  std::vector<float>(std::max(capacity, 0)));
        std::vector<uint8_t*> outPlanes(channels);
        for (int c = 0; c < channels; ++c)
            outPlanes[c] = reinterpret_cast<uint8_t*>(converted[c].data());
        const uint8_t* inPlanes[1] = {sample.data.data()};
        int produced = swr_convert(input.resampler, outPlanes.data(), capacity, inPlanes, inFrames);
        if (produced < 0) {
            fail(averrorText(produced));
            return false;
        }
        if (produced == 0) return true;

        // Where this sound belongs on the track, counted in output samples from the session start.
        MediaTime relative = sample.presentationTime - sessionStart;
        int64_t position =
            relative.valid ? relative.convertedTo(outRate).value : input.placedSamples;
        const int64_t tolerance = static_cast<int64_t>(kAudioPlacementToleranceSeconds * outRate);
        int64_t skip = 0;
        int64_t offset = position - input.placedSamples;
        if (!input.placedAny || offset > tolerance) {
            const int64_t reached = std::max(
                input.placedSamples, av_rescale(picturesReachedMicros.load(), outRate, 1'000'000));
            if (offset > 0 && position - reached > kSoundLeadLimitSeconds * outRate) {
                fail("声音的时间戳异常：跳到了画面之后 " +
                     std::to_string((position - reached) / outRate) + " 秒，无法写入");
                return false;
            }
            // A gap (or the start of the track): silence up to the sound's own time, encoded a
            // second at a time so that a long one (a sound server away for minutes) never sits
            // whole in memory.
            for (int64_t silence = std::max<int64_t>(0, offset); silence > 0;) {
                const int64_t piece = std::min<int64_t>(silence, outRate);
                for (int c = 0; c < channels; ++c)
                    input.pending[c].insert(input.pending[c].end(), piece, 0.0f);
                input.placedSamples += piece;
                silence -= piece;
                if (!encodePendingAudio(input, false)) return false;
            }
            if (offset < 0) skip = -offset;
        } else if (offset < -tolerance) {
            // Overlaps what is already placed (or lies before the session start): trim.
            skip = -offset;
        }
        if (skip >= produced) return true;
        for (int c = 0; c < channels; ++c)
            input.pending[c].insert(input.pending[c].end(), converted[c].begin() + skip,
                                    converted[c].begin() + produced);
        input.placedSamples += produced - skip;
        input.placedAny = true;
        return encodePendingAudio(input, false);
    }

    // --- pass-through ------------------------------------------------------------------

    bool processPacket(Input& input, const MediaPacket& sample) {
        PacketPtr packet(av_packet_alloc());
        if (av_new_packet(packet.get(), static_cast<int>(sample.data.size())) < 0) {
            fail("内存不足");
            return false;
        }
        if (!sample.data.empty()) std::memcpy(packet->data, sample.data.data(), sample.data.size());
        AVRational base = input.stream->time_base;
        MediaTime pts =
            sample.presentationTime.valid ? sample.presentationTime - sessionStart : MediaTime{};
        MediaTime dts = sample.decodeTime.valid ? sample.decodeTime - sessionStart : pts;
        packet->pts = pts.valid ? toTicks(pts, base) : AV_NOPTS_VALUE;
        packet->dts = dts.valid ? toTicks(dts, base) : AV_NOPTS_VALUE;
        if (packet->dts != AV_NOPTS_VALUE && input.lastPacketDts != AV_NOPTS_VALUE &&
            packet->dts <= input.lastPacketDts)
            packet->dts = input.lastPacketDts + 1;  // rounding must not make decode order ambiguous
        if (packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE &&
            packet->pts < packet->dts)
            packet->pts = packet->dts;
        input.lastPacketDts = packet->dts;
        packet->duration = sample.duration.valid ? toTicks(sample.duration, base) : 0;
        if (sample.isKeyframe) packet->flags |= AV_PKT_FLAG_KEY;
        packet->stream_index = input.stream->index;
        return writePacket(packet.get());
    }

    // --- the input threads -------------------------------------------------------------

    void run(Input& input) {
        bool ok = true;
        for (;;) {
            std::unique_lock lock(input.mutex);
            input.changed.wait(
                lock, [&] { return !input.queue.empty() || input.finished || shouldStop(); });
            if (shouldStop()) return;
            if (input.queue.empty()) break;  // finished and drained
            QueuedItem item = std::move(input.queue.front());
            input.queue.pop_front();
            input.changed.notify_all();
            lock.unlock();
            if (auto* video = std::get_if<VideoSample>(&item))
                ok = processVideo(input, *video);
            else if (auto* audio = std::get_if<AudioSample>(&item))
                ok = processAudio(input, *audio);
            else
                ok = processPacket(input, std::get<MediaPacket>(item));
            if (!ok) return;
        }
        // Finished: what the encoder still holds goes out too.
        if (input.kind == InputKind::audio && !encodePendingAudio(input, true)) return;
        if (input.encoder) encodeFrame(input, nullptr);
    }

    Input* find(InputID id) const {
        if (id < 0 || id >= static_cast<int>(inputs.size())) return nullptr;
        return inputs[id].get();
    }

    template <typename Item>
    bool enqueue(InputID id, InputKind kind, Item item) {
        Input* input = find(id);
        if (!input || input->kind != kind || !sessionStarted || !isWriting()) return false;
        std::lock_guard lock(input->mutex);
        if (input->finished) return false;
        if (input->queue.size() >= input->capacity) {
            ZIMLO_LOG_DEBUG("writer") << "a sample for track " << id << " of " << url
                                      << " was refused: the track's queue is full";
            return false;
        }
        input->queue.emplace_back(std::move(item));
        input->changed.notify_all();
        return true;
    }

    Result<AVStream*, std::string> newStream() {
        auto locked = state.lock();  // tracks are added only before writing starts
        if (locked->status != Status::unknown) return zimlo::fail("写入已开始，不能再添加轨道");
        AVStream* stream = avformat_new_stream(format, nullptr);
        if (!stream) {
            ZIMLO_LOG_ERROR("writer") << "adding a track to " << url << ": out of memory";
            return zimlo::fail("内存不足");
        }
        return stream;
    }
};

namespace {

// A track that cannot be added: logged with what was being done, the reason to the caller.
Failure<std::string> refuse(const std::filesystem::path& url, const char* doing,
                            const std::string& reason) {
    ZIMLO_LOG_ERROR("writer") << doing << " to " << url << ": " << reason;
    return fail(reason);
}

}  // namespace

Result<std::shared_ptr<MovieWriter>, std::string> MovieWriter::create(
    const std::filesystem::path& url, MovieFileType fileType, MovieWriterOptions options) {
    quietFFmpegLogging();
    std::shared_ptr<MovieWriter> writer(new MovieWriter());
    writer->impl_ = std::make_unique<Impl>();
    Impl& impl = *writer->impl_;
    impl.url = url;
    impl.fileType = fileType;
    impl.options = options;
    const char* muxer = fileType == MovieFileType::mpeg4 ? "mp4" : "mov";
    int result = avformat_alloc_output_context2(&impl.format, nullptr, muxer, url.c_str());
    if (result < 0 || !impl.format) {
        std::string error = averrorText(result);
        ZIMLO_LOG_ERROR("writer") << "creating " << url << ": " << error;
        return fail(std::move(error));
    }
    if (url.empty()) {
        ZIMLO_LOG_ERROR("writer") << "creating a movie without a file name";
        return fail("没有输出文件");
    }
    return writer;
}

MovieWriter::~MovieWriter() {
    if (!impl_) return;
    // Released while still writing: stop the threads and leave the file as written so far
    // (its last fragment completed), like an interrupted recording.
    bool wasWriting = impl_->currentStatus() == Status::writing;
    impl_->stopThreads();
    if (wasWriting && impl_->format && impl_->format->pb) {
        std::lock_guard lock(impl_->muxMutex);
        av_write_trailer(impl_->format);
    }
}

Result<MovieWriter::InputID, std::string> MovieWriter::addVideoInput(
    const VideoEncoderSettings& settings) {
    int width = settings.width & ~1;
    int height = settings.height & ~1;
    if (width <= 0 || height <= 0) {
        return refuse(impl_->url, "adding the video track", "画面尺寸无效");
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        return refuse(impl_->url, "adding the video track", "找不到 H.264 编码器");
    }
    auto created = impl_->newStream();
    if (!created.ok()) return fail(std::move(created).error());
    AVStream* stream = *created;

    auto input = std::make_unique<Input>();
    input->kind = InputKind::video;
    input->stream = stream;
    // By default up to a second of pictures, within 256 MiB of BGRA, rides out a busy moment.
    const size_t frameBytes = static_cast<size_t>(width) * height * 4;
    const size_t byMemory = (size_t{256} << 20) / std::max<size_t>(frameBytes, 1);
    input->capacity =
        impl_->options.videoQueueCapacity > 0
            ? impl_->options.videoQueueCapacity
            : std::clamp<size_t>(byMemory, 8, std::max(settings.expectedFrameRate, 8));
    input->encoder.reset(avcodec_alloc_context3(codec));
    AVCodecContext* encoder = input->encoder.get();
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
    if (impl_->format->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", settings.preset.c_str(), 0);
    if (!settings.tune.empty()) av_opt_set(encoder->priv_data, "tune", settings.tune.c_str(), 0);
    av_opt_set(encoder->priv_data, "profile", "high", 0);
    if (!settings.encoderParameters.empty())
        av_opt_set(encoder->priv_data, "x264-params", settings.encoderParameters.c_str(), 0);
    int result = avcodec_open2(encoder, codec, nullptr);
    if (result < 0) {
        return refuse(impl_->url, "adding the video track", averrorText(result));
    }
    input->frameDurationTicks = av_rescale_q(1, AVRational{1, fps}, encoder->time_base);
    avcodec_parameters_from_context(stream->codecpar, encoder);
    stream->time_base = encoder->time_base;
    stream->avg_frame_rate = encoder->framerate;
    setDisplayMatrix(stream, settings.transform);
    input->index = static_cast<int>(impl_->inputs.size());
    impl_->inputs.push_back(std::move(input));
    return impl_->inputs.back()->index;
}

Result<MovieWriter::InputID, std::string> MovieWriter::addAudioInput(
    const AudioEncoderSettings& settings) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        return refuse(impl_->url, "adding the sound track", "找不到 AAC 编码器");
    }
    if (settings.sampleRate <= 0 || settings.channels <= 0) {
        return refuse(impl_->url, "adding the sound track", "声音格式无效");
    }
    auto created = impl_->newStream();
    if (!created.ok()) return fail(std::move(created).error());
    AVStream* stream = *created;
    auto input = std::make_unique<Input>();
    input->kind = InputKind::audio;
    input->stream = stream;
    input->capacity =
        impl_->options.audioQueueCapacity > 0 ? impl_->options.audioQueueCapacity : 256;
    input->encoder.reset(avcodec_alloc_context3(codec));
    AVCodecContext* encoder = input->encoder.get();
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = settings.sampleRate;
    av_channel_layout_default(&encoder->ch_layout, settings.channels);
    encoder->bit_rate = settings.bitRate;
    encoder->profile = FF_PROFILE_AAC_LOW;
    encoder->time_base = AVRational{1, settings.sampleRate};
    if (impl_->format->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int result = avcodec_open2(encoder, codec, nullptr);
    if (result < 0) {
        return refuse(impl_->url, "adding the sound track", averrorText(result));
    }
    avcodec_parameters_from_context(stream->codecpar, encoder);
    stream->time_base = encoder->time_base;
    input->pending.assign(settings.channels, {});
    input->index = static_cast<int>(impl_->inputs.size());
    impl_->inputs.push_back(std::move(input));
    return impl_->inputs.back()->index;
}

Result<MovieWriter::InputID, std::string> MovieWriter::addPassthroughInput(
    const FormatDescription& formatHint, AffineTransform transform) {
    if (!formatHint.isValid()) {
        return refuse(impl_->url, "adding a copied track", "缺少格式信息");
    }
    auto created = impl_->newStream();
    if (!created.ok()) return fail(std::move(created).error());
    AVStream* stream = *created;
    avcodec_parameters_copy(stream->codecpar, formatHint.parameters());
    stream->codecpar->codec_tag = 0;  // let the container pick its own tag
    stream->time_base = AVRational{formatHint.timeBaseNum(), formatHint.timeBaseDen()};
    if (formatHint.mediaType() == MediaType::video) setDisplayMatrix(stream, transform);
    auto input = std::make_unique<Input>();
    input->kind = InputKind::passthrough;
    input->stream = stream;
    input->capacity =
        impl_->options.packetQueueCapacity > 0 ? impl_->options.packetQueueCapacity : 256;
    input->index = static_cast<int>(impl_->inputs.size());
    impl_->inputs.push_back(std::move(input));
    return impl_->inputs.back()->index;
}

bool MovieWriter::startWriting() {
    Impl& impl = *impl_;
    if (const Status status = impl.currentStatus(); status != Status::unknown)
        return status == Status::writing;
    if (impl.inputs.empty()) {
        impl.fail("没有可写入的轨道");
        return false;
    }
    int result = avio_open(&impl.format->pb, impl.url.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        impl.fail(averrorText(result), result);
        return false;
    }
    AVDictionary* muxerOptions = nullptr;
    if (impl.options.fragmented) {
        av_dict_set(&muxerOptions, "movflags", "empty_moov+default_base_moof", 0);
        av_dict_set_int(&muxerOptions, "frag_duration",
                        static_cast<int64_t>(std::max(impl.options.fragmentSeconds, 0.1) * 1e6), 0);
        // Fragments must not wait long for a track that has nothing to say.
        impl.format->max_interleave_delta =
            static_cast<int64_t>(std::max(impl.options.fragmentSeconds, 0.1) * 0.5e6);
        // A finished fragment goes to the file at once: left in the output buffer it would be
        // lost with the process (a still screen fills that buffer only every few minutes).
        impl.format->flush_packets = 1;
    } else if (impl.options.fastStart) {
        av_dict_set(&muxerOptions, "movflags", "faststart", 0);
    }
    result = avformat_write_header(impl.format, &muxerOptions);
    av_dict_free(&muxerOptions);
    if (result < 0) {
        impl.fail(averrorText(result), result);
        avio_closep(&impl.format->pb);
        return false;
    }
    impl.state.lock()->status = Status::writing;
    for (auto& input : impl.inputs) {
        Input* raw = input.get();
        raw->thread = std::thread([&impl, raw] { impl.run(*raw); });
    }
    impl.startSyncer();
    return true;
}

void MovieWriter::startSession(MediaTime sourceTime) {
    std::lock_guard lock(impl_->sessionMutex);
    if (impl_->sessionStarted.load()) return;
    // The time is in place before any append can see the session started.
    impl_->sessionStart = sourceTime.valid ? sourceTime : MediaTime::zero();
    impl_->sessionStarted.store(true);
}

bool MovieWriter::isReadyForMoreMediaData(InputID id) const {
    Input* input = impl_->find(id);
    if (!input || !impl_->isWriting()) return false;
    std::lock_guard lock(input->mutex);
    return !input->finished && input->queue.size() < input->capacity;
}

bool MovieWriter::waitUntilReady(InputID id, double seconds) const {
    Input* input = impl_->find(id);
    if (!input) return false;
    std::unique_lock lock(input->mutex);
    input->changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
        return input->finished || input->queue.size() < input->capacity || impl_->shouldStop();
    });
    return !input->finished && input->queue.size() < input->capacity && !impl_->shouldStop();
}

bool MovieWriter::append(InputID input, VideoSample sample) {
    if (!sample.dataReady || !sample.pixels) return false;
    const MediaTime time = sample.presentationTime;
    if (!impl_->enqueue(input, InputKind::video, std::move(sample))) return false;
    if (time.valid) {
        const int64_t at = (time - impl_->sessionStart).convertedTo(1'000'000).value;
        int64_t reached = impl_->picturesReachedMicros.load();
        while (at > reached && !impl_->picturesReachedMicros.compare_exchange_weak(reached, at)) {
        }
    }
    return true;
}

bool MovieWriter::append(InputID input, AudioSample sample) {
    if (!sample.dataReady) return false;
    return impl_->enqueue(input, InputKind::audio, std::move(sample));
}

bool MovieWriter::append(InputID input, MediaPacket packet) {
    return impl_->enqueue(input, InputKind::passthrough, std::move(packet));
}

void MovieWriter::markAsFinished(InputID id) {
    Input* input = impl_->find(id);
    if (!input) return;
    std::lock_guard lock(input->mutex);
    input->finished = true;
    input->changed.notify_all();
}

void MovieWriter::finishWriting(std::function<void()> completion) {
    {
        auto locked = impl_->state.lock();
        if (locked->finishing) return;
        locked->finishing = true;
    }
    for (size_t i = 0; i < impl_->inputs.size(); ++i) markAsFinished(static_cast<InputID>(i));
    // The last reference may be the finishing thread's own, so it runs detached and holds us.
    std::thread([self = shared_from_this(), completion = std::move(completion)] {
        Impl& impl = *self->impl_;
        impl.joinThreads();
        impl.stopSyncer();
        if (impl.format->pb) {
            if (impl.isWriting()) {
                std::lock_guard lock(impl.muxMutex);
                int result = av_write_trailer(impl.format);
                if (result < 0)
                    impl.fail(averrorText(result), result);
                else if (impl.format->pb->error < 0)
                    impl.fail(averrorText(impl.format->pb->error), impl.format->pb->error);
            }
            avio_closep(&impl.format->pb);
        }
        {
            auto locked = impl.state.lock();
            if (locked->status == Status::writing) locked->status = Status::completed;
        }
        if (completion) completion();
    }).detach();
}

void MovieWriter::cancelWriting() {
    {
        auto locked = impl_->state.lock();
        if (locked->status == Status::writing || locked->status == Status::unknown)
            locked->status = Status::cancelled;
    }
    impl_->stopThreads();
}

MovieWriter::Status MovieWriter::status() const { return impl_->currentStatus(); }

int MovieWriter::errorCode() const { return impl_->state.lock()->errorCode; }

void MovieWriter::setFailureHandler(std::function<void(const std::string&, int)> handler) {
    impl_->state.lock()->onFailure = std::move(handler);
}

std::string MovieWriter::errorText() const { return impl_->state.lock()->error; }

const std::filesystem::path& MovieWriter::url() const { return impl_->url; }

}  // namespace zimlo::media
