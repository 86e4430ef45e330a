#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "capture/AudioSource.h"
#include "capture/RecordingTimeline.h"
#include "model/CaptureFrameRate.h"
#include "platform/media/MediaError.h"
#include "platform/media/MediaFormat.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MovieWriter.h"
#include "platform/runtime/Result.h"
#include "platform/runtime/SerialQueue.h"

namespace zimlo::capture {

// Why a recording's movie could not be written: the step that failed and what the container
// writer or the system reported about it, where either did. description() words it for the
// user from these; nothing else carries words.
struct WriterError {
    enum class Kind { cannotCreateWriter, writerFailed, missingFormatDescription };
    enum class Step {
        creatingFile,       // the writer's own exclusive creation of the file
        openingMovie,       // the container writer on that file
        readingFirstFrame,  // the frame that sets up the movie has no format
        addingVideoTrack,
        addingSystemAudioTrack,
        addingMicrophoneTrack,
        startingToWrite,
        writing,  // the container writer failed while samples were appended
        finishing,
    };
    Kind kind = Kind::writerFailed;
    Step step = Step::writing;
    std::optional<media::MediaError> cause;
    // The system's error number behind the failure when there is one (ENOSPC for a full disk),
    // so that the layer showing it can say what happened in the user's words; 0 otherwise.
    int systemError = 0;
    std::filesystem::path file;  // the movie being written

    static WriterError cannotCreateWriter(Step step, std::filesystem::path file,
                                          std::optional<media::MediaError> cause = {},
                                          int systemError = 0) {
        return {Kind::cannotCreateWriter, step, std::move(cause), systemError, std::move(file)};
    }
    static WriterError writerFailed(Step step, std::filesystem::path file,
                                    std::optional<media::MediaError> cause, int systemError = 0) {
        return {Kind::writerFailed, step, std::move(cause), systemError, std::move(file)};
    }
    static WriterError missingFormatDescription(std::filesystem::path file) {
        return {Kind::missingFormatDescription, Step::readingFirstFrame, {}, 0, std::move(file)};
    }

    // The user-facing text.
    std::string description() const;
    friend bool operator==(const WriterError&, const WriterError&) = default;
};

// Either the movie's URL or why writing failed.
using WriterResult = Result<std::filesystem::path, WriterError>;

// Turns live video frames and audio packets into one movie: video first, then system audio,
// then microphone. Set up lazily on the first video frame (the picture size comes from it).
// Every call only queues work on the writer's own serial queue, so capture threads never block.
// The file is written as fragmented QuickTime, each fragment reaching the file as it completes,
// so a recording cut short by a crash or a kill keeps all but its last second or two.
//
// The writer never replaces a file it did not create: the output is either claimed for it by the
// caller (created empty, exclusively) or created exclusively by the writer itself.
//
// With a timeline, samples are placed on the movie's timeline first: what was taken during a
// pause is left out and what follows closes the gap.
//
// Samples are stamped on the monotonic clock (MonotonicClock), so none can lie later than the
// moment it is handed over. What does (a source that ran ahead of time: a backlog let go at
// once and counted on from its start) is left out. The newest sound of each track waits a
// moment before it is written, so that the stop can still cut what lies past it: the movie
// never outlasts the recording.
class RecordingFileWriter {
  public:
    using Completion = std::function<void(WriterResult)>;
    using FailureHandler = std::function<void(WriterError)>;

    // `outputClaimed`: the caller created `outputPath` empty for this writer, which then writes
    // into it (and removes it again when no frame ever came).
    static std::shared_ptr<RecordingFileWriter> create(
        std::filesystem::path outputPath, media::MovieFileType fileType,
        std::set<AudioSource> audioSources, CaptureFrameRate frameRate, bool outputClaimed = false,
        std::shared_ptr<const capture::RecordingTimeline> timeline = nullptr);
    ~RecordingFileWriter();

    const std::filesystem::path& outputPath() const { return outputPath_; }
    media::MovieFileType fileType() const { return fileType_; }
    const std::set<AudioSource>& audioSources() const { return audioSources_; }
    CaptureFrameRate frameRate() const { return frameRate_; }

    // Called once, on the main queue, when the movie can no longer be written (the file cannot
    // be created or started, or writing it failed: a full disk, say). What was written up to
    // then stays playable; later samples are dropped. Set before the first append.
    void setFailureHandler(FailureHandler handler);
    void appendVideo(media::VideoSample sample);
    void appendAudio(media::AudioSample sample, AudioSource source);
    // Queued behind every earlier append; `completion` runs on the main queue. `stoppedAt`, on
    // the samples' clock, is when the recording stopped: the movie then lasts until that instant
    // whatever came last (the last picture is shown again at its end, the sound is filled with
    // silence), since a still screen sends a picture only now and then and a sound server may
    // be gone; sound stamped past it is cut there.
    void finish(Completion completion, std::optional<media::MediaTime> stoppedAt = std::nullopt);

    // Samples dropped because their input was not ready (the encoder fell behind).
    uint64_t droppedVideoFrames() const { return droppedVideo_.load(); }
    uint64_t droppedAudioSamples() const { return droppedAudio_.load(); }
    // How many times sound was handed to the writing thread: packets are gathered into batches
    // of about kAudioBatchSeconds, each a single wake-up of that thread.
    uint64_t audioHandOvers() const { return audioHandOvers_.load(); }
    static constexpr double kAudioBatchSeconds = 0.1;

    // For tests of a container that refuses tracks: writers set up after this take at most
    // `tracks` tracks (none: the container's own limit).
    static void setTrackLimit(std::optional<int> tracks);

    // Frames per second and bit-rate multiplier of a frame rate.
    static int framesPerSecond(CaptureFrameRate rate);
    static int bitRateMultiplier(CaptureFrameRate rate);
    // width × height × 4 × multiplier, kept within 2,000,000 and 48,000,000.
    static int64_t averageBitRate(int32_t width, int32_t height, CaptureFrameRate rate);

  private:
    struct FailureReport;

    RecordingFileWriter(std::filesystem::path outputPath, media::MovieFileType fileType,
                        std::set<AudioSource> audioSources, CaptureFrameRate frameRate,
                        bool outputClaimed,
                        std::shared_ptr<const capture::RecordingTimeline> timeline);
    // Why setting the movie up failed, and whether the file itself did.
    struct SetUpFailure {
        WriterError error;
        bool fileFailed = false;
    };
    // On the writing queue. A failure of the file itself is reported and ends the writer; one
    // of this frame (no format, an unusable size) lets the next frame try again.
    Result<void, SetUpFailure> setUp(const media::VideoSample& sample);
    // `handedAt`: when the sample was handed over, on the samples' clock.
    void handleVideo(const media::VideoSample& sample, media::MediaTime handedAt);
    void handleAudio(const media::AudioSample& sample, AudioSource source,
                     media::MediaTime handedAt);
    // Sound handed over and not yet passed to the writing queue.
    struct HandedAudio {
        media::AudioSample sample;
        AudioSource source;
        media::MediaTime handedAt;
    };
    // With audioBatchMutex_ held: the gathered sound, leaving none.
    std::vector<HandedAudio> takeAudioBatch();
    void handleAudioBatch(const std::vector<HandedAudio>& batch);
    // Logs the first sample left out for lying ahead of the clock.
    void reportAhead(const char* what, media::MediaTime by);
    void handleTimedAudio(const media::AudioSample& sample, AudioSource source);
    void handleFinish(Completion completion, std::optional<media::MediaTime> stoppedAt);
    bool writerAcceptsSamples();
    // Holds the newest sound of `source` back and writes what has become old enough.
    void holdSound(const media::AudioSample& sample, AudioSource source);
    // At the finish: the sound still held, cut at `stop` (on the movie's timeline) when given.
    void writeHeldSound(std::optional<media::MediaTime> stop);
    // `waitForRoom`: at the finish, where nothing more comes, a full queue is waited for.
    void writeAudio(const media::AudioSample& sample, AudioSource source, bool waitForRoom = false);
    void showLastPictureUntil(media::MediaTime stoppedAt);
    void fillSilenceToPicturesEnd();

    const std::filesystem::path outputPath_;
    const media::MovieFileType fileType_;
    const std::set<AudioSource> audioSources_;
    const CaptureFrameRate frameRate_;
    const std::shared_ptr<const capture::RecordingTimeline> timeline_;
    // Touched only on writingQueue_.
    std::shared_ptr<media::MovieWriter> writer_;
    std::optional<media::MovieWriter::InputID> videoInput_;
    std::optional<media::MovieWriter::InputID> systemAudioInput_;
    std::optional<media::MovieWriter::InputID> microphoneAudioInput_;
    bool startedSession_ = false;
    // Where the pictures and each sound track reached, so that a sound track that stopped early
    // (its sound server went away) is filled with silence up to the last picture at the finish.
    media::MediaTime sessionStart_;
    media::MediaTime picturesEnd_;
    std::optional<media::VideoSample> lastPicture_;  // on the movie's timeline
    std::map<AudioSource, media::MediaTime> soundEnd_;
    // Per track: the newest sound, in the order it came, and the latest end among it.
    struct HeldSound {
        std::deque<media::AudioSample> samples;
        media::MediaTime newestEnd;
    };
    std::map<AudioSource, HeldSound> heldSound_;
    bool finished_ = false;    // finish was handled: later samples are dropped
    bool ownsOutput_ = false;  // the file at outputPath_ is this writer's (claimed or created)
    bool failed_ = false;      // set up failed for good, or writing failed: samples are dropped
    std::optional<WriterError::Step> loggedSetUpStep_;  // the frame set-up failure last logged
    std::shared_ptr<FailureReport> failureReport_;
    // Sound that reached the queue before the first frame was set up (creating the encoder of a
    // large picture takes a while): kept, newest last, and written once the session has started.
    std::deque<std::pair<media::AudioSample, AudioSource>> earlyAudio_;
    int64_t earlyAudioFrames_ = 0;
    bool reportedAhead_ = false;
    std::atomic<uint64_t> droppedVideo_{0};
    std::atomic<uint64_t> droppedAudio_{0};
    std::atomic<uint64_t> audioHandOvers_{0};
    std::mutex audioBatchMutex_;  // guards: audioBatch_, audioBatchSeconds_
    std::vector<HandedAudio> audioBatch_;
    double audioBatchSeconds_ = 0;
    // Last member: destroyed first, running the blocks still queued while the rest is alive.
    SerialQueue writingQueue_;
};

}  // namespace zimlo::capture
