#include "platform/audio/PulseCapture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"

namespace zimlo::audio {
namespace {

using Kind = AudioError::Kind;

std::string logText(Kind kind, const std::string& detail, const std::string& device) {
    std::string text = [kind]() -> std::string {
        switch (kind) {
            case Kind::clientUnavailable:
                return "cannot start the PulseAudio client";
            case Kind::serverUnreachable:
                return "cannot connect to the sound server";
            case Kind::noDefaultSource:
                return "the sound server has no default recording device";
            case Kind::unsupportedFormat:
                return "unsupported sample format";
            case Kind::cannotOpenDevice:
                return "cannot open the recording device";
            case Kind::streamFailed:
                return "the recording stream failed";
            case Kind::streamEnded:
                return "the recording stream ended";
            case Kind::serverNotAnswering:
                return "the sound server does not answer";
            case Kind::other:
                return "sound capture failed";
        }
        return "sound capture failed";
    }();
    if (kind == Kind::cannotOpenDevice) text += " " + (device.empty() ? "(default)" : device);
    if (!detail.empty()) text += ": " + detail;
    return text;
}

// Logged where it happens, with what was being done.
Failure<AudioError> failed(const std::string& doing, Kind kind, std::string detail = {},
                           std::string device = {}) {
    AudioError error(kind, std::move(detail), std::move(device));
    ZIMLO_LOG_WARN("audio") << doing << ": " << error.what();
    return fail(std::move(error));
}

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// The timeline of delivered frames is checked against the clock over stretches of this length,
// and moved when the earliest measurement of a stretch is further off than the tolerance
// (device clock drift, an overrun that lost sound).
constexpr int64_t kTimelineCheckNs = 1'000'000'000;
constexpr int64_t kTimelineToleranceNs = 10'000'000;
// A measurement this much later than the timeline means either a source that delivered nothing
// for that long (a starved microphone: the timeline must jump, or what follows is stamped into
// the gap) or a server that ran late (on a busy machine often, its backlog arriving soon after).
// The sound is held back, stamped on the unmoved timeline, until a measurement back within
// this says the backlog came, or until the confirmation time passes without one: then it was a
// gap. Measurements are never early, so after a real gap none comes back within it.
constexpr int64_t kDeliveryGapNs = 100'000'000;
constexpr int64_t kGapConfirmNs = 500'000'000;

pa_sample_format_t paFormat(media::SampleFormat format) {
    switch (format) {
        case media::SampleFormat::Float32:
            return PA_SAMPLE_FLOAT32LE;
        case media::SampleFormat::Int16:
            return PA_SAMPLE_S16LE;
        case media::SampleFormat::Int32:
            return PA_SAMPLE_S32LE;
    }
    return PA_SAMPLE_FLOAT32LE;
}

// Formats we carry as they are; anything else the server converts to float for us.
media::SampleFormat carriedFormat(pa_sample_format_t format) {
    switch (format) {
        case PA_SAMPLE_S16LE:
            return media::SampleFormat::Int16;
        case PA_SAMPLE_S32LE:
            return media::SampleFormat::Int32;
        default:
            return media::SampleFormat::Float32;
    }
}

// What the server says of one of its sources.
AudioSourceInfo sourceInfoOf(const pa_source_info& info) {
    AudioSourceInfo found;
    found.name = info.name ? info.name : "";
    found.description = info.description ? info.description : found.name;
    found.format = carriedFormat(info.sample_spec.format);
    found.sampleRate = static_cast<int>(info.sample_spec.rate);
    found.channels = info.sample_spec.channels;
    found.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
    return found;
}

// A server that stopped answering (frozen, not dead) must not hold the caller forever: each
// wait for it ends after this long.
constexpr double kServerAnswerSeconds = 3.0;

// Wakes a thread waiting on `loop` once `seconds` have passed, and says so. Created and
// destroyed with the loop's lock held.
class WaitDeadline {
  public:
    WaitDeadline(pa_threaded_mainloop* loop, double seconds)
        : loop_(loop), api_(pa_threaded_mainloop_get_api(loop)) {
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(seconds * 1e6));
        event_ = api_->time_new(
            api_, &when,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
                auto* deadline = static_cast<WaitDeadline*>(self);
                deadline->passed_ = true;
                pa_threaded_mainloop_signal(deadline->loop_, 0);
            },
            this);
    }
    ~WaitDeadline() {
        if (event_) api_->time_free(event_);
    }
    WaitDeadline(const WaitDeadline&) = delete;
    WaitDeadline& operator=(const WaitDeadline&) = delete;
    bool passed() const { return passed_; }

  private:
    pa_threaded_mainloop* loop_;
    pa_mainloop_api* api_;
    pa_time_event* event_ = nullptr;
    bool passed_ = false;
};

// A threaded main loop with a connected context once connect() succeeded; the loop thread is
// the capture thread.
struct Connection {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects as `name`; on failure the connection stays closed.
    Result<void, AudioError> connect(const std::string& name) {
        loop = pa_threaded_mainloop_new();
        if (!loop) return failed("connecting", Kind::clientUnavailable, "no main loop");
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), name.c_str());
        if (!context) {
            pa_threaded_mainloop_free(loop);
            loop = nullptr;
            return failed("connecting", Kind::clientUnavailable, "no context");
        }
        pa_context_set_state_callback(
            context,
            [](pa_context*, void* l) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0);
            },
            loop);
        if (pa_threaded_mainloop_start(loop) < 0) {
            pa_context_unref(context);
            pa_threaded_mainloop_free(loop);
            loop = nullptr;
            context = nullptr;
            return failed("connecting", Kind::clientUnavailable, "the main loop did not start");
        }
        pa_threaded_mainloop_lock(loop);
        std::string failure;
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            failure = pa_strerror(pa_context_errno(context));
        } else {
            WaitDeadline deadline(loop, kServerAnswerSeconds);
            for (;;) {
                auto state = pa_context_get_state(context);
                if (state == PA_CONTEXT_READY) break;
                if (!PA_CONTEXT_IS_GOOD(state)) {
                    failure = pa_strerror(pa_context_errno(context));
                    break;
                }
                if (deadline.passed()) {
                    failure = pa_strerror(PA_ERR_TIMEOUT);
                    break;
                }
                pa_threaded_mainloop_wait(loop);
            }
        }
        pa_threaded_mainloop_unlock(loop);
        if (!failure.empty()) {
            close();
            return failed("connecting as \"" + name + "\"", Kind::serverUnreachable, failure);
        }
        return {};
    }

    ~Connection() { close(); }

    void close() {
        if (!loop) return;
        pa_threaded_mainloop_lock(loop);
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_context_unref(context);
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
        context = nullptr;
    }

    // Waits (lock held) until `op` is done; returns false when the server dropped it or did not
    // answer in time (the operation is then cancelled, its callback never runs).
    bool await(pa_operation* op, double seconds = kServerAnswerSeconds) {
        if (!op) return false;
        WaitDeadline deadline(loop, seconds);
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && !deadline.passed())
            pa_threaded_mainloop_wait(loop);
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
        bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        return done;
    }
};

struct SourceQuery {
    pa_threaded_mainloop* loop;
    std::string defaultName;
    std::optional<AudioSourceInfo> info;
};

struct MonitoredSink {
    pa_threaded_mainloop* loop;
    uint32_t sinkIndex = PA_INVALID_INDEX;
    bool isNullSink = false;
};

void signalDone(pa_context*, int, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

// A null sink renders up to two seconds of its output ahead and sleeps until that has played;
// a monitor stream connected meanwhile gets nothing before then, however low a latency it asks
// for. Suspending and resuming the sink restarts its rendering from now at the latency asked
// for. Only a null sink: it has no device a suspend would interrupt. Lock held.
void wakeMonitoredNullSink(Connection& connection, pa_stream* stream) {
    MonitoredSink found{connection.loop};
    connection.await(pa_context_get_source_info_by_index(
        connection.context, pa_stream_get_device_index(stream),
        [](pa_context*, const pa_source_info* info, int eol, void* user) {
            auto* f = static_cast<MonitoredSink*>(user);
            if (eol == 0 && info) f->sinkIndex = info->monitor_of_sink;
            pa_threaded_mainloop_signal(f->loop, 0);
        },
        &found));
    if (found.sinkIndex == PA_INVALID_INDEX) return;
    connection.await(pa_context_get_sink_info_by_index(
        connection.context, found.sinkIndex,
        [](pa_context*, const pa_sink_info* info, int eol, void* user) {
            auto* f = static_cast<MonitoredSink*>(user);
            if (eol == 0 && info && info->driver && std::strstr(info->driver, "module-null-sink"))
                f->isNullSink = true;
            pa_threaded_mainloop_signal(f->loop, 0);
        },
        &found));
    if (!found.isNullSink) return;
    for (int suspend : {1, 0})
        connection.await(pa_context_suspend_sink_by_index(connection.context, found.sinkIndex,
                                                          suspend, signalDone, connection.loop));
}

}  // namespace

Result<AudioSourceInfo, AudioError> defaultSourceInfo() {
    Connection connection;
    if (auto connected = connection.connect("Zimlo device query"); !connected)
        return fail(std::move(connected).error());
    SourceQuery query{connection.loop, {}, {}};
    pa_threaded_mainloop_lock(connection.loop);
    connection.await(pa_context_get_server_info(
        connection.context,
        [](pa_context*, const pa_server_info* info, void* user) {
            auto* q = static_cast<SourceQuery*>(user);
            if (info && info->default_source_name) q->defaultName = info->default_source_name;
            pa_threaded_mainloop_signal(q->loop, 0);
        },
        &query));
    if (!query.defaultName.empty()) {
        connection.await(pa_context_get_source_info_by_name(
            connection.context, query.defaultName.c_str(),
            [](pa_context*, const pa_source_info* info, int eol, void* user) {
                auto* q = static_cast<SourceQuery*>(user);
                if (eol == 0 && info && !q->info) q->info = sourceInfoOf(*info);
                pa_threaded_mainloop_signal(q->loop, 0);
            },
            &query));
    }
    pa_threaded_mainloop_unlock(connection.loop);
    if (!query.info)
        return failed("looking up the default recording device", Kind::noDefaultSource,
                      query.defaultName);
    return *query.info;
}

// The monitor of the default sink, by name. pipewire-pulse (PipeWire desktops) resolves the
// special name "@DEFAULT_MONITOR@" to the default source, the microphone, so the name is looked
// up here; the special name stays the answer when the server does not say.
std::string defaultSinkMonitorName() {
    struct Query {
        pa_threaded_mainloop* loop;
        std::string sink;
        std::string monitor;
    };
    // Without a connection the capture's own attempt reports the problem.
    Connection connection;
    if (connection.connect("Zimlo device query")) {
        Query query{connection.loop, {}, {}};
        pa_threaded_mainloop_lock(connection.loop);
        connection.await(pa_context_get_server_info(
            connection.context,
            [](pa_context*, const pa_server_info* info, void* user) {
                auto* q = static_cast<Query*>(user);
                if (info && info->default_sink_name) q->sink = info->default_sink_name;
                pa_threaded_mainloop_signal(q->loop, 0);
            },
            &query));
        if (!query.sink.empty()) {
            connection.await(pa_context_get_sink_info_by_name(
                connection.context, query.sink.c_str(),
                [](pa_context*, const pa_sink_info* info, int eol, void* user) {
                    auto* q = static_cast<Query*>(user);
                    if (eol == 0 && info && info->monitor_source_name && q->monitor.empty())
                        q->monitor = info->monitor_source_name;
                    pa_threaded_mainloop_signal(q->loop, 0);
                },
                &query));
        }
        pa_threaded_mainloop_unlock(connection.loop);
        if (!query.monitor.empty()) return query.monitor;
    }
    return "@DEFAULT_MONITOR@";
}

std::optional<AudioSourceInfo> defaultMicrophone() {
    auto info = defaultSourceInfo();
    if (!info || info->isMonitor) return std::nullopt;
    return std::move(info).value();
}

namespace {

struct SourceList {
    pa_threaded_mainloop* loop;
    std::vector<AudioSourceInfo> sources;
};

}  // namespace

Result<std::vector<AudioSourceInfo>, AudioError> listMicrophones() {
    Connection connection;
    if (auto connected = connection.connect("Zimlo device query"); !connected)
        return fail(std::move(connected).error());
    SourceList list{connection.loop, {}};
    pa_threaded_mainloop_lock(connection.loop);
    const bool answered = connection.await(pa_context_get_source_info_list(
        connection.context,
        [](pa_context*, const pa_source_info* info, int eol, void* user) {
            auto* l = static_cast<SourceList*>(user);
            if (eol == 0 && info && info->monitor_of_sink == PA_INVALID_INDEX)
                l->sources.push_back(sourceInfoOf(*info));
            if (eol != 0) pa_threaded_mainloop_signal(l->loop, 0);
        },
        &list));
    pa_threaded_mainloop_unlock(connection.loop);
    if (!answered) return failed("listing the recording devices", Kind::serverNotAnswering, "");
    return list.sources;
}

std::optional<AudioSourceInfo> microphoneNamed(const std::string& name) {
    if (!name.empty()) {
        if (auto all = listMicrophones()) {
            for (AudioSourceInfo& source : *all)
                if (source.name == name) return std::move(source);
            ZIMLO_LOG_INFO("audio")
                << "the chosen microphone " << name << " is not there; using the default one";
        }
    }
    return defaultMicrophone();
}

struct PulseCapture::Impl {
    Connection connection;
    pa_stream* stream = nullptr;
    SampleHandler onSample;
    ErrorHandler onError;
    CaptureRequest request;
    int frameBytes = 0;
    int64_t framesRead = 0;  // stream frames taken from the buffer so far, holes included
    std::atomic<bool> stopping{false};
    bool errorReported = false;

    // Timeline of delivered audio: the anchor time and the frames delivered since it, and the
    // smallest difference between measured and timeline starts in the current stretch.
    bool anchored = false;
    int64_t anchorNs = 0;
    int64_t framesSinceAnchor = 0;
    int64_t stretchStartNs = 0;
    int64_t stretchEarliestNs = 0;
    int64_t stretchMovedNs = 0;  // how far the timeline moved in the current stretch
    // Sound held back after a late measurement, and the earliest difference seen meanwhile.
    // What is still held when the capture stops (at most kGapConfirmNs) is not delivered.
    bool holding = false;
    int64_t holdingSinceNs = 0;
    int64_t heldEarliestNs = 0;
    std::vector<media::AudioSample> held;

    void fail(const AudioError& error) {
        if (stopping.load() || errorReported) return;
        errorReported = true;
        ZIMLO_LOG_WARN("audio") << "recording \"" << request.streamName << "\" from "
                                << (request.device.empty() ? "(default)" : request.device) << ": "
                                << error.what();
        if (onError) onError(error);
    }

    int64_t timelineNs() const {
        return anchorNs + framesSinceAnchor * kNanosPerSecond / request.sampleRate;
    }

    // How long the source itself had held the newest sound we have, `buffered` frames of which
    // wait in our buffer. The server's timing report (renewed about once a second) says what
    // the source held when it was made; since then the source took in as much as time passed
    // and let go what reached us. A source that let more go than time passed (a backlog in a
    // burst: a pipe whose reader was suspended, a device after an xrun) holds that much less:
    // taking the old report as it is would stamp the burst that much early, overlapping the
    // sound before it and leaving a hole once the next report comes.
    int64_t sourceLatencyNs(int64_t buffered) const {
        const pa_timing_info* timing = pa_stream_get_timing_info(stream);
        if (!timing || timing->source_usec >= 1'000'000) return 0;
        const auto reported = static_cast<int64_t>(timing->source_usec) * 1000;
        if (timing->write_index_corrupt) return reported;
        // Frames that reached the server's queue for this stream since the report.
        const int64_t since = framesRead + buffered - timing->write_index / frameBytes;
        const auto age = static_cast<int64_t>(pa_timeval_age(&timing->timestamp)) * 1000;
        const int64_t left = reported + age - since * kNanosPerSecond / request.sampleRate;
        // Never more than reported: a steady source is stamped as before.
        return std::clamp<int64_t>(left, 0, reported);
    }

    // A monitor (the computer's sound) hands on what its sink plays as the sink takes it in,
    // before the sink's own buffer has let it out: what arrives now is heard this much later.
    // The server reports that buffer for record streams on a monitor only (0 otherwise).
    int64_t monitoredSinkLatencyNs() const {
        const pa_timing_info* timing = pa_stream_get_timing_info(stream);
        if (!timing || timing->sink_usec >= 1'000'000) return 0;
        return static_cast<int64_t>(timing->sink_usec) * 1000;
    }

    // Start time of a packet of `frames` frames at the stream's read index: the newest byte in
    // our buffer arrived about now, so the packet began the buffered duration ago, plus the
    // time the source itself held the sound before sending it, less (for a monitor) the time
    // its sink still holds it before it is heard.
    //
    // Packets are stamped on a timeline that counts the frames delivered, not with each
    // measurement: a measurement is late by however long this thread waited to run, never
    // early, so following late ones would push the sound later at every hiccup. The timeline
    // follows the earliest measurement of each stretch instead and jumps over a gap in
    // delivery. It never runs ahead of a measurement, though: a source that delivers faster
    // than real time (a backlog let go in a burst) would otherwise stamp its sound seconds into
    // the future, past the end of the recording. `sample` (none for a hole) is stamped and
    // handed on, or held.
    void take(int64_t frames, std::optional<media::AudioSample> sample) {
        int64_t now = media::MonotonicClock::now().value;
        int64_t buffered = static_cast<int64_t>(pa_stream_readable_size(stream)) / frameBytes;
        const int64_t latencyNs = buffered * kNanosPerSecond / request.sampleRate +
                                  sourceLatencyNs(buffered) - monitoredSinkLatencyNs();
        int64_t measured = now - latencyNs;
        if (!anchored) {
            anchored = true;
            anchorNs = measured;
            framesSinceAnchor = 0;
            stretchStartNs = now;
            stretchEarliestNs = 0;
        }
        int64_t difference = measured - timelineNs();
        if (holding) {
            heldEarliestNs = std::min(heldEarliestNs, difference);
            if (difference <= kDeliveryGapNs) {
                release(0);  // the backlog came: the server was late
            } else if (now - holdingSinceNs >= kGapConfirmNs) {
                // A gap: the timeline and what was held move to the earliest measurement.
                anchorNs += heldEarliestNs;
                stretchMovedNs += heldEarliestNs;
                stretchStartNs = now;
                stretchEarliestNs = 0;
                release(heldEarliestNs);
            }
            difference = measured - timelineNs();
        } else if (difference > kDeliveryGapNs) {
            holding = true;
            holdingSinceNs = now;
            heldEarliestNs = difference;
        }
        if (!holding && difference < -kTimelineToleranceNs) {
            // More sound than time has passed: back to the clock at once. What overlaps the
            // sound already stamped is trimmed by whoever writes it.
            anchorNs += difference;
            stretchMovedNs += difference;
            difference = 0;
        }
        if (!holding) {
            stretchEarliestNs = std::min(stretchEarliestNs, difference);
            if (now - stretchStartNs >= kTimelineCheckNs) {
                if (std::llabs(stretchEarliestNs) > kTimelineToleranceNs) {
                    anchorNs += stretchEarliestNs;
                    stretchMovedNs += stretchEarliestNs;
                }
                if (stretchMovedNs != 0) {
                    ZIMLO_LOG_DEBUG("audio")
                        << "\"" << request.streamName << "\" moved its timeline by "
                        << stretchMovedNs / 1'000'000.0 << " ms";
                }
                stretchMovedNs = 0;
                stretchStartNs = now;
                stretchEarliestNs = std::numeric_limits<int64_t>::max();
            }
        }
        const int64_t start = timelineNs();
        framesSinceAnchor += frames;
        if (!sample) return;
        sample->presentationTime = media::MediaTime::make(start, media::MonotonicClock::kTimescale);
        if (holding)
            held.push_back(std::move(*sample));
        else if (onSample)
            onSample(std::move(*sample));
    }

    void release(int64_t shiftNs) {
        holding = false;
        auto waiting = std::move(held);
        held.clear();
        for (auto& sample : waiting) {
            sample.presentationTime.value += shiftNs;
            if (onSample) onSample(std::move(sample));
        }
    }

    static void onRead(pa_stream* s, size_t, void* user) {
        auto* self = static_cast<Impl*>(user);
        while (!self->stopping.load() && pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0) {
                self->fail(AudioError(Kind::streamFailed,
                                      pa_strerror(pa_context_errno(self->connection.context))));
                return;
            }
            if (bytes == 0) return;
            int64_t frames = static_cast<int64_t>(bytes) / self->frameBytes;
            if (!data) {
                // A hole in the server's buffer: time passes without sound.
                self->take(frames, std::nullopt);
                pa_stream_drop(s);
                self->framesRead += frames;
                continue;
            }
            media::AudioSample sample;
            sample.format = self->request.format;
            sample.sampleRate = self->request.sampleRate;
            sample.channels = self->request.channels;
            sample.data.assign(static_cast<const uint8_t*>(data),
                               static_cast<const uint8_t*>(data) + frames * self->frameBytes);
            self->take(frames, std::move(sample));  // measured with this packet still buffered
            pa_stream_drop(s);
            self->framesRead += frames;
        }
    }

    static void onState(pa_stream* s, void* user) {
        auto* self = static_cast<Impl*>(user);
        auto state = pa_stream_get_state(s);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
            self->fail(state == PA_STREAM_FAILED
                           ? AudioError(Kind::streamFailed,
                                        pa_strerror(pa_context_errno(self->connection.context)))
                           : AudioError(Kind::streamEnded));
        pa_threaded_mainloop_signal(self->connection.loop, 0);
    }
};

AudioError::AudioError(Kind kind, std::string detail, std::string device)
    : std::runtime_error(logText(kind, detail, device)),
      kind_(kind),
      detail_(std::move(detail)),
      device_(std::move(device)) {}

PulseCapture::PulseCapture(CaptureRequest request) : request_(std::move(request)) {}

PulseCapture::Started PulseCapture::start(const CaptureRequest& request, SampleHandler onSample,
                                          ErrorHandler onError) {
    if (request.sampleRate <= 0 || request.channels <= 0 ||
        request.channels > static_cast<int>(PA_CHANNELS_MAX))
        return failed("starting a recording", Kind::unsupportedFormat,
                      std::to_string(request.channels) + " channels at " +
                          std::to_string(request.sampleRate) + " Hz");
    std::unique_ptr<PulseCapture> capture(new PulseCapture(request));
    capture->impl_ = std::make_unique<Impl>();
    Impl& impl = *capture->impl_;
    if (auto connected = impl.connection.connect(request.streamName); !connected)
        return fail(std::move(connected).error());
    impl.request = request;
    impl.onSample = std::move(onSample);
    impl.onError = std::move(onError);
    impl.frameBytes = media::bytesPerSample(request.format) * request.channels;

    pa_sample_spec spec{paFormat(request.format), static_cast<uint32_t>(request.sampleRate),
                        static_cast<uint8_t>(request.channels)};
    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);

    pa_threaded_mainloop* loop = impl.connection.loop;
    pa_threaded_mainloop_lock(loop);
    std::string failure;
    impl.stream = pa_stream_new(impl.connection.context, request.streamName.c_str(), &spec, &map);
    if (!impl.stream) {
        failure = pa_strerror(pa_context_errno(impl.connection.context));
    } else {
        pa_stream_set_state_callback(impl.stream, &Impl::onState, &impl);
        pa_stream_set_read_callback(impl.stream, &Impl::onRead, &impl);
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof(attr));
        attr.fragsize = static_cast<uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(request.fragmentSeconds * 1e6), &spec));
        auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
        const char* device = request.device.empty() ? nullptr : request.device.c_str();
        if (pa_stream_connect_record(impl.stream, device, &attr, flags) < 0) {
            failure = pa_strerror(pa_context_errno(impl.connection.context));
        } else {
            WaitDeadline deadline(loop, kServerAnswerSeconds);
            for (;;) {
                auto state = pa_stream_get_state(impl.stream);
                if (state == PA_STREAM_READY) break;
                if (!PA_STREAM_IS_GOOD(state)) {
                    failure = pa_strerror(pa_context_errno(impl.connection.context));
                    break;
                }
                if (deadline.passed()) {
                    failure = pa_strerror(PA_ERR_TIMEOUT);
                    break;
                }
                pa_threaded_mainloop_wait(loop);
            }
            if (failure.empty()) wakeMonitoredNullSink(impl.connection, impl.stream);
        }
    }
    pa_threaded_mainloop_unlock(loop);
    if (!failure.empty()) {
        capture->stop();
        return failed("starting \"" + request.streamName + "\"", Kind::cannotOpenDevice, failure,
                      request.device);
    }
    return capture;
}

PulseCapture::Started PulseCapture::startSystemAudio(SampleHandler onSample, ErrorHandler onError) {
    CaptureRequest request;
    request.device = defaultSinkMonitorName();
    request.format = media::SampleFormat::Float32;
    request.sampleRate = 48000;
    request.channels = 2;
    request.streamName = "Zimlo system audio";
    return start(request, std::move(onSample), std::move(onError));
}

PulseCapture::Started PulseCapture::startMicrophone(const AudioSourceInfo& source,
                                                    SampleHandler onSample, ErrorHandler onError) {
    CaptureRequest request;
    request.device = source.name;
    request.format = source.format;
    request.sampleRate = source.sampleRate;
    request.channels = source.channels;
    request.streamName = "Zimlo microphone";
    return start(request, std::move(onSample), std::move(onError));
}

PulseCapture::~PulseCapture() { stop(); }

bool PulseCapture::serverAnswers(double seconds) {
    if (!impl_ || impl_->stopping.load()) return false;
    Connection& connection = impl_->connection;
    pa_threaded_mainloop_lock(connection.loop);
    bool answered = pa_context_get_state(connection.context) == PA_CONTEXT_READY &&
                    connection.await(pa_context_get_server_info(
                                         connection.context,
                                         [](pa_context*, const pa_server_info*, void* loop) {
                                             pa_threaded_mainloop_signal(
                                                 static_cast<pa_threaded_mainloop*>(loop), 0);
                                         },
                                         connection.loop),
                                     seconds);
    pa_threaded_mainloop_unlock(connection.loop);
    return answered;
}

void PulseCapture::stop() {
    if (!impl_) return;
    Impl& impl = *impl_;
    impl.stopping.store(true);
    pa_threaded_mainloop* loop = impl.connection.loop;
    if (loop && impl.stream) {
        pa_threaded_mainloop_lock(loop);
        pa_stream_set_read_callback(impl.stream, nullptr, nullptr);
        pa_stream_set_state_callback(impl.stream, nullptr, nullptr);
        pa_stream_disconnect(impl.stream);
        pa_stream_unref(impl.stream);
        impl.stream = nullptr;
        pa_threaded_mainloop_unlock(loop);
    }
    impl.connection.close();  // joins the capture thread
    impl_.reset();
}

}  // namespace zimlo::audio
