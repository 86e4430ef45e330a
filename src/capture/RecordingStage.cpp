#include "capture/RecordingStage.h"

#include <ctime>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"
#include "platform/storage/ClaimedFiles.h"

namespace zimlo::capture {

RecordingStage::RecordingStage(std::filesystem::path recordingsDirectory, Handlers handlers)
    : recordingsDirectory_(std::move(recordingsDirectory)), handlers_(std::move(handlers)) {}

// A recording still waiting for its last sound is finished without it: its movie is not left
// without an end.
RecordingStage::~RecordingStage() { finishEnding(files_.recordingNumber); }

RecordingStage::Writers RecordingStage::writers() const { return recordings_.lock()->current; }

bool RecordingStage::isRecording() const { return recordings_.lock()->current.isRecording; }

// ---- Starting and finishing the files (main thread)

// A folder of the recording's own, locked while this process lives: what a crash leaves there
// is found and saved at the next start.
std::filesystem::path RecordingStage::makeRecordingFolder() {
    const auto root = recordingsDirectory_.empty() ? recordingsDirectory() : recordingsDirectory_;
    auto folder = RecordingFolder::create(root);
    if (folder) {
        files_.folder = std::move(folder).value();
        files_.folderProblem.reset();
        return files_.folder->path();
    }
    files_.folder.reset();
    files_.folderProblem = folder.error();
    std::error_code unusable;
    auto directory = std::filesystem::temp_directory_path(unusable);
    // Without a temporary folder either, the writer reports why it cannot write the movie.
    if (unusable || directory.empty()) directory = root;
    ZIMLO_LOG_WARN("source") << "recording into " << directory
                             << ", which nothing recovers after a crash";
    return directory;
}

std::shared_ptr<RecordingTimeline> RecordingStage::start(bool withPiP, CaptureFrameRate frameRate,
                                                         bool withMicrophone) {
    if (isRecording()) return nullptr;
    // The last recording's sound still on its way has to give way: its movie ends now.
    finishEnding(files_.recordingNumber);
    auto seconds = std::to_string(static_cast<long long>(std::time(nullptr)));
    const auto directory = makeRecordingFolder();
    // Another recording started in the same second (another window, the tool) has its own
    // files: the names are claimed, with a common suffix when taken.
    std::vector<std::string> bases{"zimlo_screen_" + seconds};
    if (withPiP) bases.push_back("zimlo_camera_" + seconds);
    const ClaimedFiles files = claimFiles(directory, bases, ".mov");
    files_.mainOutputPath = files.paths.at(0);
    if (withPiP)
        files_.pipOutputPath = files.paths.at(1);
    else
        files_.pipOutputPath.reset();

    const uint64_t recording = ++files_.recordingNumber;
    files_.failureReported = false;
    auto failed =
        weakly(weak_from_this(), [recording](RecordingStage& self, const WriterError& error) {
            self.writerFailed(recording, error);
        });
    std::set<AudioSource> sources{AudioSource::system};
    if (withMicrophone) sources.insert(AudioSource::microphone);
    // Both movies share one timeline, so a pause leaves the same stretch out of each.
    auto timeline = std::make_shared<RecordingTimeline>();
    auto screenWriter =
        RecordingFileWriter::create(*files_.mainOutputPath, media::MovieFileType::quickTimeMovie,
                                    sources, frameRate, files.claimed, timeline);
    screenWriter->setFailureHandler(failed);
    std::shared_ptr<RecordingFileWriter> cameraWriter;
    if (withPiP) {
        cameraWriter =
            RecordingFileWriter::create(*files_.pipOutputPath, media::MovieFileType::quickTimeMovie,
                                        {}, frameRate, files.claimed, timeline);
        cameraWriter->setFailureHandler(failed);
    }
    files_.pendingFinishCount = withPiP ? 2 : 1;
    files_.shouldRecordPiP = withPiP;
    {
        auto recordings = recordings_.lock();
        recordings->current = Writers{true, screenWriter, cameraWriter, timeline};
        recordings->lastScreen = screenWriter;
        recordings->lastCamera = cameraWriter;
        recordings->lastTimeline = timeline;
    }
    return timeline;
}

void RecordingStage::stop(media::MediaTime stoppedAt) {
    const uint64_t recording = files_.recordingNumber;
    Writers taken;
    bool waitsForSound = false;
    {
        auto recordings = recordings_.lock();
        if (!recordings->current.isRecording) return;
        taken = std::exchange(recordings->current, Writers{});
        auto heard = std::exchange(recordings->heard, {});
        waitsForSound = !heard.empty() && taken.screen;
        if (waitsForSound)
            recordings->ending = Ending{taken, stoppedAt, std::move(heard), recording};
    }
    if (!waitsForSound) {
        finishWriters(taken, stoppedAt, recording);
        return;
    }
    MainQueue::postAfter(kSoundAfterStopSeconds,
                         weakly(weak_from_this(), [recording](RecordingStage& self) {
                             self.finishEnding(recording);
                         }));
}

void RecordingStage::finishEnding(uint64_t recording) {
    std::optional<Ending> ending;
    {
        auto recordings = recordings_.lock();
        if (!recordings->ending || recordings->ending->recording != recording) return;
        ending = std::exchange(recordings->ending, std::nullopt);
    }
    if (!ending->awaited.empty()) {
        ZIMLO_LOG_INFO("source") << "finishing without the sound after the stop of "
                                 << ending->awaited.size() << " source(s): none came in "
                                 << kSoundAfterStopSeconds << " s";
    }
    finishWriters(ending->writers, ending->stoppedAt, recording);
}

void RecordingStage::finishWriters(const Writers& writers, media::MediaTime stoppedAt,
                                   uint64_t recording) {
    auto finished =
        weakly(weak_from_this(), [recording](RecordingStage& self, const WriterResult& result) {
            self.oneWriterFinished(recording, result);
        });
    if (writers.screen) writers.screen->finish(finished, stoppedAt);
    if (files_.shouldRecordPiP && writers.camera) writers.camera->finish(finished, stoppedAt);
}

void RecordingStage::writerFailed(uint64_t recording, const WriterError& error) {
    // A writer of an earlier recording reports through its finish, or no longer matters.
    if (recording != files_.recordingNumber || files_.failureReported) return;
    files_.failureReported = true;
    if (handlers_.failed) handlers_.failed(error);
    // The other movie ends here too, so both stay aligned.
    stop(media::MonotonicClock::now());
}

void RecordingStage::oneWriterFinished(uint64_t recording, const WriterResult& result) {
    if (!result.ok()) writerFailed(recording, result.error());
    if (--files_.pendingFinishCount > 0) return;
    if (handlers_.finished)
        handlers_.finished(files_.mainOutputPath,
                           files_.shouldRecordPiP ? files_.pipOutputPath : std::nullopt);
}

// ---- Pauses (main thread)

bool RecordingStage::pause(media::MediaTime at) {
    auto current = writers();
    return current.isRecording && current.timeline && current.timeline->pause(at);
}

std::shared_ptr<RecordingTimeline> RecordingStage::resume(media::MediaTime at) {
    auto current = writers();
    if (!current.isRecording || !current.timeline || !current.timeline->resume(at)) return nullptr;
    return current.timeline;
}

bool RecordingStage::isPaused() const {
    auto current = writers();
    return current.isRecording && current.timeline && current.timeline->isPaused();
}

bool RecordingStage::isInPause(media::MediaTime t) const {
    auto current = writers();
    return current.isRecording && current.timeline && current.timeline->isInPause(t);
}

std::shared_ptr<const RecordingTimeline> RecordingStage::lastTimeline() const {
    return recordings_.lock()->lastTimeline;
}

RecordingStage::WriterCounts RecordingStage::writerCounts() const {
    auto recordings = recordings_.lock();
    WriterCounts counts;
    if (recordings->lastScreen) {
        counts.screenDroppedVideo = recordings->lastScreen->droppedVideoFrames();
        counts.screenDroppedAudio = recordings->lastScreen->droppedAudioSamples();
    }
    if (recordings->lastCamera)
        counts.cameraDroppedVideo = recordings->lastCamera->droppedVideoFrames();
    return counts;
}

// ---- The screen's pictures (screen queue)

void RecordingStage::takeScreenPicture(const media::VideoSample& sample) {
    auto current = writers();
    if (current.isRecording && current.screen)
        recordScreenFrame(*pausedPicture_.lock(), current, sample);
}

// Hands a frame to the screen writer, keeping a frame taken during a pause for the resume.
void RecordingStage::recordScreenFrame(PausedPicture& paused, const Writers& current,
                                       const media::VideoSample& sample) {
    if (paused.timeline != current.timeline.get()) {
        paused = {};
        paused.timeline = current.timeline.get();
    }
    const media::MediaTime t = sample.presentationTime;
    if (current.timeline && current.timeline->isInPause(t)) {
        // The screen may change during a pause and then stand still: its last picture is what
        // the movie shows from the resume on. One that arrives after the resume goes in late.
        paused.latest = sample;
        if (auto resumedAt = current.timeline->resumeTimeAfter(t))
            carry(paused, current, *resumedAt);
        return;
    }
    current.screen->appendVideo(sample);
    paused.lastWritten = t;
    paused.lastWrittenWasCarried = false;
}

void RecordingStage::carryPausedPicture(const std::shared_ptr<RecordingTimeline>& timeline,
                                        media::MediaTime resumedAt) {
    auto current = writers();
    if (current.isRecording && current.screen && current.timeline == timeline)
        carry(*pausedPicture_.lock(), current, resumedAt);
}

void RecordingStage::carry(PausedPicture& paused, const Writers& current,
                           media::MediaTime resumedAt) {
    if (paused.timeline != current.timeline.get() || !paused.latest) return;
    const auto& last = paused.lastWritten;
    // A picture taken after the resume is already in: the one from the pause is older.
    if (last && *last >= resumedAt && !paused.lastWrittenWasCarried) {
        paused.latest.reset();
        return;
    }
    // After an earlier carried picture it follows by a millisecond, so it replaces that one.
    const media::MediaTime at =
        last && *last >= resumedAt ? *last + media::MediaTime::make(1, 1000) : resumedAt;
    media::VideoSample picture = std::move(*paused.latest);
    paused.latest.reset();
    picture.presentationTime = at;
    current.screen->appendVideo(std::move(picture));
    paused.lastWritten = at;
    paused.lastWrittenWasCarried = true;
}

void RecordingStage::writeOpeningPicture(const std::shared_ptr<RecordingTimeline>& timeline,
                                         media::MediaTime startedAt,
                                         const std::optional<media::VideoSample>& latest) {
    auto current = writers();
    if (!current.isRecording || !current.screen || current.timeline != timeline || !latest) return;
    auto paused = pausedPicture_.lock();
    // A frame of this recording is already in, or the newest one is no older than the start.
    if (paused->timeline == timeline.get() && paused->lastWritten) return;
    if (latest->presentationTime >= startedAt) return;
    media::VideoSample picture = *latest;
    picture.presentationTime = startedAt;
    recordScreenFrame(*paused, current, picture);
}

// ---- Sound and the camera (their devices' queues)

void RecordingStage::takeSystemAudio(media::AudioSample sample) {
    takeSound(std::move(sample), AudioSource::system);
}

void RecordingStage::takeMicrophoneAudio(const media::AudioSample& sample) {
    takeSound(sample, AudioSource::microphone);
}

void RecordingStage::takeSound(media::AudioSample sample, AudioSource source) {
    std::shared_ptr<RecordingFileWriter> writer;
    std::optional<uint64_t> allCame;
    {
        auto recordings = recordings_.lock();
        if (recordings->current.isRecording && recordings->current.screen) {
            writer = recordings->current.screen;
            if (writer->audioSources().contains(source)) recordings->heard.insert(source);
        } else if (auto& ending = recordings->ending;
                   ending && ending->awaited.contains(source) && sample.presentationTime.valid) {
            // Sound arrives in order: once a piece reaches the stop, all before it has come.
            if (sample.presentationTime < ending->stoppedAt) writer = ending->writers.screen;
            if (sample.sampleRate <= 0 ||
                sample.presentationTime + sample.duration() >= ending->stoppedAt) {
                ending->awaited.erase(source);
                if (ending->awaited.empty()) allCame = ending->recording;
            }
        }
    }
    if (writer) writer->appendAudio(std::move(sample), source);
    if (allCame) {
        MainQueue::post(weakly(weak_from_this(), [recording = *allCame](RecordingStage& self) {
            self.finishEnding(recording);
        }));
    }
}

void RecordingStage::takeCameraFrame(const media::VideoSample& frame) {
    auto current = writers();
    if (current.isRecording && current.camera) current.camera->appendVideo(frame);
}

}  // namespace zimlo::capture
