#include "platform/portal/PipeWireScreenStream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"
#include "platform/portal/FrameConverter.h"
#include "platform/portal/FramePacer.h"
#include "platform/portal/StreamTally.h"
#include "platform/runtime/Guarded.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/Threads.h"
#include "platform/runtime/WeakOwner.h"

namespace zimlo::portal {

namespace {

using Kind = screen::CaptureError::Kind;

constexpr double kStillRepeatSeconds = 1.0;    // a still screen repeats its picture this often
constexpr double kStartTimeoutSeconds = 15.0;  // from an open session to a running stream
constexpr double kStampAheadToleranceSeconds = 0.005;
constexpr double kStampAgeLimitSeconds = 1.0;
// Buffers asked of the compositor (its own choice where it drives the stream, as the portal's
// back ends do): one it fills, one on its way to us, one we convert, one to spare. A buffer we
// give back returns to the compositor only with its next frame; with the two it offers by
// itself, it found none free for the frame after and skipped ticks waiting.
constexpr int kWantedBuffers = 4;
constexpr int kMostBuffers = 16;

void initialisePipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

std::optional<SourcePixelFormat> pixelFormatOf(uint32_t format) {
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRx:
            return SourcePixelFormat::BGRx;
        case SPA_VIDEO_FORMAT_BGRA:
            return SourcePixelFormat::BGRA;
        case SPA_VIDEO_FORMAT_RGBx:
            return SourcePixelFormat::RGBx;
        case SPA_VIDEO_FORMAT_RGBA:
            return SourcePixelFormat::RGBA;
        default:
            return std::nullopt;
    }
}

// The producer's number of a buffer, from its header.
std::optional<uint64_t> sequenceOf(spa_buffer* buffer) {
    auto* header = static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (!header) return std::nullopt;
    return header->seq;
}

// The picture a buffer holds, with the crop the compositor marks; none for a buffer without
// one (only a cursor move), a corrupted one or one too small for the format.
std::optional<SourcePicture> pictureIn(spa_buffer* buffer, const spa_video_info_raw& format,
                                       std::optional<PixelRect>& crop) {
    if (buffer->n_datas < 1) return std::nullopt;
    const spa_data& data = buffer->datas[0];
    if (!data.data || !data.chunk || data.chunk->size == 0) return std::nullopt;
    if (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) return std::nullopt;
    auto* header = static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return std::nullopt;
    auto pixelFormat = pixelFormatOf(format.format);
    if (!pixelFormat) return std::nullopt;

    SourcePicture picture;
    picture.width = static_cast<int>(format.size.width);
    picture.height = static_cast<int>(format.size.height);
    picture.stride = data.chunk->stride > 0 ? data.chunk->stride : picture.width * 4;
    picture.format = *pixelFormat;
    const size_t offset = data.chunk->offset % std::max<uint32_t>(data.maxsize, 1);
    const size_t needed = offset + static_cast<size_t>(picture.stride) * (picture.height - 1) +
                          static_cast<size_t>(picture.width) * 4;
    if (picture.width <= 0 || picture.height <= 0 || needed > data.maxsize) return std::nullopt;
    picture.data = static_cast<const uint8_t*>(data.data) + offset;
    crop.reset();
    if (auto* region = static_cast<spa_meta_region*>(
            spa_buffer_find_meta_data(buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
        region && spa_meta_region_is_valid(region)) {
        crop = PixelRect{region->region.position.x, region->region.position.y,
                         static_cast<int>(region->region.size.width),
                         static_cast<int>(region->region.size.height)};
    }
    return picture;
}

// Output buffers are reused once nobody holds them any more.
class BufferPool {
  public:
    std::shared_ptr<media::PixelBuffer> take(int width, int height, media::PixelFormat format,
                                             size_t keep) {
        auto fits = [&](const auto& b) {
            return b->width() == width && b->height() == height && b->format() == format;
        };
        for (auto& buffer : buffers_) {
            if (buffer.use_count() == 1 && fits(buffer)) {
                std::atomic_thread_fence(std::memory_order_acquire);
                return buffer;
            }
        }
        auto fresh = std::make_shared<media::PixelBuffer>(width, height, format);
        std::erase_if(buffers_, [&](const auto& b) { return b.use_count() == 1 && !fits(b); });
        if (buffers_.size() < keep) buffers_.push_back(fresh);
        return fresh;
    }

  private:
    std::vector<std::shared_ptr<media::PixelBuffer>> buffers_;
};

}  // namespace

struct PipeWireScreenStream::Shared : std::enable_shared_from_this<Shared> {
    SessionSource sessionSource;

    // guards: every field from here up to the PipeWire objects (configuration, running,
    // stopRequested, startThread, cancellation, session, closedHandler, streaming, startFailure)
    // and onStop
    mutable std::mutex mutex;
    screen::CaptureStreamConfiguration configuration;
    bool running = false;
    bool stopRequested = false;
    std::thread startThread;
    std::shared_ptr<OpenCancellation> cancellation;
    std::shared_ptr<ScreenCastSession> session;
    int closedHandler = 0;
    // Start hand-shake between the start thread and the PipeWire thread.
    std::condition_variable startChanged;
    bool streaming = false;
    std::optional<screen::CaptureError> startFailure;

    // Created on the start thread, used on the PipeWire thread (or under its lock).
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    pw_registry* registry = nullptr;
    spa_hook streamListener{};
    spa_hook coreListener{};
    spa_hook registryListener{};
    uint32_t node = 0;
    spa_source* stillTimer = nullptr;

    // PipeWire thread only.
    spa_video_info_raw format{};
    bool hasFormat = false;
    FrameConverter converter;
    BufferPool pool;
    std::optional<PixelSize> outputSize;
    std::shared_ptr<const media::PixelBuffer> last;
    media::MediaTime lastDelivered = media::MediaTime::invalid();
    FramePacer pacer;
    // What the stream handed over; written on the PipeWire thread, read by tools.
    Guarded<StreamTally> tally;

    // Delivery, as the X11 stream does it.
    FrameHandler onFrame;
    SerialQueue* queue = nullptr;
    StopHandler onStop;
    std::recursive_mutex deliveryMutex;  // held while a frame is handed over
    std::atomic<bool> delivering{false};
    std::atomic<bool> ended{false};
    std::atomic<int> pending{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> late{0};  // of the dropped: pictures this stream was too slow to take
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> stamped{0};

    screen::CaptureStreamConfiguration currentConfiguration() const {
        std::lock_guard lock(mutex);
        return configuration;
    }

    void deliver(const std::shared_ptr<Shared>& self, media::VideoSample sample);
    void handleFrame(const std::shared_ptr<Shared>& self);
    void repeatStillPicture(const std::shared_ptr<Shared>& self);
    void streamEnded(const screen::CaptureError& reason);
    void teardownPipeWire();
};

void PipeWireScreenStream::Shared::deliver(const std::shared_ptr<Shared>& self,
                                           media::VideoSample sample) {
    if (!queue) {
        std::lock_guard lock(deliveryMutex);
        if (!delivering.load()) return;
        delivered.fetch_add(1);
        if (onFrame) onFrame(sample);
        return;
    }
    pending.fetch_add(1);
    queue->async([self, sample = std::move(sample)] {
        {
            std::lock_guard lock(self->deliveryMutex);
            if (self->delivering.load()) {
                self->delivered.fetch_add(1);
                if (self->onFrame) self->onFrame(sample);
            }
        }
        self->pending.fetch_sub(1);
    });
}

void PipeWireScreenStream::Shared::handleFrame(const std::shared_ptr<Shared>& self) {
    // Only the newest picture matters; older ones still queued were missed.
    pw_buffer* newest = nullptr;
    while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
        tally.lock()->buffer(sequenceOf(next->buffer));
        if (newest) {
            pw_stream_queue_buffer(stream, newest);
            tally.lock()->superseded();
            dropped.fetch_add(1);
            late.fetch_add(1);
        }
        newest = next;
    }
    if (!newest) return;
    struct Requeue {
        pw_stream* stream;
        pw_buffer* buffer;
        ~Requeue() { pw_stream_queue_buffer(stream, buffer); }
    } requeue{stream, newest};

    std::optional<PixelRect> crop;
    const auto picture = hasFormat ? pictureIn(newest->buffer, format, crop) : std::nullopt;
    if (!picture) {
        tally.lock()->blank();
        return;
    }

    // The compositor's presentation time when it is on our clock; the arrival time otherwise.
    const media::MediaTime arrival = media::MonotonicClock::now();
    media::MediaTime stamp = arrival;
    auto* header = static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(newest->buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && header->pts > 0) {
        auto pts = media::MediaTime::make(header->pts, media::MonotonicClock::kTimescale);
        double age = (arrival - pts).seconds();
        if (age >= -kStampAheadToleranceSeconds && age <= kStampAgeLimitSeconds) {
            stamp = pts;
            stamped.fetch_add(1);
        }
    }
    const auto config = currentConfiguration();
    const double interval = config.minimumFrameInterval.valid
                                ? std::clamp(config.minimumFrameInterval.seconds(), 1.0 / 240, 10.0)
                                : 1.0 / 30;
    tally.lock()->stamp(stamp.seconds(), interval);
    if (lastDelivered.valid && stamp <= lastDelivered) {  // out of order: nothing new
        tally.lock()->stale();
        return;
    }
    const bool admitted = pacer.admit(stamp.seconds(), interval);
    tally.lock()->paced(admitted);
    if (!admitted) return;

    if (queue && pending.load() >= std::max(1, config.queueDepth)) {
        dropped.fetch_add(1);
        return;
    }
    const PixelRect area = visibleArea(picture->width, picture->height, crop);
    if (!outputSize || !config.sizeForSource) {
        PixelSize size = config.sizeForSource ? config.sizeForSource({area.width, area.height})
                                              : PixelSize{config.width, config.height};
        outputSize = PixelSize{std::max(2, size.width), std::max(2, size.height)};
    }
    const bool nv12 = config.pixelFormat == media::PixelFormat::NV12VideoRange;
    // NV12 has whole 2 × 2 chroma blocks.
    auto pixels = pool.take(nv12 ? (outputSize->width + 1) & ~1 : outputSize->width,
                            nv12 ? (outputSize->height + 1) & ~1 : outputSize->height,
                            nv12 ? config.pixelFormat : media::PixelFormat::BGRA,
                            static_cast<size_t>(std::max(2, config.queueDepth)) + 2);
    if (!converter.convert(*picture, crop, *pixels)) return;
    last = pixels;
    lastDelivered = stamp;
    media::VideoSample sample;
    sample.pixels = pixels;
    sample.presentationTime = stamp;
    sample.status = media::FrameStatus::complete;
    deliver(self, std::move(sample));
}

void PipeWireScreenStream::Shared::repeatStillPicture(const std::shared_ptr<Shared>& self) {
    if (!last || !lastDelivered.valid) return;
    const media::MediaTime now = media::MonotonicClock::now();
    if ((now - lastDelivered).seconds() < kStillRepeatSeconds) return;
    const auto config = currentConfiguration();
    if (queue && pending.load() >= std::max(1, config.queueDepth)) return;
    lastDelivered = now;
    pacer.reset();  // the next new picture is taken at once
    media::VideoSample sample;
    sample.pixels = last;
    sample.presentationTime = now;
    sample.status = media::FrameStatus::complete;
    deliver(self, std::move(sample));
}

void PipeWireScreenStream::Shared::streamEnded(const screen::CaptureError& reason) {
    {
        std::lock_guard lock(mutex);
        if (stopRequested) return;
        ZIMLO_LOG_WARN("portal") << "screen cast stream: " << reason.what();
        if (!streaming) {
            // Still starting: the start fails with the reason.
            if (!startFailure) startFailure = reason;
            startChanged.notify_all();
            return;
        }
        running = false;
    }
    if (ended.exchange(true)) return;
    {
        std::lock_guard lock(deliveryMutex);
        delivering.store(false);
    }
    StopHandler handler;
    {
        std::lock_guard lock(mutex);
        handler = onStop;
    }
    if (handler) handler(reason);
}

void PipeWireScreenStream::Shared::teardownPipeWire() {
    if (!loop) return;
    pw_thread_loop_lock(loop);
    if (stillTimer) pw_loop_destroy_source(pw_thread_loop_get_loop(loop), stillTimer);
    stillTimer = nullptr;
    if (stream) {
        spa_hook_remove(&streamListener);
        pw_stream_disconnect(stream);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
    if (registry) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        registry = nullptr;
    }
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    if (context) pw_context_destroy(context);
    context = nullptr;
    pw_thread_loop_destroy(loop);
    loop = nullptr;
}

namespace {

// PipeWire's callbacks carry the shared state; the PipeWire objects are torn down before the
// stream object lets go of it.
PipeWireScreenStream::Shared& sharedOf(void* data) {
    return *static_cast<PipeWireScreenStream::Shared*>(data);
}

void onProcess(void* data) {
    auto& shared = sharedOf(data);
    shared.handleFrame(shared.shared_from_this());
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto& shared = sharedOf(data);
    if (!param || id != SPA_PARAM_Format) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return;
    spa_video_info_raw format{};
    if (spa_format_video_raw_parse(param, &format) < 0 || !pixelFormatOf(format.format)) return;
    shared.format = format;
    shared.hasFormat = true;

    // Memory we can map (never DMA-BUF) in enough buffers, the presentation time and the crop
    // of each frame.
    uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[3];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(kWantedBuffers, 2, kMostBuffers), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
    pw_stream_update_params(shared.stream, params, 3);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto& shared = sharedOf(data);
    if (state == PW_STREAM_STATE_STREAMING) {
        std::lock_guard lock(shared.mutex);
        shared.streaming = true;
        shared.startChanged.notify_all();
    } else if (state == PW_STREAM_STATE_ERROR) {
        shared.streamEnded(screen::CaptureError(Kind::shareFailed, error ? error : ""));
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
        shared.streamEnded(screen::CaptureError(Kind::shareEnded));
    }
}

void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    // The remote went away (the portal closed it, or PipeWire stopped).
    if (id == PW_ID_CORE && res == -EPIPE)
        sharedOf(data).streamEnded(screen::CaptureError(Kind::shareEnded, message ? message : ""));
}

// The cast's node went away (its producer stopped): a stream linked to it would only wait.
void onGlobalRemoved(void* data, uint32_t id) {
    auto& shared = sharedOf(data);
    if (id == shared.node) shared.streamEnded(screen::CaptureError(Kind::shareEnded));
}

void onAddBuffer(void* data, pw_buffer*) { sharedOf(data).tally.lock()->pooled(true); }
void onRemoveBuffer(void* data, pw_buffer*) { sharedOf(data).tally.lock()->pooled(false); }

void onStillTimer(void* data, uint64_t) {
    auto& shared = sharedOf(data);
    shared.repeatStillPicture(shared.shared_from_this());
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    events.add_buffer = onAddBuffer;
    events.remove_buffer = onRemoveBuffer;
    return events;
}();

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = onGlobalRemoved;
    return events;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = onCoreError;
    return events;
}();

// Connects to the session's PipeWire remote; the caller holds nothing. Returns what failed.
std::optional<screen::CaptureError> connectPipeWire(
    const std::shared_ptr<PipeWireScreenStream::Shared>& s, int fd, uint32_t node) {
    initialisePipeWire();
    s->loop = pw_thread_loop_new("pipewire-cast", nullptr);
    if (!s->loop) {
        ::close(fd);
        return screen::CaptureError(Kind::pipeWireUnavailable, "no thread loop");
    }
    pw_thread_loop_lock(s->loop);
    if (pw_thread_loop_start(s->loop) < 0) {
        pw_thread_loop_unlock(s->loop);
        ::close(fd);
        return screen::CaptureError(Kind::pipeWireUnavailable, "the thread loop did not start");
    }
    s->context = pw_context_new(pw_thread_loop_get_loop(s->loop), nullptr, 0);
    s->core = s->context ? pw_context_connect_fd(s->context, fd, nullptr, 0) : nullptr;
    if (!s->core) {
        if (!s->context) ::close(fd);
        pw_thread_loop_unlock(s->loop);
        return screen::CaptureError(Kind::pipeWireUnreachable,
                                    s->context ? "connecting the remote" : "no context");
    }
    pw_core_add_listener(s->core, &s->coreListener, &kCoreEvents, s.get());
    s->node = node;
    s->registry = pw_core_get_registry(s->core, PW_VERSION_REGISTRY, 0);
    if (s->registry)
        pw_registry_add_listener(s->registry, &s->registryListener, &kRegistryEvents, s.get());
    s->stream = pw_stream_new(s->core, "Zimlo screen",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!s->stream) {
        pw_thread_loop_unlock(s->loop);
        return screen::CaptureError(Kind::pipeWireStreamNotCreated);
    }
    pw_stream_add_listener(s->stream, &s->streamListener, &kStreamEvents, s.get());

    const auto config = s->currentConfiguration();
    const int fps =
        config.minimumFrameInterval.valid && config.minimumFrameInterval.seconds() > 0
            ? std::clamp(static_cast<int>(std::lround(1.0 / config.minimumFrameInterval.seconds())),
                         1, 240)
            : 30;
    uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    spa_rectangle defaultSize{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
    spa_fraction defaultRate{static_cast<uint32_t>(fps), 1}, minRate{0, 1}, maxRate{360, 1};
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
    if (pw_stream_connect(
            s->stream, PW_DIRECTION_INPUT, node,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1) < 0) {
        pw_thread_loop_unlock(s->loop);
        return screen::CaptureError(Kind::pipeWireStreamNotConnected,
                                    "node " + std::to_string(node));
    }
    // A still screen sends nothing: look four times a second whether to repeat the picture.
    s->stillTimer = pw_loop_add_timer(pw_thread_loop_get_loop(s->loop), onStillTimer, s.get());
    timespec value{0, 250'000'000}, interval{0, 250'000'000};
    pw_loop_update_timer(pw_thread_loop_get_loop(s->loop), s->stillTimer, &value, &interval, false);
    pw_thread_loop_unlock(s->loop);
    return std::nullopt;
}

void startThread(std::shared_ptr<PipeWireScreenStream::Shared> s,
                 std::shared_ptr<OpenCancellation> cancellation,
                 screen::CaptureStream::Completion completion) {
    auto fail = [&](const screen::CaptureError& error) {
        ZIMLO_LOG_WARN("portal") << "starting the screen cast stream: " << error.what();
        s->teardownPipeWire();
        std::shared_ptr<ScreenCastSession> session;
        {
            std::lock_guard lock(s->mutex);
            s->running = false;
            session = std::move(s->session);
            if (session && s->closedHandler) session->removeClosedHandler(s->closedHandler);
            s->closedHandler = 0;
        }
        s->delivering.store(false);
        if (completion) completion(error);
    };

    auto opened = s->sessionSource(std::move(cancellation));
    if (!opened) {
        fail(opened.error());
        return;
    }
    std::shared_ptr<ScreenCastSession> session = std::move(opened).value();
    if (!session) {
        fail(screen::CaptureError(Kind::portalGaveNoSession));
        return;
    }
    {
        std::lock_guard lock(s->mutex);
        if (s->stopRequested) {
            s->running = false;
            if (completion) completion(screen::CaptureError(Kind::stopped));
            return;
        }
        s->session = session;
    }
    const int fd = session->duplicatePipeWireFd();
    if (fd < 0) {
        fail(screen::CaptureError(Kind::shareEnded, "the session closed"));
        return;
    }
    if (auto error = connectPipeWire(s, fd, session->stream().nodeId)) {
        fail(*error);
        return;
    }
    int handler = session->addClosedHandler(weakly(s, [](PipeWireScreenStream::Shared& shared) {
        shared.streamEnded(screen::CaptureError(Kind::shareEndedByDesktop));
    }));

    std::unique_lock lock(s->mutex);
    s->closedHandler = handler;
    s->startChanged.wait_for(lock, std::chrono::duration<double>(kStartTimeoutSeconds),
                             [&] { return s->streaming || s->startFailure || s->stopRequested; });
    if (s->streaming && !s->stopRequested) {
        lock.unlock();
        if (completion) completion(std::nullopt);
        return;
    }
    const screen::CaptureError failure = s->stopRequested  ? screen::CaptureError(Kind::stopped)
                                         : s->startFailure ? *s->startFailure
                                                           : screen::CaptureError(Kind::noPictures);
    lock.unlock();
    fail(failure);
}

}  // namespace

PipeWireScreenStream::PipeWireScreenStream(SessionSource sessionSource,
                                           screen::CaptureStreamConfiguration configuration)
    : shared_(std::make_shared<Shared>()) {
    shared_->sessionSource = std::move(sessionSource);
    shared_->configuration = std::move(configuration);
}

PipeWireScreenStream::~PipeWireScreenStream() { stopCapture(); }

void PipeWireScreenStream::setFrameHandler(FrameHandler handler, SerialQueue* queue) {
    std::lock_guard lock(shared_->deliveryMutex);
    shared_->onFrame = std::move(handler);
    shared_->queue = queue;
}

void PipeWireScreenStream::setStopHandler(StopHandler handler) {
    std::lock_guard lock(shared_->mutex);
    shared_->onStop = std::move(handler);
}

void PipeWireScreenStream::startCapture(Completion completion) {
    std::thread previous;
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->running) {
            if (completion) completion(std::nullopt);
            return;
        }
        previous = std::move(shared_->startThread);
    }
    if (previous.joinable()) previous.join();
    // A stream that ended by itself is set up from scratch.
    shared_->teardownPipeWire();
    std::lock_guard lock(shared_->mutex);
    shared_->running = true;
    shared_->stopRequested = false;
    shared_->streaming = false;
    shared_->startFailure.reset();
    shared_->ended.store(false);
    shared_->hasFormat = false;
    shared_->outputSize.reset();
    shared_->last.reset();
    shared_->lastDelivered = media::MediaTime::invalid();
    shared_->pacer.reset();
    shared_->tally.lock()->reset();
    shared_->delivering.store(true);
    shared_->cancellation = std::make_shared<OpenCancellation>();
    shared_->startThread =
        zimlo::startThread("portal-start", [shared = shared_, cancellation = shared_->cancellation,
                                            completion = std::move(completion)]() mutable {
            startThread(shared, cancellation, std::move(completion));
        });
}

void PipeWireScreenStream::stopCapture(Completion completion) {
    std::thread thread;
    std::shared_ptr<OpenCancellation> cancellation;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopRequested = true;
        thread = std::move(shared_->startThread);
        cancellation = shared_->cancellation;
        shared_->startChanged.notify_all();
    }
    if (cancellation) cancellation->cancel();  // closes a chooser that is still open
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            letGo(std::move(thread));  // stopped from its own completion; it ends right after
        else
            thread.join();
    }
    auto finish = [shared = shared_] {
        shared->teardownPipeWire();
        std::shared_ptr<ScreenCastSession> session;
        {
            std::lock_guard lock(shared->mutex);
            shared->running = false;
            session = std::move(shared->session);
            if (session && shared->closedHandler)
                session->removeClosedHandler(shared->closedHandler);
            shared->closedHandler = 0;
        }
    };
    if (shared_->loop && pw_thread_loop_in_thread(shared_->loop)) {
        // Called from a PipeWire callback: the loop cannot stop itself.
        zimlo::letGo(zimlo::startThread("portal-stop", finish));
    } else {
        finish();
    }
    {
        // Waits for a frame being handed over on another thread.
        std::lock_guard lock(shared_->deliveryMutex);
        shared_->delivering.store(false);
    }
    if (completion) completion(std::nullopt);
}

void PipeWireScreenStream::updateConfiguration(
    const screen::CaptureStreamConfiguration& configuration) {
    std::lock_guard lock(shared_->mutex);
    shared_->configuration = configuration;
}

screen::CaptureStreamConfiguration PipeWireScreenStream::configuration() const {
    return shared_->currentConfiguration();
}

bool PipeWireScreenStream::isRunning() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->running;
}

uint64_t PipeWireScreenStream::droppedFrameCount() const { return shared_->dropped.load(); }
uint64_t PipeWireScreenStream::lateFrameCount() const { return shared_->late.load(); }
uint64_t PipeWireScreenStream::deliveredFrameCount() const { return shared_->delivered.load(); }
std::vector<screen::SourceCount> PipeWireScreenStream::sourceCounts() const {
    return shared_->tally.lock()->named();
}
uint64_t PipeWireScreenStream::compositorStampedFrameCount() const {
    return shared_->stamped.load();
}

std::shared_ptr<ScreenCastSession> PipeWireScreenStream::session() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->session;
}

}  // namespace zimlo::portal
