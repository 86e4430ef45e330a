#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "capture/AudioSource.h"
#include "capture/RecordingFileWriter.h"
#include "capture/RecordingTimeline.h"
#include "model/CaptureFrameRate.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MediaTime.h"
#include "platform/runtime/Guarded.h"
#include "platform/storage/FileError.h"
#include "platform/storage/RecordingFolder.h"

namespace zimlo::capture {

// Where the samples of every input meet while recording: the screen movie (picture, the
// computer's sound, the microphone) and the camera movie, on one timeline that leaves pauses
// out of both. Starts and finishes the files; the sample entry points drop what comes while
// nothing is recorded. Start, stop, pause and resume run on the main thread.
class RecordingStage : public std::enable_shared_from_this<RecordingStage> {
  public:
    struct Handlers {
        // Main queue, once per recording: the screen movie and, when recorded, the camera movie.
        std::function<void(std::optional<std::filesystem::path>,
                           std::optional<std::filesystem::path>)>
            finished;
        // Main queue, at most once per recording and before `finished`: a movie could not be
        // written. The recording is stopped right after.
        std::function<void(WriterError)> failed;
    };

    struct WriterCounts {
        uint64_t screenDroppedVideo = 0;  // last recording
        uint64_t screenDroppedAudio = 0;
        uint64_t cameraDroppedVideo = 0;
    };

    // `recordingsDirectory` holds a folder of each recording's own.
    RecordingStage(std::filesystem::path recordingsDirectory, Handlers handlers);
    ~RecordingStage();
    RecordingStage(const RecordingStage&) = delete;
    RecordingStage& operator=(const RecordingStage&) = delete;

    bool isRecording() const;
    // Creates the files and writers; the timeline the opening picture goes on, none when a
    // recording runs already.
    std::shared_ptr<RecordingTimeline> start(bool withPiP, CaptureFrameRate frameRate,
                                             bool withMicrophone);
    // Both movies last until `stoppedAt`, whatever the inputs last delivered. The sound server
    // hands sound on in pieces, so what was heard just before the stop may still be on its
    // way: the movies are finished once every sound source heard in the recording delivered
    // up to the stop, or after kSoundAfterStopSeconds.
    void stop(media::MediaTime stoppedAt);
    static constexpr double kSoundAfterStopSeconds = 0.3;
    bool pause(media::MediaTime at);
    // The timeline resumed, for carryPausedPicture; none when it was not paused.
    std::shared_ptr<RecordingTimeline> resume(media::MediaTime at);
    bool isPaused() const;
    bool isInPause(media::MediaTime t) const;
    std::shared_ptr<const RecordingTimeline> lastTimeline() const;
    WriterCounts writerCounts() const;

    // Main thread, for the current or last recording.
    const std::optional<std::filesystem::path>& mainOutputPath() const {
        return files_.mainOutputPath;
    }
    const std::optional<std::filesystem::path>& pipOutputPath() const {
        return files_.pipOutputPath;
    }
    bool shouldRecordPiP() const { return files_.shouldRecordPiP; }
    const std::shared_ptr<RecordingFolder>& recordingFolder() const { return files_.folder; }
    const std::optional<FileError>& recordingFolderProblem() const { return files_.folderProblem; }

    // On the screen queue.
    void takeScreenPicture(const media::VideoSample& sample);
    // Without it a still screen would start the movie at its next picture, up to a second late.
    void writeOpeningPicture(const std::shared_ptr<RecordingTimeline>& timeline,
                             media::MediaTime startedAt,
                             const std::optional<media::VideoSample>& latest);
    // On a still screen no frame may come for a while: the picture the pause ended on is
    // written at once.
    void carryPausedPicture(const std::shared_ptr<RecordingTimeline>& timeline,
                            media::MediaTime resumedAt);
    // On the queues of the devices.
    void takeSystemAudio(media::AudioSample sample);
    void takeMicrophoneAudio(const media::AudioSample& sample);
    void takeCameraFrame(const media::VideoSample& frame);

  private:
    // Read on the sample queues, written on the main thread.
    struct Writers {
        bool isRecording = false;
        std::shared_ptr<RecordingFileWriter> screen;
        std::shared_ptr<RecordingFileWriter> camera;
        std::shared_ptr<RecordingTimeline> timeline;
    };
    // A stopped recording waiting for the rest of its sound: the screen writer still takes
    // what is stamped before the stop from the sources still awaited.
    struct Ending {
        Writers writers;
        media::MediaTime stoppedAt;
        std::set<AudioSource> awaited;
        uint64_t recording = 0;
    };
    struct Recordings {
        Writers current;
        std::set<AudioSource> heard;  // sources the current recording has sound from
        std::optional<Ending> ending;
        // The last recording's, for the statistics and the timeline.
        std::shared_ptr<RecordingFileWriter> lastScreen, lastCamera;
        std::shared_ptr<RecordingTimeline> lastTimeline;
    };
    // Screen frames around pauses, on the screen queue; belongs to the recording of `timeline`.
    struct PausedPicture {
        const RecordingTimeline* timeline = nullptr;
        std::optional<media::VideoSample> latest;  // the newest frame taken during a pause
        std::optional<media::MediaTime> lastWritten;
        bool lastWrittenWasCarried = false;
    };
    // Main thread.
    struct Files {
        std::optional<std::filesystem::path> mainOutputPath;
        std::optional<std::filesystem::path> pipOutputPath;
        std::shared_ptr<RecordingFolder> folder;
        std::optional<FileError> folderProblem;
        int pendingFinishCount = 0;
        bool shouldRecordPiP = true;
        uint64_t recordingNumber = 0;  // which recording late writer reports belong to
        bool failureReported = false;
    };

    Writers writers() const;
    std::filesystem::path makeRecordingFolder();
    void recordScreenFrame(PausedPicture& paused, const Writers& current,
                           const media::VideoSample& sample);
    static void carry(PausedPicture& paused, const Writers& current, media::MediaTime resumedAt);
    // On the devices' queues.
    void takeSound(media::AudioSample sample, AudioSource source);
    // Main thread.
    void finishEnding(uint64_t recording);
    void finishWriters(const Writers& writers, media::MediaTime stoppedAt, uint64_t recording);
    void writerFailed(uint64_t recording, const WriterError& error);
    void oneWriterFinished(uint64_t recording, const WriterResult& result);

    const std::filesystem::path recordingsDirectory_;
    const Handlers handlers_;
    Guarded<Recordings> recordings_;
    Guarded<PausedPicture> pausedPicture_;
    Files files_;
};

}  // namespace zimlo::capture
