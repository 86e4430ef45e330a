#include "capture/ScreenCameraSource.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <future>
#include <thread>
#include <utility>

#include "capture/PlatformErrorText.h"
#include "capture/PortalSessions.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"
#include "platform/portal/PipeWireScreenStream.h"
#include "platform/runtime/FirstErrorSlot.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/Threads.h"
#include "platform/runtime/WaitGroup.h"
#include "platform/runtime/WeakOwner.h"
#include "platform/storage/ClaimedFiles.h"
#include "platform/x11/CaptureTargetList.h"
#include "platform/x11/ScreenStream.h"

namespace zimlo::capture {
namespace {

// Own windows are looked up with a time limit: a stuck X server must not hang the window.
std::vector<x11::WindowInfo> ownWindowsWithinLimit(
    std::function<std::vector<x11::WindowInfo>()> query) {
    auto promise = std::make_shared<std::promise<std::vector<x11::WindowInfo>>>();
    auto future = promise->get_future();
    startThread("own-windows", [promise, query = std::move(query)] {
        try {
            promise->set_value(query());
        } catch (const std::exception& error) {
            ZIMLO_LOG_WARN("capture")
                << "listing our own windows to leave them out: " << error.what();
            promise->set_value({});
        } catch (...) {
            promise->set_value({});
        }
    }).detach();
    if (future.wait_for(std::chrono::duration<double>(
            ScreenCameraSource::kOwnWindowQueryLimitSeconds)) != std::future_status::ready) {
        ZIMLO_LOG_WARN("capture") << "listing our own windows took longer than "
                                  << ScreenCameraSource::kOwnWindowQueryLimitSeconds
                                  << " s; none is left out of the capture";
        return {};
    }
    return future.get();
}

// A queue must not be destroyed by its own thread (it would join itself); when the last owner
// goes away on that thread, a helper thread finishes it.
void releaseQueue(std::shared_ptr<SerialQueue>& queue) {
    if (queue && queue->isCurrent())
        startThread("queue-release", [q = std::move(queue)] {}).detach();
    queue.reset();
}

}  // namespace

// ---- The screen stream with its system audio

struct ScreenCameraSource::ScreenStreamHandle {
    std::unique_ptr<screen::CaptureStream> video;
    std::unique_ptr<audio::ReconnectingCapture> systemAudio;

    void stop() {
        if (video) video->stopCapture();
        if (systemAudio) systemAudio->stop();
    }
};

// ---- Creation and state

std::shared_ptr<ScreenCameraSource> ScreenCameraSource::create(ScreenCaptureTarget target,
                                                               Options options) {
    std::shared_ptr<ScreenCameraSource> source(
        new ScreenCameraSource(std::move(target), std::move(options)));
    std::weak_ptr<ScreenCameraSource> weak = source;
    CameraMicrophoneSession::Handlers handlers;
    handlers.cameraFrame =
        weakly(weak, [](ScreenCameraSource& self, const media::VideoSample& frame) {
            self.onCameraFrame(frame);
        });
    handlers.microphoneSample =
        weakly(weak, [](ScreenCameraSource& self, const media::AudioSample& sample) {
            self.onMicrophoneSample(sample);
        });
    handlers.microphoneInterruption = [weak](const std::optional<audio::AudioError>& problem) {
        MainQueue::post(weakly(weak, [problem = userText(problem)](ScreenCameraSource& self) {
            self.reportAudioInterruption(AudioSource::microphone, problem);
        }));
    };
    source->session_ = std::make_unique<CameraMicrophoneSession>(
        source->options_.cameraDiscovery, source->options_.microphoneDiscovery,
        source->cameraDataQueue_, source->microphoneQueue_, std::move(handlers));
    return source;
}

ScreenCameraSource::ScreenCameraSource(ScreenCaptureTarget target, Options options)
    : target_(std::move(target)),
      options_(std::move(options)),
      screenQueue_(std::make_shared<SerialQueue>(".mac.screen-stream")),
      systemAudioQueue_(std::make_shared<SerialQueue>(".mac.system-audio")),
      cameraQueue_(std::make_shared<SerialQueue>(".mac.camera-session")),
      cameraDataQueue_(std::make_shared<SerialQueue>(".mac.camera-data")),
      microphoneQueue_(std::make_shared<SerialQueue>(".mac.microphone-data")) {}

ScreenCameraSource::~ScreenCameraSource() {
    // Nothing below runs a handler that could reach this object: device threads only post to
    // the queues, whose tasks hold the source weakly.
    session_.reset();
    {
        std::lock_guard lock(streamMutex_);
        screenStream_.reset();
    }
    releaseQueue(screenQueue_);
    releaseQueue(systemAudioQueue_);
    releaseQueue(cameraQueue_);
    releaseQueue(cameraDataQueue_);
    releaseQueue(microphoneQueue_);
}

CaptureState ScreenCameraSource::state() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void ScreenCameraSource::setState(CaptureState state) {
    std::lock_guard lock(stateMutex_);
    state_ = std::move(state);
}

RecordingSettings ScreenCameraSource::recordingSettings() const {
    std::lock_guard lock(stateMutex_);
    return recordingSettings_;
}

void ScreenCameraSource::setRecordingSettings(const RecordingSettings& settings) {
    std::lock_guard lock(stateMutex_);
    recordingSettings_ = settings;
}

bool ScreenCameraSource::isRecording() const {
    std::lock_guard lock(writersMutex_);
    return writers_.isRecording;
}

ScreenCameraSource::Writers ScreenCameraSource::writers() const {
    std::lock_guard lock(writersMutex_);
    return writers_;
}

void ScreenCameraSource::notifyStateChange() {
    // The callback sees the state as it is when it runs, not as it was when posted.
    MainQueue::post(weakly(weak_from_this(), [](ScreenCameraSource& self) {
        if (self.onStateChange) self.onStateChange(self.state());
    }));
}

// ---- Screen stream

zimlo::PixelSize ScreenCameraSource::captureSize(const ScreenCaptureTarget& target,
                                                 const RecordingSettings& settings) {
    return settings.resolution.captureSize(ScreenCaptureTargetProvider::nativePixelSize(target));
}

Result<void, SourceError> ScreenCameraSource::configureScreenStream() {
    auto settings = recordingSettings();
    auto size = captureSize(target_, settings);

    screen::CaptureStreamConfiguration configuration;
    configuration.width = size.width;
    configuration.height = size.height;
    configuration.minimumFrameInterval = frameDuration(settings.frameRate);
    configuration.queueDepth = 5;
    configuration.showsCursor = settings.showsCursor;
    configuration.excludesCurrentProcessWindows = true;

    auto handle = std::make_shared<ScreenStreamHandle>();
    std::weak_ptr<ScreenCameraSource> weak = weak_from_this();
    try {
        handle->video = target_.kind.isPortal() ? makePortalStream(configuration, settings)
                                                : makeX11Stream(configuration);
        if (!handle->video)
            return fail(SourceError::cannotAddScreenOutput(
                translate("ScreenCameraSource", "无法创建新的录屏预览流")));
        handle->video->setFrameHandler(
            weakly(weak, [](ScreenCameraSource& self,
                            const media::VideoSample& sample) { self.onScreenSample(sample); }),
            screenQueue_.get());
        handle->video->setStopHandler([weak](const screen::CaptureError& error) {
            MainQueue::post(weakly(weak, [error = userText(error)](ScreenCameraSource& self) {
                self.onScreenStreamStopped(error);
            }));
        });
    } catch (const screen::CaptureError& error) {
        // The streams' constructors throw when they cannot be built.
        return fail(SourceError::cannotAddScreenOutput(userText(error)));
    } catch (const std::exception& error) {
        ZIMLO_LOG_ERROR("capture") << "setting up the screen stream: " << error.what();
        return fail(SourceError::cannotAddScreenOutput(error.what()));
    }
    handle->systemAudio = makeSystemAudioCapture();

    std::shared_ptr<ScreenStreamHandle> previous;
    {
        std::lock_guard lock(streamMutex_);
        previous = std::move(screenStream_);
        screenStream_ = handle;
    }
    frameRateMeter_.reset();
    latestScreenPicture_.reset();  // the old stream's picture may have another size or target
    previous.reset();              // a replaced stream stops here
    return {};
}

// A stream of the portal's screen cast, which the desktop has the user choose.
std::unique_ptr<screen::CaptureStream> ScreenCameraSource::makePortalStream(
    screen::CaptureStreamConfiguration configuration, const RecordingSettings& settings) {
    // Converted once, straight from the compositor's buffer to what the encoder takes.
    configuration.pixelFormat = media::PixelFormat::NV12VideoRange;
    // The portal's size is known from the first frame; the capture-size rule applies to
    // it then.
    configuration.sizeForSource = [resolution = settings.resolution](PixelSize source) {
        return resolution.captureSize(source);
    };
    std::shared_ptr<PortalSessionKeeper> keeper;
    {
        std::lock_guard lock(streamMutex_);
        if (!portalSessions_)
            portalSessions_ = std::make_shared<PortalSessionKeeper>(target_.kind.portal().type);
        keeper = portalSessions_;
    }
    return std::make_unique<portal::PipeWireScreenStream>(
        [keeper, cursor = settings.showsCursor](
            const std::shared_ptr<portal::OpenCancellation>& cancellation) {
            return keeper->obtain(cancellation, cursor);
        },
        configuration);
}

// A stream of an X11 display or window, without this program's own windows.
std::unique_ptr<screen::CaptureStream> ScreenCameraSource::makeX11Stream(
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
std::unique_ptr<audio::ReconnectingCapture> ScreenCameraSource::makeSystemAudioCapture() {
    std::weak_ptr<ScreenCameraSource> weak = weak_from_this();
    return std::make_unique<audio::ReconnectingCapture>(
        [](audio::PulseCapture::SampleHandler onSample, audio::PulseCapture::ErrorHandler onError) {
            return audio::PulseCapture::startSystemAudio(std::move(onSample), std::move(onError));
        },
        [queue = systemAudioQueue_, weak](media::AudioSample sample) {
            queue->async([weak, sample = std::move(sample)]() mutable {
                if (auto self = weak.lock()) self->onSystemAudioSample(std::move(sample));
            });
        },
        [weak](const std::optional<audio::AudioError>& problem) {
            MainQueue::post(weakly(weak, [problem = userText(problem)](ScreenCameraSource& self) {
                self.reportAudioInterruption(AudioSource::system, problem);
            }));
        });
}

std::shared_ptr<ScreenCameraSource::ScreenStreamHandle> ScreenCameraSource::takeScreenStream() {
    std::lock_guard lock(streamMutex_);
    if (screenStream_ && screenStream_->video) {
        lastStreamDropped_ = screenStream_->video->droppedFrameCount();
        lastStreamDelivered_ = screenStream_->video->deliveredFrameCount();
    }
    return std::move(screenStream_);
}

void ScreenCameraSource::startScreenCapture() {
    setState(CaptureState::configured());
    notifyStateChange();
    std::shared_ptr<ScreenStreamHandle> handle;
    {
        std::lock_guard lock(streamMutex_);
        handle = screenStream_;
    }
    if (!handle) {
        setState(CaptureState::failed(translate("ScreenCameraSource", "无法创建新的录屏预览流")));
        notifyStateChange();
        return;
    }
    handle->video->startCapture(
        [weak = weak_from_this()](std::optional<screen::CaptureError> error) {
            if (!error) return;
            MainQueue::post(weakly(weak, [message = userText(*error)](ScreenCameraSource& self) {
                self.setState(CaptureState::failed(message));
                self.notifyStateChange();
            }));
        });
}

void ScreenCameraSource::onScreenStreamStopped(const std::string& description) {
    setState(CaptureState::failed(description));
    notifyStateChange();
}

void ScreenCameraSource::onSystemAudioSample(media::AudioSample sample) {
    auto current = writers();
    if (current.isRecording && current.screen)
        current.screen->appendAudio(std::move(sample), AudioSource::system);
}

void ScreenCameraSource::onScreenSample(const media::VideoSample& sample) {
    // Only new content counts: idle, blank, suspended and stopped frames end here.
    if (sample.status && *sample.status != media::FrameStatus::complete &&
        *sample.status != media::FrameStatus::started)
        return;

    if (sample.hasFormatDescription() && sample.presentationTime.valid) {
        if (auto reading = frameRateMeter_.count(
                sample.presentationTime, std::max(1, sample.width()), std::max(1, sample.height())))
            reportStatus(reading->width, reading->height, reading->framesPerSecond);
    }

    if (sample.hasFormatDescription() && sample.presentationTime.valid)
        latestScreenPicture_ = sample;
    if (onScreenFrame) onScreenFrame(sample);
    auto current = writers();
    if (current.isRecording && current.screen) recordScreenFrame(current, sample);
}

void ScreenCameraSource::recordScreenFrame(const Writers& current,
                                           const media::VideoSample& sample) {
    if (pausedPicture_.timeline != current.timeline.get()) {
        pausedPicture_ = {};
        pausedPicture_.timeline = current.timeline.get();
    }
    const media::MediaTime t = sample.presentationTime;
    if (current.timeline && current.timeline->isInPause(t)) {
        // The screen may change during a pause and then stand still: its last picture is what
        // the movie shows from the resume on. One that arrives after the resume goes in late.
        pausedPicture_.latest = sample;
        if (auto resumedAt = current.timeline->resumeTimeAfter(t))
            carryPausedPicture(current, *resumedAt);
        return;
    }
    current.screen->appendVideo(sample);
    pausedPicture_.lastWritten = t;
    pausedPicture_.lastWrittenWasCarried = false;
}

void ScreenCameraSource::carryPausedPicture(const Writers& current, media::MediaTime resumedAt) {
    if (pausedPicture_.timeline != current.timeline.get() || !pausedPicture_.latest) return;
    const auto& last = pausedPicture_.lastWritten;
    // A picture taken after the resume is already in: the one from the pause is older.
    if (last && *last >= resumedAt && !pausedPicture_.lastWrittenWasCarried) {
        pausedPicture_.latest.reset();
        return;
    }
    // After an earlier carried picture it follows by a millisecond, so it replaces that one.
    const media::MediaTime at =
        last && *last >= resumedAt ? *last + media::MediaTime::make(1, 1000) : resumedAt;
    media::VideoSample picture = std::move(*pausedPicture_.latest);
    pausedPicture_.latest.reset();
    picture.presentationTime = at;
    current.screen->appendVideo(std::move(picture));
    pausedPicture_.lastWritten = at;
    pausedPicture_.lastWrittenWasCarried = true;
}

void ScreenCameraSource::writeOpeningPicture(const std::shared_ptr<RecordingTimeline>& timeline,
                                             media::MediaTime startedAt) {
    auto current = writers();
    if (!current.isRecording || !current.screen || current.timeline != timeline ||
        !latestScreenPicture_)
        return;
    // A frame of this recording is already in, or the newest one is no older than the start.
    if (pausedPicture_.timeline == timeline.get() && pausedPicture_.lastWritten) return;
    if (latestScreenPicture_->presentationTime >= startedAt) return;
    media::VideoSample picture = *latestScreenPicture_;
    picture.presentationTime = startedAt;
    recordScreenFrame(current, picture);
}

void ScreenCameraSource::reportStatus(int width, int height, std::optional<double> rate) {
    auto settings = recordingSettings();
    ScreenCaptureStatus status;
    status.actualWidth = width;
    status.actualHeight = height;
    status.requestedWidth = settings.resolution.width;
    status.requestedHeight = settings.resolution.height;
    status.settings = settings;
    status.isDisplayCapture = target_.kind.capturesWholeScreen();
    status.measuredFrameRate = rate;
    MainQueue::post(weakly(weak_from_this(), [status](ScreenCameraSource& self) {
        if (self.onScreenCaptureStatusChange) self.onScreenCaptureStatusChange(status);
    }));
}

void ScreenCameraSource::reportAudioInterruption(AudioSource source,
                                                 std::optional<std::string> problem) {
    if (onAudioInterruption) onAudioInterruption(source, std::move(problem));
}

std::optional<std::string> ScreenCameraSource::systemAudioProblem() const {
    std::lock_guard lock(streamMutex_);
    if (!screenStream_ || !screenStream_->systemAudio) return std::nullopt;
    return userText(screenStream_->systemAudio->problem());
}

std::optional<std::string> ScreenCameraSource::microphoneName() const {
    return session_->microphoneName();
}

void ScreenCameraSource::prepareMicrophone(ErrorCompletion completion) {
    cameraQueue_->async([self = shared_from_this(), completion = std::move(completion)] {
        std::optional<SourceError> failure;
        auto configured = self->session_->configureMicrophone();
        if (!configured) {
            failure = std::move(configured).error();
        } else if (auto started = self->session_->startIfNeeded(); !started) {
            failure = std::move(started).error();
        }
        MainQueue::post([completion, failure] {
            if (completion) completion(failure);
        });
    });
}

void ScreenCameraSource::startCamera(std::function<void(CameraStart)> completion) {
    cameraQueue_->async([self = shared_from_this(), completion = std::move(completion)] {
        CameraStart result;
        CameraMicrophoneSession& session = *self->session_;
        if (auto configured = session.configureCamera(self->recordingSettings()); !configured) {
            result.error = std::move(configured).error();
        } else if (auto started = session.startIfNeeded(); !started) {
            session.removeCamera();
            result.error = std::move(started).error();
        } else {
            result.previewLayer = session.previewLayer();
            if (!result.previewLayer)
                result.error = SourceError(SourceError::Kind::cannotConfigureCamera);
        }
        MainQueue::post([completion, result] {
            if (completion) completion(result);
        });
    });
}

void ScreenCameraSource::stopCamera() {
    cameraQueue_->async([self = shared_from_this()] {
        CameraMicrophoneSession& session = *self->session_;
        session.removeCamera();
        if (!session.isCameraConfigured() && !session.isMicrophoneConfigured() &&
            session.isRunning())
            session.stop();
    });
}

void ScreenCameraSource::onCameraFrame(const media::VideoSample& frame) {
    auto current = writers();
    if (current.isRecording && current.camera) current.camera->appendVideo(frame);
}

void ScreenCameraSource::onMicrophoneSample(const media::AudioSample& sample) {
    if (onMicrophoneAudio) onMicrophoneAudio(sample);
    auto current = writers();
    if (current.isRecording && current.screen)
        current.screen->appendAudio(sample, AudioSource::microphone);
}

// ---- Settings

void ScreenCameraSource::applyRecordingSettings(const RecordingSettings& settings,
                                                ErrorCompletion completion) {
    if (isRecording()) {
        if (completion)
            completion(SourceError::cannotUpdateSettings(
                translate("ScreenCameraSource", "录制过程中不能修改录制参数")));
        return;
    }
    setRecordingSettings(settings);

    auto group = std::make_shared<WaitGroup>();
    auto firstError = std::make_shared<FirstErrorSlot<SourceError>>();
    std::weak_ptr<ScreenCameraSource> weak = weak_from_this();

    group->enter();
    screenQueue_->async([weak, group, firstError] {
        auto self = weak.lock();
        if (!self) {
            group->leave();
            return;
        }
        auto fail = [&](const SourceError& error) {
            self->setState(CaptureState::failed(error.description()));
            self->notifyStateChange();
            firstError->offer(error);
            group->leave();
        };
        if (auto previous = self->takeScreenStream()) previous->stop();  // waits for the stop
        if (auto configured = self->configureScreenStream(); !configured) {
            fail(configured.error());
            return;
        }
        std::shared_ptr<ScreenStreamHandle> handle;
        {
            std::lock_guard lock(self->streamMutex_);
            handle = self->screenStream_;
        }
        if (!handle) {
            fail(SourceError::cannotUpdateSettings(
                translate("ScreenCameraSource", "无法创建新的录屏预览流")));
            return;
        }
        handle->video->startCapture(
            [weak, group, firstError](std::optional<screen::CaptureError> error) {
                // On the stream's own thread: the state change goes through the main queue.
                if (error) {
                    const std::string message = userText(*error);
                    firstError->offer(SourceError::cannotUpdateSettings(message));
                    MainQueue::post(weakly(weak, [message](ScreenCameraSource& source) {
                        source.setState(CaptureState::failed(message));
                        source.notifyStateChange();
                    }));
                }
                group->leave();
            });
    });

    group->enter();
    cameraQueue_->async([weak, group, firstError, settings] {
        if (auto self = weak.lock()) {
            if (auto applied = self->session_->applyCameraFormat(settings); !applied)
                firstError->offer(applied.error());
        }
        group->leave();
    });

    group->notify([firstError, completion = std::move(completion)] {
        MainQueue::post([firstError, completion] {
            if (completion) completion(firstError->value());
        });
    });
}

// ---- Recording

void ScreenCameraSource::startRecording(bool withPiP) {
    if (isRecording()) return;
    auto seconds = std::to_string(static_cast<long long>(std::time(nullptr)));
    // A folder of the recording's own, locked while this process lives: what a crash leaves
    // there is found and saved at the next start.
    const auto root =
        options_.recordingsDirectory.empty() ? recordingsDirectory() : options_.recordingsDirectory;
    std::filesystem::path directory;
    auto folder = RecordingFolder::create(root);
    if (folder) {
        recordingFolder_ = std::move(folder).value();
        recordingFolderProblem_.reset();
        directory = recordingFolder_->path();
    } else {
        recordingFolder_.reset();
        recordingFolderProblem_ = folder.error();
        std::error_code unusable;
        directory = std::filesystem::temp_directory_path(unusable);
        // Without a temporary folder either, the writer reports why it cannot write the movie.
        if (unusable || directory.empty()) directory = root;
        ZIMLO_LOG_WARN("source") << "recording into " << directory
                                 << ", which nothing recovers after a crash";
    }
    // Another recording started in the same second (another window, the tool) has its own
    // files: the names are claimed, with a common suffix when taken.
    std::vector<std::string> bases{"zimlo_screen_" + seconds};
    if (withPiP) bases.push_back("zimlo_camera_" + seconds);
    const ClaimedFiles files = claimFiles(directory, bases, ".mov");
    mainOutputPath_ = files.paths.at(0);
    if (withPiP)
        pipOutputPath_ = files.paths.at(1);
    else
        pipOutputPath_.reset();

    const uint64_t recording = ++recordingNumber_;
    recordingFailureReported_ = false;
    auto failed =
        weakly(weak_from_this(), [recording](ScreenCameraSource& self, const WriterError& error) {
            self.writerFailed(recording, error);
        });
    auto frameRate = recordingSettings().frameRate;
    std::set<AudioSource> sources{AudioSource::system};
    if (session_->isMicrophoneConfigured()) sources.insert(AudioSource::microphone);
    // Both movies share one timeline, so a pause leaves the same stretch out of each.
    auto timeline = std::make_shared<RecordingTimeline>();
    auto screenWriter =
        RecordingFileWriter::create(*mainOutputPath_, media::MovieFileType::quickTimeMovie, sources,
                                    frameRate, files.claimed, timeline);
    screenWriter->setFailureHandler(failed);
    std::shared_ptr<RecordingFileWriter> cameraWriter;
    if (withPiP) {
        cameraWriter =
            RecordingFileWriter::create(*pipOutputPath_, media::MovieFileType::quickTimeMovie, {},
                                        frameRate, files.claimed, timeline);
        cameraWriter->setFailureHandler(failed);
        pendingFinishCount_ = 2;
    } else {
        pendingFinishCount_ = 1;
    }
    shouldRecordPiP_ = withPiP;
    {
        std::lock_guard lock(writersMutex_);
        writers_ = Writers{true, screenWriter, cameraWriter, timeline};
        lastScreenWriter_ = screenWriter;
        lastCameraWriter_ = cameraWriter;
        lastTimeline_ = timeline;
    }
    // Without it a still screen would start the movie at its next picture, up to a second late,
    // and a recording shorter than that would have no movie at all.
    screenQueue_->async(
        weakly(weak_from_this(),
               [timeline, startedAt = media::MonotonicClock::now()](ScreenCameraSource& self) {
                   self.writeOpeningPicture(timeline, startedAt);
               }));
    setState(CaptureState::recording());
    notifyStateChange();
}

void ScreenCameraSource::stopRecording() {
    // Both movies last until now, whatever the screen and the sound server last delivered.
    const media::MediaTime stoppedAt = media::MonotonicClock::now();
    Writers taken;
    {
        std::lock_guard lock(writersMutex_);
        if (!writers_.isRecording) return;
        taken = std::move(writers_);
        writers_ = Writers{};
    }
    auto finished = weakly(
        weak_from_this(),
        [recording = recordingNumber_](ScreenCameraSource& self, const WriterResult& result) {
            self.oneWriterFinished(recording, result);
        });
    if (taken.screen) taken.screen->finish(finished, stoppedAt);
    if (shouldRecordPiP_ && taken.camera) taken.camera->finish(finished, stoppedAt);
}

bool ScreenCameraSource::pauseRecording(media::MediaTime at) {
    auto current = writers();
    return current.isRecording && current.timeline && current.timeline->pause(at);
}

bool ScreenCameraSource::resumeRecording(media::MediaTime at) {
    auto current = writers();
    if (!current.isRecording || !current.timeline || !current.timeline->resume(at)) return false;
    // On a still screen no frame may come for a while: the picture the pause ended on is
    // written at once.
    screenQueue_->async(
        weakly(weak_from_this(), [timeline = current.timeline, at](ScreenCameraSource& self) {
            auto now = self.writers();
            if (now.isRecording && now.screen && now.timeline == timeline)
                self.carryPausedPicture(now, at);
        }));
    return true;
}

bool ScreenCameraSource::isPaused() const {
    auto current = writers();
    return current.isRecording && current.timeline && current.timeline->isPaused();
}

bool ScreenCameraSource::isInPause(media::MediaTime t) const {
    auto current = writers();
    return current.isRecording && current.timeline && current.timeline->isInPause(t);
}

std::shared_ptr<const RecordingTimeline> ScreenCameraSource::recordingTimeline() const {
    std::lock_guard lock(writersMutex_);
    return lastTimeline_;
}

void ScreenCameraSource::writerFailed(uint64_t recording, const WriterError& error) {
    // A writer of an earlier recording reports through its finish, or no longer matters.
    if (recording != recordingNumber_ || recordingFailureReported_) return;
    recordingFailureReported_ = true;
    if (onRecordingFailure) onRecordingFailure(error);
    stopRecording();  // the other movie ends here too, so both stay aligned
}

void ScreenCameraSource::oneWriterFinished(uint64_t recording, const WriterResult& result) {
    if (!result.ok()) writerFailed(recording, result.error());
    if (--pendingFinishCount_ > 0) return;
    setState(CaptureState::stopped());
    notifyStateChange();
    if (onFinishRecording)
        onFinishRecording(mainOutputPath_, shouldRecordPiP_ ? pipOutputPath_ : std::nullopt);
}

void ScreenCameraSource::shutdown() {
    cameraQueue_->async([self = shared_from_this()] {
        if (self->session_->isRunning()) self->session_->stop();
    });
    std::shared_ptr<ScreenStreamHandle> handle;
    {
        std::lock_guard lock(streamMutex_);
        handle = screenStream_;
    }
    if (handle) screenQueue_->async([handle] { handle->stop(); });
}

void ScreenCameraSource::suspendPreviews() {
    if (isRecording()) return;
    screenQueue_->async(weakly(weak_from_this(), [](ScreenCameraSource& self) {
        std::shared_ptr<ScreenStreamHandle> handle;
        {
            std::lock_guard lock(self.streamMutex_);
            handle = self.screenStream_;
        }
        // A stream that already ended (its window closed) stays as it is.
        if (!handle || !handle->video || !handle->video->isRunning()) return;
        handle->video->stopCapture();
        self.latestScreenPicture_.reset();  // the screen may change before the previews resume
        self.suspendedScreenStream_ = handle;
    }));
    cameraQueue_->async(
        weakly(weak_from_this(), [](ScreenCameraSource& self) { self.session_->suspend(); }));
}

void ScreenCameraSource::resumePreviews(ErrorCompletion completion) {
    std::weak_ptr<ScreenCameraSource> weak = weak_from_this();
    screenQueue_->async(weakly(weak, [weak](ScreenCameraSource& self) {
        auto handle = std::exchange(self.suspendedScreenStream_, nullptr);
        {
            // Replaced meanwhile (new settings): the new stream runs already.
            std::lock_guard lock(self.streamMutex_);
            if (!handle || handle != self.screenStream_) return;
        }
        self.frameRateMeter_.restartWindow();
        handle->video->startCapture([weak](std::optional<screen::CaptureError> error) {
            if (!error) return;
            MainQueue::post(weakly(weak, [message = userText(*error)](ScreenCameraSource& source) {
                source.setState(CaptureState::failed(message));
                source.notifyStateChange();
            }));
        });
    }));
    cameraQueue_->async(
        weakly(weak, [completion = std::move(completion)](ScreenCameraSource& self) {
            std::optional<SourceError> failure;
            if (auto resumed = self.session_->resume(); !resumed)
                failure = std::move(resumed).error();
            MainQueue::post([completion, failure] {
                if (completion) completion(failure);
            });
        }));
}

ScreenCameraSource::Statistics ScreenCameraSource::statistics() const {
    Statistics statistics;
    {
        std::lock_guard lock(streamMutex_);
        if (screenStream_ && screenStream_->video) {
            statistics.screenFramesDelivered = screenStream_->video->deliveredFrameCount();
            statistics.screenFramesDropped = screenStream_->video->droppedFrameCount();
        } else {
            statistics.screenFramesDelivered = lastStreamDelivered_.value_or(0);
            statistics.screenFramesDropped = lastStreamDropped_.value_or(0);
        }
    }
    std::lock_guard lock(writersMutex_);
    if (lastScreenWriter_) {
        statistics.screenWriterDroppedVideo = lastScreenWriter_->droppedVideoFrames();
        statistics.screenWriterDroppedAudio = lastScreenWriter_->droppedAudioSamples();
    }
    if (lastCameraWriter_)
        statistics.cameraWriterDroppedVideo = lastCameraWriter_->droppedVideoFrames();
    statistics.cameraFramesDiscarded = session_->framesDiscarded();
    return statistics;
}

}  // namespace zimlo::capture
