#pragma once

#include <QString>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/ScreenCaptureStatus.h"
#include "compose/ExportJob.h"
#include "compose/FollowingExport.h"
#include "model/AspectSettings.h"
#include "model/DraftStore.h"
#include "model/RecordingProject.h"
#include "model/RecordingSettings.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/Result.h"
#include "platform/storage/RecordingFolder.h"
#include "recording/CaptureLossWatch.h"
#include "recording/FollowerPace.h"
#include "recording/SpareProcessorWatch.h"

namespace zimlo::recording {

// What the recording window gathered during one recording, read once when the project is built.
struct FinishInputs {
    AspectSettings aspect;
    std::vector<PiPKeyframe> pipTrack;
    std::vector<SubtitleSegment> subtitleTrack;  // in arrival order
    SubtitleLayout subtitleLayout;
    bool isSubtitleEnabled = false;
    std::optional<capture::ScreenCaptureStatus> latestCaptureStatus;
    RecordingSettings recordingSettings = RecordingSettings::defaultSettings();
    double elapsed = 0;  // seconds since the recording began
};

// What has been gathered so far of the recording under way.
struct FollowInputs {
    FinishInputs gathered;  // as the finish would take them now (nothing is ended)
    // Recording time before which the subtitle track is complete (every word said before it
    // has its final text); infinity when nothing more can join.
    double subtitlesSettledUntil = std::numeric_limits<double>::infinity();
    // The screen capture's running totals; none from a host that cannot say (the composition
    // then starts at once and is never stopped for the capture's sake).
    std::optional<CaptureFrameCounts> screenFrames;
};

// Turns the files of a stopped recording into a saved draft: mixes the two sounds into the screen
// movie, builds the project, composes a finished movie when the project needs one, saves the
// draft and deletes the temporary files. Every failure after the stop keeps the raw recording in
// a draft; only a failing draft store loses the draft, and then every file stays where it is.
// Lives on the main thread; owned by its host, whose lifetime bounds it.
class RecordingFinishPipeline : public std::enable_shared_from_this<RecordingFinishPipeline> {
    struct Private {};

  public:
    // The recording window's side.
    class Host {
      public:
        virtual ~Host() = default;
        // Calls `done` once the subtitles of what was said before the stop have all joined
        // the track (or the wait for them was given up). A host without subtitles calls it at
        // once.
        // By value: the hosts that wait keep `done` until the subtitles settle.
        virtual void whenSubtitlesSettled(
            std::function<void()> done) {  // NOLINT(performance-unnecessary-value-param)
            done();
        }
        // Called once per recording when the files are taken over (which also ends the
        // collection of subtitles).
        virtual FinishInputs takeFinishInputs() = 0;
        // Whether what was gathered so far already asks for a composed movie (camera window,
        // split screen, a fixed aspect or subtitles); read when the files arrive, before they
        // are taken over. A host that cannot tell says no.
        virtual bool compositionExpected() const { return false; }
        // What the running recording has gathered so far, for its composed movie to be made
        // while it runs; none while nothing is recorded, and always for a host that cannot say
        // (the default: nothing is composed before the stop). Read a few times a second from
        // recordingStarted until the files arrive.
        virtual std::optional<FollowInputs> followInputs() const { return std::nullopt; }
        virtual void finishStatusChanged(const QString& status) = 0;
        // The overlay that covers the window while a movie is composed.
        virtual void processingOverlayShown(const QString& title, const QString& detail) = 0;
        virtual void processingOverlayHidden() = 0;
        // The overlay's title while a movie is composed: the export's progress ("正在合成视频…
        // 42%"), at least twice a second; the detail line stays. Whether the export can be
        // cancelled is canCancelExport().
        virtual void processingTitleChanged(const QString& title) { (void)title; }
        // The pipeline is done: the window is ready for the next recording. `saved` is the stored
        // project, none when the draft store failed.
        virtual void finishEnded(const std::optional<RecordingProject>& saved) = 0;
    };

    // Outcome of a mix: the movie to use, or the user-facing description of the failure.
    using MixOutcome = Result<std::filesystem::path, std::string>;
    // Outcome of an export: the composed movie, or the user-facing description of the failure.
    using ExportOutcome = Result<std::filesystem::path, std::string>;

    // The components the pipeline drives; empty members use the application's own (the audio
    // mixer, a video compositor, the shared draft store, the system's temporary directory).
    // Completions are called on the main queue, never before the call returns.
    struct Services {
        std::function<void(const std::filesystem::path& main, std::function<void(MixOutcome)>)>
            mixAudio;
        // The exporter reports progress (0 to 1, main queue) and stops when `job` is cancelled;
        // a cancelled export reports a failure.
        std::function<void(const RecordingProject&, double longEdge, int framesPerSecond,
                           std::function<void(ExportOutcome)> done,
                           std::function<void(double)> progress,
                           std::shared_ptr<compose::ExportJob> job)>
            exportMovie;
        // Saves the draft; `surrendered` are temporary movies deleted once it is saved, which the
        // store may take instead of copying (DraftStore::saveDraft).
        std::function<Result<RecordingProject, DraftSaveError>(
            const RecordingProject&, const std::vector<std::filesystem::path>& surrendered)>
            saveDraft;
        // Whether the composed movie is made while the recording runs (FollowingExport), so that
        // the stop leaves only its last seconds to compose; the export after the stop stays the
        // fallback. Off: everything is composed after the stop.
        bool composesWhileRecording = true;
        // Whether that composition runs only on time nobody else wants (the recording never
        // waits for it). Off only for tests that run beside other work and must not wait for
        // the machine to be idle.
        bool composesOnIdleTime = true;
        // How much the screen capture may lose for that composition to start and run on, and
        // how fast it must compose while it has work waiting.
        CaptureLossWatch::Limits captureLossLimits;
        FollowerPace::Limits followerPaceLimits;
        // How much idle processor time the machine must have for that composition to start,
        // and where the machine's processor times are read (empty: /proc/stat).
        SpareProcessorWatch::Limits spareProcessorLimits;
        std::function<std::optional<ProcessorTimes>()> processorTimes;
        // The system's temporary folder (empty: found on creation; it may not exist). Files are
        // deleted after a save only from here and from the recordings folder below.
        std::filesystem::path temporaryDirectory;
        // Where recordings get their folders; empty: recordingsDirectory().
        std::filesystem::path recordingsDirectory;
    };

    static std::shared_ptr<RecordingFinishPipeline> create(Host& host, Services services);
    static std::shared_ptr<RecordingFinishPipeline> create(Host& host) {
        return create(host, Services());
    }
    RecordingFinishPipeline(Private, Host& host, Services services);
    // An export still under way is cancelled: nobody is left to save it, and its half-made
    // movie goes with it. The raw recording stays where it is.
    ~RecordingFinishPipeline();

    // A recording begins: forgets the files, warnings and interruption of the previous one.
    void recordingBegan();
    // The recording's movies are being written (in `folder`, when they have one): from now on,
    // while the host has something to compose, the composed movie is made as they grow, in the
    // folder of the recording.
    void recordingStarted(std::filesystem::path main, std::optional<std::filesystem::path> pip,
                          std::shared_ptr<RecordingFolder> folder = nullptr);
    // The recording was cut short (its movie could not be written), for `reason` ("磁盘空间不足"):
    // what was recorded is saved as it is, uncomposed, and the outcome says it was cut short.
    void recordingInterrupted(const QString& reason);
    // The overlay's "取消合成": stops the export under way; the recording is then saved raw, as
    // when the export fails. Only while canCancelExport().
    void cancelExport();
    bool canCancelExport() const { return exportJob_ && !exportJob_->isCancelled(); }
    // The capture source reported the recorded files (entry point of the pipeline), and the
    // folder they are in, when they have one: the mix and the composed movie go there too, and
    // once the draft is saved the folder is removed. Until then it stays locked, so a crash
    // leaves it for recovery at the next start. Once the subtitles are settled, the sounds are
    // mixed (unless the export will mix them) and the project is built.
    void filesReported(std::optional<std::filesystem::path> main,
                       std::optional<std::filesystem::path> pip,
                       std::shared_ptr<RecordingFolder> folder = nullptr);

    // State, for the window and for tests.
    struct PendingFinish {
        std::optional<std::filesystem::path> main;
        std::optional<std::filesystem::path> pip;
        // The two sounds of `main` are still separate tracks: the export mixes them, or they
        // are mixed before a movie without composition is saved.
        bool soundsUnmixed = false;
    };
    const std::optional<PendingFinish>& pendingFinish() const { return pendingFinish_; }
    const std::vector<std::filesystem::path>& pendingRecordingCleanupURLs() const {
        return pendingRecordingCleanupURLs_;
    }
    const std::optional<std::string>& pendingAudioMixWarning() const {
        return pendingAudioMixWarning_;
    }

    // The composition that follows the running (or last) recording, if one was started.
    const std::shared_ptr<compose::FollowingExport>& follower() const { return follower_; }
    // How the last composed draft's movie came about.
    struct CompositionReport {
        bool followed = false;        // made while recording; otherwise by the export
        std::string fallbackReason;   // why the follower's movie was not used (empty: it was)
        int64_t framesAfterStop = 0;  // frames composed once the recording had ended
        int64_t frameCount = 0;       // of the whole movie
    };
    const std::optional<CompositionReport>& lastComposition() const { return lastComposition_; }

    // Seconds of a movie: its duration, else the longest video track end, else the longest audio
    // track end, else `fallback`; the first finite positive value, 0 when none is.
    static double measuredDuration(const std::optional<std::filesystem::path>& url,
                                   double fallback);

  private:
    // Mixes the sounds of `main` and calls `then` with the movie to use: the mix, or `main`
    // itself when there was nothing to mix or mixing failed (the warning is kept). A fresh mix
    // nobody is left to save is deleted.
    // `announced`: the status line says the sounds are being mixed.
    void mix(const std::filesystem::path& main, bool announced,
             std::function<void(RecordingFinishPipeline&, std::filesystem::path)> then);
    void subtitlesSettled(std::optional<std::filesystem::path> main,
                          std::optional<std::filesystem::path> pip);
    void handOver(std::optional<std::filesystem::path> main,
                  std::optional<std::filesystem::path> pip, bool soundsUnmixed);
    void build();
    // The project as the finish builds it from `files` and what was gathered.
    static RecordingProject projectFrom(const std::optional<std::filesystem::path>& main,
                                        const std::optional<std::filesystem::path>& pip,
                                        const FinishInputs& inputs, double duration);
    void follow();
    // Whether the composition following the recording may run on: it stops for good (this
    // recording) once the capture loses pictures beside it or it cannot keep pace.
    bool followingMayGoOn(const FollowInputs& inputs);
    // Whether a composition may start following the recording now; says why not otherwise.
    bool followingMayStart(const FollowInputs& inputs);
    void stopFollowing();
    enum class GrowingMoviesEnd { complete, abandoned };
    // Stops polling and lets go of the growing movies, telling their readers how they ended.
    void releaseGrowingMovies(GrowingMoviesEnd end);
    // Composes the project: the follower finishes its movie, or else the export makes it.
    void compose(const RecordingProject& project, std::optional<double> unmixedElapsed,
                 const std::vector<std::filesystem::path>& unusedFiles, double longEdge,
                 int framesPerSecond);
    void exportAfterStop(const RecordingProject& project, std::optional<double> unmixedElapsed,
                         const std::vector<std::filesystem::path>& unusedFiles, double longEdge,
                         int framesPerSecond);
    void saveWithoutComposition(const RecordingProject& project, const FinishInputs& inputs,
                                const std::vector<std::filesystem::path>& unusedFiles);
    // `unmixedElapsed`: the recording's elapsed time when its sounds were left to the export.
    void exportFinished(const RecordingProject& project, std::optional<double> unmixedElapsed,
                        std::vector<std::filesystem::path> unusedFiles, ExportOutcome outcome);
    void exportProgressed(double fraction);
    void showExportProgress();
    void scheduleProgressRefresh();
    // Saves the recorded movies and every track as a draft, mixing the main movie's sounds first
    // when they were left to the export (`unmixedElapsed`: the recording's elapsed time then).
    void saveRaw(const RecordingProject& project, std::optional<double> unmixedElapsed,
                 std::vector<std::filesystem::path> unusedFiles,
                 std::optional<std::string> compositionError, std::optional<QString> successText);
    // The texts are taken by value: the pending warning they may come from is cleared on the way.
    void save(const RecordingProject& project, const std::vector<std::filesystem::path>& extraFiles,
              std::optional<std::string> compositionError, std::optional<std::string> audioWarning,
              std::optional<QString> successText);
    // The stop came before the screen movie's first picture: nothing is saved and the user is
    // told why.
    void nothingRecorded();
    void storeFailed(const std::string& description);
    void deleteTemporaryFiles(const std::vector<std::filesystem::path>& files,
                              const RecordingProject& stored) const;
    // Where the mix and the composed movie of the current recording are written.
    std::filesystem::path workDirectory() const;
    // Whether the clean-up may delete `file`: it lies in the temporary folder, the recording's
    // folder or another recording's folder.
    bool isDeletable(const std::filesystem::path& file) const;

    Host& host_;
    Services services_;
    std::optional<PendingFinish> pendingFinish_;
    // The subtitles the draft's movie shows, on its timeline: written beside it once it is saved.
    std::vector<SubtitleSegment> subtitleFileSegments_;
    // The export under way, with how far it has got.
    std::shared_ptr<compose::ExportJob> exportJob_;
    compose::RemainingTimeEstimate exportEstimate_;
    std::vector<std::filesystem::path> pendingRecordingCleanupURLs_;
    std::optional<std::string> pendingAudioMixWarning_;
    std::optional<QString> interruption_;
    std::shared_ptr<RecordingFolder> recordingFolder_;
    // The running recording's movies as they grow, and the composition following them.
    std::shared_ptr<media::GrowingFile> growingMain_;
    std::shared_ptr<media::GrowingFile> growingCamera_;
    std::shared_ptr<compose::FollowingExport> follower_;
    std::optional<DelayedWorkHandle> followPoll_;
    CaptureLossWatch captureWatch_;
    FollowerPace followerPace_;
    SpareProcessorWatch spareWatch_;
    bool machineTellsIdleTime_ = true;
    // Why no composition has started following this recording yet, if one was wanted.
    std::optional<std::string> notStartedBecause_;
    // Why the composition following this recording was stopped before the stop, if it was.
    std::optional<std::string> followingGivenUp_;
    std::optional<CompositionReport> lastComposition_;
};

}  // namespace zimlo::recording
