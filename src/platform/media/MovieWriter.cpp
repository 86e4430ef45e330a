#include "platform/media/MovieWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

#include "platform/log/Log.h"
#include "platform/media/AudioEncoderTrack.h"
#include "platform/media/FFmpegSupport.h"
#include "platform/media/MovieTrack.h"
#include "platform/media/PassthroughTrack.h"
#include "platform/media/VideoEncoderTrack.h"
#include "platform/runtime/Guarded.h"
#include "platform/runtime/Threads.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace zimlo::media {

namespace {

enum class InputKind { video, audio, passthrough };

const char* inputThreadName(InputKind kind) {
    switch (kind) {
        case InputKind::video:
            return "writer-video";
        case InputKind::audio:
            return "writer-audio";
        case InputKind::passthrough:
            return "writer-copy";
    }
    return "writer-input";
}

// One input: its track, the bounded queue in front of it and the thread between the two.
struct Input {
    InputKind kind;
    int index = 0;
    size_t capacity = 16;
    std::unique_ptr<MovieTrack> track;

    struct Queue {
        std::deque<TrackSample> samples;
        bool finished = false;  // no more appends
    };
    Guarded<Queue> queue;
    std::condition_variable changed;

    bool hasRoom(const Queue& q) const { return !q.finished && q.samples.size() < capacity; }
};

}  // namespace

struct MovieWriter::Impl : TrackOutput {
    std::filesystem::path path;
    MovieFileType fileType = MovieFileType::quickTimeMovie;
    MovieWriterOptions options;
    std::vector<std::unique_ptr<Input>> inputs;  // fixed once writing starts

    // What every thread of the writer reads and changes: reachable only under its lock.
    struct State {
        Status status = Status::unknown;
        std::optional<MediaError> error;
        int errorCode = 0;
        std::function<void(const MediaError&, int)> onFailure;
        bool stopping = false;  // threads leave without writing what is queued
        bool finishing = false;
    };
    Guarded<State> state;

    // The container; its muxer is fed by every input thread.
    Guarded<AVFormatContext*> container{nullptr};

    // Source time that becomes time zero, once set.
    Guarded<std::optional<MediaTime>> session;
    // The latest picture time given, in microseconds from the session start.
    std::atomic<int64_t> picturesReached{0};

    // The input threads; cancelling, finishing and destruction may each join them.
    Guarded<std::vector<std::thread>> inputThreads;

    // Periodic flush to the disk.
    std::thread syncer;
    Guarded<bool> syncStop{false};
    std::condition_variable syncWake;

    ~Impl() override {
        stopThreads();
        stopSyncer();
        auto format = container.lock();
        if (*format) {
            if ((*format)->pb) avio_closep(&(*format)->pb);
            avformat_free_context(*format);
        }
    }

    // --- what the tracks see ---------------------------------------------------------------

    const std::filesystem::path& url() const override { return path; }

    MediaResult<AVStream*> newStream() override {
        auto locked = state.lock();  // tracks are added only before writing starts
        if (locked->status != Status::unknown)
            return zimlo::fail(MediaError::of(MediaError::Kind::writingStarted));
        auto format = container.lock();
        if (static_cast<int64_t>((*format)->nb_streams) >= (*format)->max_streams) {
            ZIMLO_LOG_ERROR("writer") << "adding a track to " << path << ": it holds "
                                      << (*format)->nb_streams << ", as many as it takes";
            return zimlo::fail(MediaError::of(MediaError::Kind::tooManyTracks));
        }
        AVStream* stream = avformat_new_stream(*format, nullptr);
        if (!stream) {
            ZIMLO_LOG_ERROR("writer") << "adding a track to " << path << ": out of memory";
            return zimlo::fail(MediaError::of(MediaError::Kind::outOfMemory));
        }
        return stream;
    }

    bool wantsGlobalHeader() const override {
        return (*container.lock())->oformat->flags & AVFMT_GLOBALHEADER;
    }

    bool writePacket(AVPacket* packet) override {
        int result = 0;
        {
            auto format = container.lock();
            // Each fragment starts every track at its own first sample's time. Otherwise the
            // muxer places it right after the previous fragment's last sample, taking that
            // sample's nominal duration on trust: a picture held for a second (a still screen, a
            // busy machine) would then be followed a frame later, and the picture drifts ahead
            // of the sound at every fragment.
            if (options.fragmented)
                av_opt_set((*format)->priv_data, "movflags", "+frag_discont", 0);
            result = av_interleaved_write_frame(*format, packet);
        }
        if (result < 0) {
            failWith(MediaError::library(result), result);
            return false;
        }
        return true;
    }

    // A track's failure: the encoders' codes are not the system's.
    void fail(MediaError error) override { failWith(error, 0); }

    // The first failure wins; later ones are consequences. `fileCode` is the FFmpeg error code
    // of a file operation, which may wrap the system's error number.
    void failWith(const MediaError& error, int fileCode) {
        std::function<void(const MediaError&, int)> handler;
        int errorCode = 0;
        {
            auto locked = state.lock();
            if (locked->status != Status::writing && locked->status != Status::unknown) return;
            locked->status = Status::failed;
            locked->error = error;
            // FFmpeg wraps the system's error numbers; its own codes carry none.
            errorCode = locked->errorCode =
                fileCode < 0 && AVUNERROR(fileCode) < 4096 ? AVUNERROR(fileCode) : 0;
            handler = std::move(locked->onFailure);
        }
        ZIMLO_LOG_ERROR("writer") << "writing " << path << " failed: " << error;
        wakeAll();
        if (handler) handler(error, errorCode);
    }

    MediaTime sessionStart() const override { return session.lock()->value_or(MediaTime::zero()); }

    int64_t picturesReachedMicros() const override { return picturesReached.load(); }

    bool skipsEncoderDelay() const override { return !options.fragmented; }

    // --- the writer's own --------------------------------------------------------------------

    Status currentStatus() const { return state.lock()->status; }
    bool isWriting() const { return currentStatus() == Status::writing; }

    bool shouldStop() const {
        auto locked = state.lock();
        return locked->stopping || locked->status != Status::writing;
    }

    void wakeAll() {
        for (auto& input : inputs) {
            auto locked = input->queue.lock();
            input->changed.notify_all();
        }
    }

    void stopThreads() {
        state.lock()->stopping = true;
        wakeAll();
        joinThreads();
    }

    void joinThreads() {
        auto threads = inputThreads.lock();
        for (auto& thread : *threads) {
            if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
        }
    }

    void startSyncer() {
        if (options.syncSeconds <= 0) return;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        syncer = startThread("writer-sync", [this, fd] {
            auto stop = syncStop.lock();
            while (!syncWake.wait_for(stop.lock(),
                                      std::chrono::duration<double>(options.syncSeconds),
                                      [&] { return *stop; })) {
                stop.lock().unlock();
                ::fdatasync(fd);  // flushes the file's pages whichever descriptor wrote them
                stop.lock().lock();
            }
            ::close(fd);
        });
    }

    void stopSyncer() {
        *syncStop.lock() = true;
        syncWake.notify_all();
        if (syncer.joinable() && syncer.get_id() != std::this_thread::get_id()) syncer.join();
    }

    // --- the input threads -------------------------------------------------------------

    void run(Input& input) {
        for (;;) {
            TrackSample sample;
            {
                auto queue = input.queue.lock();
                input.changed.wait(queue.lock(), [&] {
                    return !queue->samples.empty() || queue->finished || shouldStop();
                });
                if (shouldStop()) return;
                if (queue->samples.empty()) break;  // finished and drained
                sample = std::move(queue->samples.front());
                queue->samples.pop_front();
                input.changed.notify_all();
            }
            if (!input.track->write(sample)) return;
        }
        // Finished: what the encoder still holds goes out too.
        input.track->finish();
    }

    Input* find(InputID id) const {
        if (id < 0 || id >= static_cast<int>(inputs.size())) return nullptr;
        return inputs[id].get();
    }

    template <typename Item>
    bool enqueue(InputID id, InputKind kind, Item item) {
        Input* input = find(id);
        if (!input || input->kind != kind || !session.lock()->has_value() || !isWriting())
            return false;
        auto queue = input->queue.lock();
        if (queue->finished) return false;
        if (queue->samples.size() >= input->capacity) {
            ZIMLO_LOG_DEBUG("writer") << "a sample for track " << id << " of " << path
                                      << " was refused: the track's queue is full";
            return false;
        }
        queue->samples.emplace_back(std::move(item));
        input->changed.notify_all();
        return true;
    }

    MediaResult<InputID> add(InputKind kind, std::unique_ptr<MovieTrack> track, size_t capacity) {
        auto input = std::make_unique<Input>();
        input->kind = kind;
        input->track = std::move(track);
        input->capacity = capacity;
        input->index = static_cast<int>(inputs.size());
        inputs.push_back(std::move(input));
        return inputs.back()->index;
    }
};

MediaResult<std::shared_ptr<MovieWriter>> MovieWriter::create(const std::filesystem::path& url,
                                                              MovieFileType fileType,
                                                              MovieWriterOptions options) {
    quietFFmpegLogging();
    std::shared_ptr<MovieWriter> writer(new MovieWriter());
    writer->impl_ = std::make_unique<Impl>();
    Impl& impl = *writer->impl_;
    impl.path = url;
    impl.fileType = fileType;
    impl.options = options;
    const char* muxer = fileType == MovieFileType::mpeg4 ? "mp4" : "mov";
    auto format = impl.container.lock();
    int result = avformat_alloc_output_context2(&*format, nullptr, muxer, url.c_str());
    if (result < 0 || !*format) {
        MediaError error = MediaError::library(result);
        ZIMLO_LOG_ERROR("writer") << "creating " << url << ": " << error;
        return fail(std::move(error));
    }
    if (url.empty()) {
        ZIMLO_LOG_ERROR("writer") << "creating a movie without a file name";
        return fail(MediaError::of(MediaError::Kind::noOutputFile));
    }
    if (options.maximumTracks > 0) (*format)->max_streams = options.maximumTracks;
    return writer;
}

bool MovieWriter::canStore(MovieFileType fileType, const FormatDescription& format) {
    if (!format.isValid()) return false;
    const AVOutputFormat* container =
        av_guess_format(fileType == MovieFileType::mpeg4 ? "mp4" : "mov", nullptr, nullptr);
    return container && avformat_query_codec(container, format.parameters()->codec_id,
                                             FF_COMPLIANCE_NORMAL) == 1;
}

MovieWriter::~MovieWriter() {
    if (!impl_) return;
    // Released while still writing: stop the threads and leave the file as written so far
    // (its last fragment completed), like an interrupted recording.
    bool wasWriting = impl_->currentStatus() == Status::writing;
    impl_->stopThreads();
    auto format = impl_->container.lock();
    if (wasWriting && *format && (*format)->pb) av_write_trailer(*format);
}

MediaResult<MovieWriter::InputID> MovieWriter::addVideoInput(const VideoEncoderSettings& settings) {
    auto track = VideoEncoderTrack::create(settings, *impl_);
    if (!track.ok()) return fail(std::move(track).error());
    // By default up to a second of pictures, within 256 MiB of BGRA, rides out a busy moment.
    const size_t frameBytes = static_cast<size_t>(settings.width & ~1) * (settings.height & ~1) * 4;
    const size_t byMemory = (size_t{256} << 20) / std::max<size_t>(frameBytes, 1);
    const size_t capacity =
        impl_->options.videoQueueCapacity > 0
            ? impl_->options.videoQueueCapacity
            : std::clamp<size_t>(byMemory, 8, std::max(settings.expectedFrameRate, 8));
    return impl_->add(InputKind::video, std::move(track).value(), capacity);
}

MediaResult<MovieWriter::InputID> MovieWriter::addAudioInput(const AudioEncoderSettings& settings) {
    auto track = AudioEncoderTrack::create(settings, *impl_);
    if (!track.ok()) return fail(std::move(track).error());
    const size_t capacity =
        impl_->options.audioQueueCapacity > 0 ? impl_->options.audioQueueCapacity : 256;
    return impl_->add(InputKind::audio, std::move(track).value(), capacity);
}

MediaResult<MovieWriter::InputID> MovieWriter::addPassthroughInput(
    const FormatDescription& formatHint, AffineTransform transform) {
    auto track = PassthroughTrack::create(formatHint, transform, *impl_);
    if (!track.ok()) return fail(std::move(track).error());
    const size_t capacity =
        impl_->options.packetQueueCapacity > 0 ? impl_->options.packetQueueCapacity : 256;
    return impl_->add(InputKind::passthrough, std::move(track).value(), capacity);
}

MediaResult<void> MovieWriter::start() {
    if (writeHeader()) return {};
    return fail(error().value_or(
        MediaError::of(MediaError::Kind::writeFailed, "the writer is not writing")));
}

bool MovieWriter::writeHeader() {
    Impl& impl = *impl_;
    if (const Status status = impl.currentStatus(); status != Status::unknown)
        return status == Status::writing;
    if (impl.inputs.empty()) {
        impl.fail(MediaError::of(MediaError::Kind::noTracks));
        return false;
    }
    int result = avio_open(&(*impl.container.lock())->pb, impl.path.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        impl.failWith(MediaError::library(result), result);
        return false;
    }
    AVDictionary* muxerOptions = nullptr;
    auto format = impl.container.lock();
    if (impl.options.fragmented) {
        av_dict_set(&muxerOptions, "movflags", "empty_moov+default_base_moof", 0);
        av_dict_set_int(&muxerOptions, "frag_duration",
                        static_cast<int64_t>(std::max(impl.options.fragmentSeconds, 0.1) * 1e6), 0);
        // Fragments must not wait long for a track that has nothing to say.
        (*format)->max_interleave_delta =
            static_cast<int64_t>(std::max(impl.options.fragmentSeconds, 0.1) * 0.5e6);
        // A finished fragment goes to the file at once: left in the output buffer it would be
        // lost with the process (a still screen fills that buffer only every few minutes).
        (*format)->flush_packets = 1;
    } else if (impl.options.fastStart) {
        av_dict_set(&muxerOptions, "movflags", "faststart", 0);
    }
    result = avformat_write_header(*format, &muxerOptions);
    av_dict_free(&muxerOptions);
    if (result < 0) {
        format.lock().unlock();  // failing takes the state lock, which comes first
        impl.failWith(MediaError::library(result), result);
        format.lock().lock();
        avio_closep(&(*format)->pb);
        return false;
    }
    format.lock().unlock();
    impl.state.lock()->status = Status::writing;
    {
        auto threads = impl.inputThreads.lock();
        for (auto& input : impl.inputs) {
            Input* raw = input.get();
            threads->push_back(
                startThread(inputThreadName(raw->kind), [&impl, raw] { impl.run(*raw); }));
        }
    }
    impl.startSyncer();
    return true;
}

void MovieWriter::startSession(MediaTime sourceTime) {
    auto session = impl_->session.lock();
    if (!session->has_value()) *session = sourceTime.valid ? sourceTime : MediaTime::zero();
}

bool MovieWriter::acceptsMore(InputID id) const {
    Input* input = impl_->find(id);
    if (!input || !impl_->isWriting()) return false;
    return input->hasRoom(*input->queue.lock());
}

bool MovieWriter::waitUntilReady(InputID id, double seconds) const {
    Input* input = impl_->find(id);
    if (!input) return false;
    auto queue = input->queue.lock();
    input->changed.wait_for(queue.lock(), std::chrono::duration<double>(seconds), [&] {
        return queue->finished || queue->samples.size() < input->capacity || impl_->shouldStop();
    });
    return input->hasRoom(*queue) && !impl_->shouldStop();
}

bool MovieWriter::append(InputID input, VideoSample sample) {
    if (!sample.dataReady || !sample.pixels) return false;
    const MediaTime time = sample.presentationTime;
    if (!impl_->enqueue(input, InputKind::video, std::move(sample))) return false;
    if (time.valid) {
        const int64_t at = (time - impl_->sessionStart()).convertedTo(1'000'000).value;
        int64_t reached = impl_->picturesReached.load();
        while (at > reached && !impl_->picturesReached.compare_exchange_weak(reached, at)) {
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

void MovieWriter::endInput(InputID id) {
    Input* input = impl_->find(id);
    if (!input) return;
    auto queue = input->queue.lock();
    queue->finished = true;
    input->changed.notify_all();
}

void MovieWriter::finish(std::function<void()> completion) {
    {
        auto locked = impl_->state.lock();
        if (locked->finishing) return;
        locked->finishing = true;
    }
    for (size_t i = 0; i < impl_->inputs.size(); ++i) endInput(static_cast<InputID>(i));
    // The last reference may be the finishing thread's own, so it runs detached and holds us.
    letGo(startThread(
        "writer-finish", [self = shared_from_this(), completion = std::move(completion)] {
            Impl& impl = *self->impl_;
            impl.joinThreads();
            impl.stopSyncer();
            int failure = 0;
            const bool writing = impl.isWriting();  // the state lock comes before the container's
            {
                auto format = impl.container.lock();
                if ((*format)->pb && writing) {
                    int result = av_write_trailer(*format);
                    failure = result < 0 ? result : std::min((*format)->pb->error, 0);
                }
            }
            // Failing takes the state lock, which comes before the container's.
            if (failure < 0) impl.failWith(MediaError::library(failure), failure);
            auto format = impl.container.lock();
            if ((*format)->pb) avio_closep(&(*format)->pb);
            format.lock().unlock();
            {
                auto locked = impl.state.lock();
                if (locked->status == Status::writing) locked->status = Status::completed;
            }
            if (completion) completion();
        }));
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

void MovieWriter::setFailureHandler(std::function<void(const MediaError&, int)> handler) {
    impl_->state.lock()->onFailure = std::move(handler);
}

std::optional<MediaError> MovieWriter::error() const { return impl_->state.lock()->error; }

const std::filesystem::path& MovieWriter::url() const { return impl_->path; }

}  // namespace zimlo::media
