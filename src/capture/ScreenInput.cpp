#include "capture/ScreenInput.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <utility>
#include <vector>

#include "capture/PlatformErrorText.h"
#include "capture/PortalSessions.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"
#include "platform/portal/PipeWireScreenStream.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/Threads.h"
#include "platform/runtime/WeakOwner.h"
#include "platform/x11/CaptureTargetList.h"
#include "platform/x11/ScreenStream.h"

namespace zimlo::capture {
namespace {

// Own windows are looked up with a time limit: a stuck X server must not hang the window.
std::vector<x11::WindowInfo> ownWindowsWithinLimit(
    std::function<std::vector<x11::WindowInfo>()> query) {
    auto promise = std::make_shared<std::promise<std::vector<x11::WindowInfo>>>();
    auto future = promise->get_future();
    letGo(startThread("own-windows", [promise, query = std::move(query)] {
        try {
            promise->set_value(query());
        } catch (const std::exception& error) {
            ZIMLO_LOG_WARN("capture")
                << "listing our own windows to leave them out: " << error.what();
            promise->set_value({});
        } catch (...) {
            promise->set_value({});
        }
    }));
    if (future.wait_for(std::chrono::duration<double>(ScreenInput::kOwnWindowQueryLimitSeconds)) !=
        std::future_status::ready) {
        ZIMLO_LOG_WARN("capture") << "listing our own windows took longer than "
                                  << ScreenInput::kOwnWindowQueryLimitSeconds
                                  << " s; none is left out of the capture";
        return {};
    }
    return future.get();
}

ScreenInput::FrameCounts countsOf(const screen::CaptureStream& stream) {
    return {stream.deliveredFrameCount(), stream.droppedFrameCount(), stream.lateFrameCount(),
            stream.sourceCounts()};
}

// The computer's sound comes from the server in pieces of some 20 ms: each handed on alone
// would wake the system-audio queue fifty times a second, a good part of what recording a still
// screen costs. Pieces are gathered on the server's thread and handed on about every
// kSystemSoundBatchSeconds; after a stop, the recording waits for the batch holding its end.
class SoundGathering {
  public:
    // What to hand on now: nothing until enough has gathered.
    std::vector<media::AudioSample> add(media::AudioSample sample) {
        std::lock_guard lock(mutex_);
        if (sample.sampleRate > 0) seconds_ += sample.duration().seconds();
        gathered_.push_back(std::move(sample));
        if (seconds_ < ScreenInput::kSystemSoundBatchSeconds) return {};
        seconds_ = 0;
        return std::exchange(gathered_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<media::AudioSample> gathered_;
    double seconds_ = 0;
};

std::string noStreamText() { return translate("ScreenCameraSource", "无法创建新的录屏预览流"); }

}  // namespace

// The screen stream with its system audio.
struct ScreenInput::Stream {
    std::unique_ptr<screen::CaptureStream> video;
    std::unique_ptr<audio::ReconnectingCapture> systemAudio;

    void stop() {
        if (video) video->stopCapture();
        if (systemAudio) systemAudio->stop();
    }
};

ScreenInput::ScreenInput(ScreenCaptureTarget target, Options options, SerialQueue& screenQueue,
                         std::weak_ptr<SerialQueue> systemAudioQueue, Handlers handlers)
    : target_(std::move(target)),
      options_(std::move(options)),
      handlers_(std::move(handlers)),
      screenQueue_(screenQueue),
      systemAudioQueue_(std::move(systemAudioQueue)) {}

ScreenInput::~ScreenInput() = default;

std::shared_ptr<ScreenInput::Stream> ScreenInput::current() const {
    return streams_.lock()->current;
}

Result<void, SourceError> ScreenInput::configure(const RecordingSettings& settings) {
    auto size =
        settings.resolution.captureSize(ScreenCaptureTargetProvider::nativePixelSize(target_));

    screen::CaptureStreamConfiguration configuration;
    configuration.width = size.width;
    configuration.height = size.height;
    configuration.minimumFrameInterval = frameDuration(settings.frameRate);
    configuration.queueDepth = 5;
    configuration.showsCursor = settings.showsCursor;
    configuration.excludesCurrentProcessWindows = true;
    // Converted once, straight from the screen's pixels to what the encoder takes.
    configuration.pixelFormat = media::PixelFormat::NV12VideoRange;

    auto stream = std::make_shared<Stream>();
    std::weak_ptr<ScreenInput> weak = weak_from_this();
    try {
        stream->video = target_.kind.isPortal() ? makePortalStream(configuration, settings)
                                                : makeX11Stream(configuration);
        if (!stream->video) return fail(SourceError::cannotAddScreenOutput(noStreamText()));
        stream->video->setFrameHandler(
            weakly(weak, [](ScreenInput& self,
                            const media::VideoSample& sample) { self.takePicture(sample); }),
            &screenQueue_);
        stream->video->setStopHandler([weak](const screen::CaptureError& error) {
            MainQueue::post(weakly(weak, [error = userText(error)](ScreenInput& self) {
                if (self.handlers_.failed) self.handlers_.failed(error);
            }));
        });
    } catch (const screen::CaptureError& error) {
        // The streams' constructors throw when they cannot be built.
        return fail(SourceError::cannotAddScreenOutput(userText(error)));
    } catch (const std::exception& error) {
        ZIMLO_LOG_ERROR("capture") << "setting up the screen stream: " << error.what();
        return fail(SourceError::cannotAddScreenOutput(error.what()));
    }
    stream->systemAudio = makeSystemAudioCapture();

    std::shared_ptr<Stream> previous;
    {
        auto streams = streams_.lock();
        previous = std::move(streams->current);
        streams->current = stream;
    }
    {
        auto pictures = pictures_.lock();
        pictures->meter.reset();
        pictures->latest.reset();  // the old stream's picture may have another size or target
    }
    previous.reset();  // a replaced stream stops here
    return {};
}

// A stream of the portal's screen cast, which the desktop has the user choose.
std::unique_ptr<screen::CaptureStream> ScreenInput::makePortalStream(
    screen::CaptureStreamConfiguration configuration, const RecordingSettings& settings) {
    // The portal's size is known from the first frame; the capture-size rule applies to
    // it then.
    configuration.sizeForSource = [resolution = settings.resolution](PixelSize source) {
        return resolution.captureSize(source);
    };
    std::shared_ptr<PortalSessionKeeper> keeper;
    {
        auto streams = streams_.lock();
        if (!streams->portalSessions)
            streams->portalSessions =
                std::make_shared<PortalSessionKeeper>(target_.kind.portal().type);
        keeper = streams->portalSessions;
    }
    return std::make_unique<portal::PipeWireScreenStream>(
        [keeper, cursor = settings.showsCursor](
            const std::shared_ptr<portal::OpenCancellation>& cancellation) {
            return keeper->obtain(cancellation, cursor);
        },
        configuration);
}

// A stream of an X11 display or window, without this program's own windows.
std::unique_ptr<screen::CaptureStream> ScreenInput::makeX11Stream(
    const screen::CaptureStreamConfiguration& configuration) {
    auto query = options_.ownWindowQuery;
    if (!query)
        query = [displayName = options_.displayName] {
            auto content =
                x11::listCaptureTargets(displayName.empty() ? nullptr : displayName.c_str());
            // Without the server's list (its connection logged why) none is left out.
            return content ? ScreenCaptureTargetProvider::ownWindows(*content, ::getpid())
                           : std::vector<x11::WindowInfo>{};
        };
    auto own = ownWindowsWithinLimit(std::move(query));
    auto filter = ScreenCaptureTargetProvider::contentFilter(target_, own);
    if (options_.makeScreenStream) return options_.makeScreenStream(filter, configuration);
    return std::make_unique<x11::ScreenStream>(
        filter, configuration,
        options_.displayName.empty() ? nullptr : options_.displayName.c_str());
}

// Without a sound server the picture is still recorded; the computer's sound joins as soon as a
// server answers (systemAudioProblem says why it is missing meanwhile).
std::unique_ptr<audio::ReconnectingCapture> ScreenInput::makeSystemAudioCapture() {
    std::weak_ptr<ScreenInput> weak = weak_from_this();
    return std::make_unique<audio::ReconnectingCapture>(
        [](audio::PulseCapture::SampleHandler onSample, audio::PulseCapture::ErrorHandler onError) {
            return audio::PulseCapture::startSystemAudio(std::move(onSample), std::move(onError));
        },
        [queue = systemAudioQueue_, weak,
         gathering = std::make_shared<SoundGathering>()](media::AudioSample sample) {
            auto batch = gathering->add(std::move(sample));
            if (batch.empty()) return;
            auto target = queue.lock();
            if (!target) return;
            target->async([weak, batch = std::move(batch)]() mutable {
                auto self = weak.lock();
                if (!self || !self->handlers_.systemAudio) return;
                for (auto& piece : batch) self->handlers_.systemAudio(std::move(piece));
            });
        },
        [weak](const std::optional<audio::AudioError>& problem) {
            MainQueue::post(weakly(weak, [problem = userText(problem)](ScreenInput& self) {
                if (self.handlers_.systemAudioInterruption)
                    self.handlers_.systemAudioInterruption(problem);
            }));
        });
}

std::shared_ptr<ScreenInput::Stream> ScreenInput::takeStream() {
    auto streams = streams_.lock();
    if (streams->current && streams->current->video)
        streams->lastCounts = countsOf(*streams->current->video);
    return std::move(streams->current);
}

// From the stream's thread, which must not hold the input: its last owner could go there.
void ScreenInput::postFailure(const std::weak_ptr<ScreenInput>& weak, std::string description) {
    MainQueue::post(weakly(weak, [description = std::move(description)](ScreenInput& self) {
        if (self.handlers_.failed) self.handlers_.failed(description);
    }));
}

// `started` runs on the stream's thread with why it did not start, if it did not.
void ScreenInput::startStream(const std::shared_ptr<Stream>& stream,
                              std::function<void(std::optional<std::string>)> started) {
    stream->video->startCapture(
        [started = std::move(started)](std::optional<screen::CaptureError> error) {
            started(error ? std::optional(userText(*error)) : std::nullopt);
        });
}

bool ScreenInput::start() {
    auto stream = current();
    if (!stream) return false;
    startStream(stream, [weak = weak_from_this()](std::optional<std::string> error) {
        if (error) postFailure(weak, *error);
    });
    return true;
}

void ScreenInput::replace(const RecordingSettings& settings,
                          std::function<void(std::optional<SourceError>)> done) {
    auto failed = [&](const SourceError& error) {
        if (handlers_.failed) handlers_.failed(error.description());  // at once, before `done`
        done(error);
    };
    if (auto previous = takeStream()) previous->stop();  // waits for the stop
    if (auto configured = configure(settings); !configured) {
        failed(configured.error());
        return;
    }
    auto stream = current();
    if (!stream) {
        failed(SourceError::cannotUpdateSettings(noStreamText()));
        return;
    }
    // On the stream's own thread: the state change goes through the main queue.
    startStream(stream, [weak = weak_from_this(),
                         done = std::move(done)](std::optional<std::string> error) {
        if (!error) {
            done(std::nullopt);
            return;
        }
        postFailure(weak, *error);
        done(SourceError::cannotUpdateSettings(*error));
    });
}

void ScreenInput::shutdown() {
    if (auto stream = current()) screenQueue_.async([stream] { stream->stop(); });
}

void ScreenInput::close() {
    std::shared_ptr<Stream> running = std::move(streams_.lock()->current);
    std::shared_ptr<Stream> suspended = std::move(pictures_.lock()->suspended);
    // Both stop here, outside the locks (a stopping stream waits for a picture being handled).
}

bool ScreenInput::suspend() {
    auto stream = current();
    // A stream that already ended (its window closed) stays as it is.
    if (!stream || !stream->video || !stream->video->isRunning()) return false;
    stream->video->stopCapture();
    auto pictures = pictures_.lock();
    pictures->latest.reset();  // the screen may change before the previews resume
    pictures->suspended = stream;
    return true;
}

void ScreenInput::resume() {
    const auto running = current();
    std::shared_ptr<Stream> stream;
    {
        auto pictures = pictures_.lock();
        stream = std::exchange(pictures->suspended, nullptr);
        // Replaced meanwhile (new settings): the new stream runs already.
        if (!stream || stream != running) return;
        pictures->meter.restartWindow();
    }
    startStream(stream, [weak = weak_from_this()](std::optional<std::string> error) {
        if (error) postFailure(weak, *error);
    });
}

void ScreenInput::takePicture(const media::VideoSample& sample) {
    if (sample.status && *sample.status != media::FrameStatus::complete &&
        *sample.status != media::FrameStatus::started)
        return;
    if (sample.hasFormatDescription() && sample.presentationTime.valid) {
        std::optional<FrameRateMeter::Reading> reading;
        {
            auto pictures = pictures_.lock();
            reading = pictures->meter.count(sample.presentationTime, std::max(1, sample.width()),
                                            std::max(1, sample.height()));
            pictures->latest = sample;
        }
        if (reading) reportStatus(reading->width, reading->height, reading->framesPerSecond);
    }
    if (handlers_.picture) handlers_.picture(sample);
}

std::optional<media::VideoSample> ScreenInput::latestPicture() const {
    return pictures_.lock()->latest;
}

void ScreenInput::reportStatus(int width, int height, std::optional<double> rate) {
    auto settings =
        handlers_.settings ? handlers_.settings() : RecordingSettings::defaultSettings();
    ScreenCaptureStatus status;
    status.actualWidth = width;
    status.actualHeight = height;
    status.requestedWidth = settings.resolution.width;
    status.requestedHeight = settings.resolution.height;
    status.settings = settings;
    status.isDisplayCapture = target_.kind.capturesWholeScreen();
    status.measuredFrameRate = rate;
    MainQueue::post(weakly(weak_from_this(), [status](ScreenInput& self) {
        if (self.handlers_.status) self.handlers_.status(status);
    }));
}

std::optional<std::string> ScreenInput::systemAudioProblem() const {
    auto streams = streams_.lock();
    if (!streams->current || !streams->current->systemAudio) return std::nullopt;
    return userText(streams->current->systemAudio->problem());
}

ScreenInput::FrameCounts ScreenInput::frameCounts() const {
    auto streams = streams_.lock();
    if (streams->current && streams->current->video) return countsOf(*streams->current->video);
    return streams->lastCounts.value_or(FrameCounts{});
}

}  // namespace zimlo::capture
