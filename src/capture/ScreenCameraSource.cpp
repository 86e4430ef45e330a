#include "capture/ScreenCameraSource.h"

#include <utility>

#include "capture/PlatformErrorText.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/i18n/Translation.h"
#include "platform/runtime/FirstErrorSlot.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/Threads.h"
#include "platform/runtime/WaitGroup.h"
#include "platform/runtime/WeakOwner.h"

namespace zimlo::capture {

// A stop waits for the computer's sound up to it: the batch holding it must come in time.
static_assert(ScreenInput::kSystemSoundBatchSeconds * 2 < RecordingStage::kSoundAfterStopSeconds);
namespace {

// A queue must not be destroyed by its own thread (it would join itself); when the last owner
// goes away on that thread, a helper thread finishes it.
void releaseQueue(std::shared_ptr<SerialQueue>& queue) {
    if (queue && queue->isCurrent()) letGo(startThread("queue-release", [q = std::move(queue)] {}));
    queue.reset();
}

std::string noStreamText() { return translate("ScreenCameraSource", "无法创建新的录屏预览流"); }

}  // namespace

ScreenInput::Handlers ScreenCameraSource::screenHandlers(
    const std::weak_ptr<ScreenCameraSource>& weak) {
    ScreenInput::Handlers handlers;
    handlers.settings = [weak] {
        auto self = weak.lock();
        return self ? self->recordingSettings() : RecordingSettings::defaultSettings();
    };
    handlers.picture = weakly(weak, [](ScreenCameraSource& self, const media::VideoSample& s) {
        self.screenPictureTaken(s);
    });
    handlers.systemAudio = weakly(weak, [](ScreenCameraSource& self, media::AudioSample s) {
        self.onSystemAudioSample(std::move(s));
    });
    handlers.failed = weakly(weak, [](ScreenCameraSource& self, const std::string& why) {
        self.onScreenStreamStopped(why);
    });
    handlers.status = weakly(weak, [](ScreenCameraSource& self, const ScreenCaptureStatus& status) {
        if (self.onScreenCaptureStatusChange) self.onScreenCaptureStatusChange(status);
    });
    handlers.systemAudioInterruption =
        weakly(weak, [](ScreenCameraSource& self, std::optional<std::string> problem) {
            if (self.onAudioInterruption)
                self.onAudioInterruption(AudioSource::system, std::move(problem));
        });
    return handlers;
}

CameraMicrophoneSession::Handlers ScreenCameraSource::sessionHandlers(
    const std::weak_ptr<ScreenCameraSource>& weak) {
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
            if (self.onAudioInterruption)
                self.onAudioInterruption(AudioSource::microphone, problem);
        }));
    };
    return handlers;
}

// ---- Creation and state

std::shared_ptr<ScreenCameraSource> ScreenCameraSource::create(ScreenCaptureTarget target,
                                                               Options options) {
    std::shared_ptr<ScreenCameraSource> source(new ScreenCameraSource(std::move(target)));
    std::weak_ptr<ScreenCameraSource> weak = source;
    ScreenInput::Options screenOptions{std::move(options.displayName),
                                       std::move(options.ownWindowQuery),
                                       std::move(options.makeScreenStream)};
    source->screen_ = std::make_shared<ScreenInput>(
        source->target_, std::move(screenOptions), *source->screenQueue_, source->systemAudioQueue_,
        screenHandlers(weak));
    source->camera_ = std::make_shared<CameraInput>(
        std::make_unique<CameraMicrophoneSession>(
            std::move(options.cameraDiscovery), std::move(options.microphoneDiscovery),
            source->cameraDataQueue_, source->microphoneQueue_, sessionHandlers(weak)),
        *source->cameraQueue_, [weak] {
            auto self = weak.lock();
            return self ? self->recordingSettings() : RecordingSettings::defaultSettings();
        });
    RecordingStage::Handlers stageHandlers;
    stageHandlers.finished = weakly(weak, [](ScreenCameraSource& self, auto main, auto pip) {
        self.recordingFinished(std::move(main), std::move(pip));
    });
    stageHandlers.failed = weakly(weak, [](ScreenCameraSource& self, const WriterError& error) {
        if (self.onRecordingFailure) self.onRecordingFailure(error);
    });
    source->stage_ = std::make_shared<RecordingStage>(std::move(options.recordingsDirectory),
                                                      std::move(stageHandlers));
    return source;
}

ScreenCameraSource::ScreenCameraSource(ScreenCaptureTarget target)
    : target_(std::move(target)),
      screenQueue_(std::make_shared<SerialQueue>(".mac.screen-stream")),
      systemAudioQueue_(std::make_shared<SerialQueue>(".mac.system-audio")),
      cameraQueue_(std::make_shared<SerialQueue>(".mac.camera-session")),
      cameraDataQueue_(std::make_shared<SerialQueue>(".mac.camera-data")),
      microphoneQueue_(std::make_shared<SerialQueue>(".mac.microphone-data")) {}

ScreenCameraSource::~ScreenCameraSource() {
    // Nothing below runs a handler that could reach this object: device threads only post to
    // the queues, whose tasks hold the source weakly.
    camera_.reset();  // the devices stop here, unless a step of theirs is running
    screen_->close();
    releaseQueue(screenQueue_);
    releaseQueue(systemAudioQueue_);
    releaseQueue(cameraQueue_);
    releaseQueue(cameraDataQueue_);
    releaseQueue(microphoneQueue_);
}

CaptureState ScreenCameraSource::state() const { return status_.lock()->state; }

void ScreenCameraSource::setState(CaptureState state) { status_.lock()->state = std::move(state); }

RecordingSettings ScreenCameraSource::recordingSettings() const { return status_.lock()->settings; }

void ScreenCameraSource::setRecordingSettings(const RecordingSettings& settings) {
    status_.lock()->settings = settings;
}

bool ScreenCameraSource::isRecording() const { return stage_->isRecording(); }

void ScreenCameraSource::notifyStateChange() {
    // The callback sees the state as it is when it runs, not as it was when posted.
    MainQueue::post(weakly(weak_from_this(), [](ScreenCameraSource& self) {
        if (self.onStateChange) self.onStateChange(self.state());
    }));
}

void ScreenCameraSource::failed(const std::string& description) {
    setState(CaptureState::failed(description));
    notifyStateChange();
}

// ---- Screen stream

zimlo::PixelSize ScreenCameraSource::captureSize(const ScreenCaptureTarget& target,
                                                 const RecordingSettings& settings) {
    return settings.resolution.captureSize(ScreenCaptureTargetProvider::nativePixelSize(target));
}

Result<void, SourceError> ScreenCameraSource::configureScreenStream() {
    return screen_->configure(recordingSettings());
}

void ScreenCameraSource::startScreenCapture() {
    setState(CaptureState::configured());
    notifyStateChange();
    if (!screen_->start()) failed(noStreamText());
}

void ScreenCameraSource::onScreenStreamStopped(const std::string& description) {
    failed(description);
}

std::optional<std::string> ScreenCameraSource::systemAudioProblem() const {
    return screen_->systemAudioProblem();
}

// ---- Samples on their way to the stage

void ScreenCameraSource::onScreenSample(const media::VideoSample& sample) {
    screen_->takePicture(sample);  // hands new content on to screenPictureTaken
}

void ScreenCameraSource::screenPictureTaken(const media::VideoSample& sample) {
    if (onScreenFrame) onScreenFrame(sample);
    stage_->takeScreenPicture(sample);
}

void ScreenCameraSource::onSystemAudioSample(media::AudioSample sample) {
    stage_->takeSystemAudio(std::move(sample));
}

void ScreenCameraSource::onCameraFrame(const media::VideoSample& frame) {
    stage_->takeCameraFrame(frame);
}

void ScreenCameraSource::onMicrophoneSample(const media::AudioSample& sample) {
    if (onMicrophoneAudio) onMicrophoneAudio(sample);
    stage_->takeMicrophoneAudio(sample);
}

// ---- Camera and microphone

std::optional<std::string> ScreenCameraSource::microphoneName() const {
    return camera_->microphoneName();
}

void ScreenCameraSource::prepareMicrophone(ErrorCompletion completion) {
    camera_->prepareMicrophone(std::move(completion));
}

void ScreenCameraSource::startCamera(std::function<void(CameraStart)> completion) {
    camera_->startCamera(std::move(completion));
}

void ScreenCameraSource::stopCamera() { camera_->stopCamera(); }

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
        auto done = [group, firstError](std::optional<SourceError> error) {
            if (error) firstError->offer(*error);
            group->leave();
        };
        self->screen_->replace(self->recordingSettings(), std::move(done));
    });

    group->enter();
    camera_->applyFormat(settings, [group, firstError](std::optional<SourceError> error) {
        if (error) firstError->offer(*error);
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
    auto timeline =
        stage_->start(withPiP, recordingSettings().frameRate, camera_->isMicrophoneConfigured());
    if (!timeline) return;  // recording already
    // Without it a still screen would start the movie at its next picture, up to a second late,
    // and a recording shorter than that would have no movie at all.
    screenQueue_->async(weakly(
        weak_from_this(),
        [timeline, startedAt = media::MonotonicClock::now()](ScreenCameraSource& self) {
            self.stage_->writeOpeningPicture(timeline, startedAt, self.screen_->latestPicture());
        }));
    setState(CaptureState::recording());
    notifyStateChange();
}

void ScreenCameraSource::stopRecording() {
    // Both movies last until now, whatever the screen and the sound server last delivered.
    stage_->stop(media::MonotonicClock::now());
}

void ScreenCameraSource::recordingFinished(std::optional<std::filesystem::path> main,
                                           std::optional<std::filesystem::path> pip) {
    setState(CaptureState::stopped());
    notifyStateChange();
    if (onFinishRecording) onFinishRecording(std::move(main), std::move(pip));
}

bool ScreenCameraSource::pauseRecording(media::MediaTime at) { return stage_->pause(at); }

bool ScreenCameraSource::resumeRecording(media::MediaTime at) {
    auto timeline = stage_->resume(at);
    if (!timeline) return false;
    screenQueue_->async(weakly(
        stage_, [timeline, at](RecordingStage& stage) { stage.carryPausedPicture(timeline, at); }));
    return true;
}

bool ScreenCameraSource::isPaused() const { return stage_->isPaused(); }

bool ScreenCameraSource::isInPause(media::MediaTime t) const { return stage_->isInPause(t); }

std::shared_ptr<const RecordingTimeline> ScreenCameraSource::recordingTimeline() const {
    return stage_->lastTimeline();
}

// ---- Shutting down and the previews

void ScreenCameraSource::shutdown() {
    camera_->shutdown();
    screen_->shutdown();
}

void ScreenCameraSource::suspendPreviews() {
    if (isRecording()) return;
    screenQueue_->async(weakly(screen_, [](ScreenInput& screen) { screen.suspend(); }));
    camera_->suspend();
}

void ScreenCameraSource::resumePreviews(ErrorCompletion completion) {
    screenQueue_->async(weakly(screen_, [](ScreenInput& screen) { screen.resume(); }));
    camera_->resume(std::move(completion));
}

ScreenCameraSource::Statistics ScreenCameraSource::statistics() const {
    Statistics statistics;
    const auto frames = screen_->frameCounts();
    statistics.screenFramesDelivered = frames.delivered;
    statistics.screenFramesDropped = frames.dropped;
    statistics.screenFramesLate = frames.late;
    statistics.screenSource = frames.source;
    const auto writers = stage_->writerCounts();
    statistics.screenWriterDroppedVideo = writers.screenDroppedVideo;
    statistics.screenWriterDroppedAudio = writers.screenDroppedAudio;
    statistics.cameraWriterDroppedVideo = writers.cameraDroppedVideo;
    statistics.cameraFramesDiscarded = camera_->framesDiscarded();
    return statistics;
}

}  // namespace zimlo::capture
