#include "recording/RecordingFinishPipeline.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>
#include <sstream>
#include <system_error>
#include <utility>

#include "capture/ScreenRecordingAudioMixer.h"
#include "compose/ExportSession.h"
#include "compose/VideoCompositor.h"
#include "model/DraftStore.h"
#include "platform/log/Log.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"
#include "recording/RecordingWindowText.h"
#include "subtitles/SubtitleFiles.h"

namespace zimlo::recording {

namespace fs = std::filesystem;

namespace {

// How often the overlay's progress line is refreshed while a movie is composed.
constexpr double kProgressRefreshSeconds = 0.25;
// How often what the recording gathered is handed to the composition following it.
constexpr double kFollowSeconds = 0.25;

QString text(const std::string& s) { return QString::fromStdString(s); }

// The absolute, symlink-free form of a path (as far as it exists), without a trailing separator.
fs::path standardised(const fs::path& path) {
    std::error_code error;
    fs::path result = fs::weakly_canonical(path, error);
    if (error) result = fs::absolute(path, error).lexically_normal();
    if (error) result = path.lexically_normal();
    if (!result.has_filename() && result.has_relative_path()) result = result.parent_path();
    return result;
}

// A file failure in the user's words: a full disk (or quota) by name, else the system's text,
// then the file it stopped at.
std::string describe(const fs::path& path, const std::error_code& code) {
    std::string description =
        code == std::errc::no_space_on_device ||
                (code.category() == std::generic_category() && code.value() == EDQUOT)
            ? QCoreApplication::translate("RecordingFinishPipeline", "磁盘空间不足").toStdString()
            : code.message();
    if (path.empty()) return description;
    return QCoreApplication::translate("RecordingFinishPipeline", "%1（%2）")
        .arg(QString::fromStdString(description), QString::fromStdString(path.string()))
        .toStdString();
}

// Whether the screen movie was made at all: its writer creates the file with the first picture.
// A file that cannot be looked at is taken as there, for the draft store to report.
bool screenMovieWritten(const fs::path& main) {
    std::error_code error;
    const bool exists = fs::exists(main, error);
    return exists || error;
}

std::string describe(const DraftSaveError& error) {
    return error.code ? describe(error.path, error.code) : error.message;
}

void mixWithMixer(const fs::path& directory, const fs::path& main,
                  std::function<void(RecordingFinishPipeline::MixOutcome)> done) {
    capture::ScreenRecordingAudioMixer::mixAudio(
        main,
        [done = std::move(done)](capture::MixerResult result) {
            if (result.ok())
                done(std::move(result).value());
            else
                done(fail(result.error().description()));
        },
        {.directory = directory});
}

void exportWithCompositor(const fs::path& directory, const RecordingProject& project,
                          double longEdge, int framesPerSecond,
                          const std::function<void(RecordingFinishPipeline::ExportOutcome)>& done,
                          const std::function<void(double)>& progress,
                          const std::shared_ptr<compose::ExportJob>& job) {
    using Outcome = RecordingFinishPipeline::ExportOutcome;
    auto compositor = std::make_shared<compose::VideoCompositor>();
    compositor->exportDirectory = directory;
    compositor->exportLongEdge = longEdge;
    compositor->exportFrameRate = framesPerSecond;
    // The compositor reports build failures before exportMovie returns; those are re-posted so
    // that the pipeline always hears back on a later turn of the main queue.
    auto returned = std::make_shared<bool>(false);
    auto deliver = [done, returned](Outcome outcome) {
        if (*returned)
            done(std::move(outcome));
        else
            MainQueue::post([done, outcome = std::move(outcome)] { done(outcome); });
    };
    try {
        compositor->exportMovie(
            project, true, 0, std::nullopt,
            [compositor, deliver](compose::VideoCompositor::Result result) {
                if (result.ok())
                    deliver(std::move(result).value());
                else
                    deliver(fail(result.error().description()));
            },
            progress, job);
    } catch (const std::exception& error) {
        deliver(fail(compose::CompositorError::exportSessionFailed(error.what()).description()));
    }
    *returned = true;
}

RecordingFinishPipeline::Services withDefaults(RecordingFinishPipeline::Services services) {
    if (!services.saveDraft)
        services.saveDraft = [](const RecordingProject& project,
                                const std::vector<fs::path>& surrendered) {
            return DraftStore::shared()->saveDraft(project, surrendered);
        };
    if (services.temporaryDirectory.empty()) {
        std::error_code ignored;  // a missing $TMPDIR leaves it empty: nothing is deleted there
        services.temporaryDirectory = fs::temp_directory_path(ignored);
    }
    if (services.recordingsDirectory.empty()) services.recordingsDirectory = recordingsDirectory();
    if (!services.processorTimes) services.processorTimes = [] { return readProcessorTimes(); };
    return services;
}

}  // namespace

std::shared_ptr<RecordingFinishPipeline> RecordingFinishPipeline::create(Host& host,
                                                                         Services services) {
    return std::make_shared<RecordingFinishPipeline>(Private{}, host, std::move(services));
}

RecordingFinishPipeline::RecordingFinishPipeline(Private, Host& host, Services services)
    : host_(host),
      services_(withDefaults(std::move(services))),
      captureWatch_(services_.captureLossLimits),
      followerPace_(services_.followerPaceLimits),
      spareWatch_(services_.spareProcessorLimits) {
    // The mix and the composed movie go beside the recording, so that they are deleted with it
    // once the draft store has copied what it keeps.
    if (!services_.mixAudio)
        services_.mixAudio = [this](const fs::path& main, std::function<void(MixOutcome)> done) {
            mixWithMixer(workDirectory(), main, std::move(done));
        };
    if (!services_.exportMovie)
        services_.exportMovie = [this](auto&&... arguments) {
            exportWithCompositor(workDirectory(), std::forward<decltype(arguments)>(arguments)...);
        };
}

fs::path RecordingFinishPipeline::workDirectory() const {
    return recordingFolder_ ? recordingFolder_->path() : services_.temporaryDirectory;
}

RecordingFinishPipeline::~RecordingFinishPipeline() {
    if (exportJob_) exportJob_->cancel();
}

void RecordingFinishPipeline::recordingBegan() {
    // A folder still here was not saved (the draft store failed): letting go of it leaves it to
    // recovery at the next start.
    recordingFolder_.reset();
    stopFollowing();
    if (follower_) follower_->cancel();
    follower_.reset();
    captureWatch_.reset();
    followerPace_.reset();
    spareWatch_.reset();
    notStartedBecause_.reset();
    followingGivenUp_.reset();
    lastComposition_.reset();
    subtitleFileSegments_.clear();
    pendingRecordingCleanupURLs_.clear();
    pendingAudioMixWarning_.reset();
    pendingFinish_.reset();
    interruption_.reset();
}

void RecordingFinishPipeline::recordingInterrupted(const QString& reason) {
    if (!interruption_) interruption_ = reason;
    // Nothing is composed of a recording cut short.
    if (follower_) follower_->cancel();
}

void RecordingFinishPipeline::recordingStarted(fs::path main, std::optional<fs::path> pip,
                                               std::shared_ptr<RecordingFolder> folder) {
    stopFollowing();
    // The composed movie is made in the recording's folder, and goes with it.
    if (folder) recordingFolder_ = std::move(folder);
    if (!services_.composesWhileRecording) return;
    growingMain_ = media::GrowingFile::make(std::move(main));
    if (pip) growingCamera_ = media::GrowingFile::make(std::move(*pip));
    follow();
}

void RecordingFinishPipeline::stopFollowing() {
    // A movie nobody reports as complete any more is not waited for.
    releaseGrowingMovies(GrowingMoviesEnd::abandoned);
}

void RecordingFinishPipeline::releaseGrowingMovies(GrowingMoviesEnd end) {
    if (followPoll_ && *followPoll_) (*followPoll_)->cancel();
    followPoll_.reset();
    for (const auto& movie : {growingMain_, growingCamera_}) {
        if (!movie) continue;
        if (end == GrowingMoviesEnd::complete)
            movie->complete();
        else
            movie->abandon();
    }
    growingMain_.reset();
    growingCamera_.reset();
}

void RecordingFinishPipeline::follow() {
    if (!growingMain_ || interruption_) return;
    // Looked at again a little later, until the files arrive.
    followPoll_ = MainQueue::postAfter(kFollowSeconds,
                                       weakly(weak_from_this(), [](RecordingFinishPipeline& self) {
                                           self.followPoll_.reset();
                                           self.follow();
                                       }));
    const std::optional<FollowInputs> inputs = host_.followInputs();
    if (!inputs || !followingMayGoOn(*inputs)) return;
    const FinishInputs& gathered = inputs->gathered;
    const std::optional<fs::path> camera =
        growingCamera_ ? std::optional<fs::path>(growingCamera_->url()) : std::nullopt;
    compose::FollowedState state;
    state.project =
        projectFrom(growingMain_->url(), camera, gathered, std::max(gathered.elapsed, 0.0));
    // Camera window places are known as they are made; subtitles wait for their final text.
    state.settledUntil = gathered.elapsed;
    if (gathered.isSubtitleEnabled)
        state.settledUntil = std::min(state.settledUntil, inputs->subtitlesSettledUntil);
    const auto& aspect = gathered.aspect;
    const bool worthComposing = aspect.isPiPEnabled || aspect.isSplitScreenEnabled ||
                                aspect.main != AspectRatio::default_ || gathered.isSubtitleEnabled;
    if (follower_) {
        follower_->update(std::move(state));
    } else if (worthComposing && followingMayStart(*inputs)) {
        const auto& resolution = gathered.recordingSettings.resolution;
        compose::FollowingExport::Settings settings;
        settings.exportLongEdge =
            static_cast<double>(std::max(resolution.width, resolution.height));
        settings.exportFrameRate = rawValue(gathered.recordingSettings.frameRate);
        settings.exportDirectory = workDirectory();
        settings.runsWhenIdle = services_.composesOnIdleTime;
        follower_ = compose::FollowingExport::start({growingMain_, growingCamera_}, settings,
                                                    std::move(state));
    }
}

bool RecordingFinishPipeline::followingMayStart(const FollowInputs& inputs) {
    // The recording comes first: nothing is composed beside a capture that is losing pictures,
    // nor on a machine without the time to spare for it.
    std::ostringstream reason;
    const auto capture = captureWatch_.verdict();
    const auto spare = spareWatch_.verdict();
    if (inputs.screenFrames && capture != CaptureLossWatch::Verdict::keepingUp) {
        if (capture == CaptureLossWatch::Verdict::unknown) return false;
        const CaptureFrameCounts window = captureWatch_.lastWindow();
        reason << "the capture was losing pictures (" << window.lost << " of "
               << window.taken + window.lost << " in its last seconds)";
    } else if (spare == SpareProcessorWatch::Verdict::unknown && machineTellsIdleTime_) {
        return false;  // a window not seen yet; a machine that cannot say is not waited for
    } else if (spare == SpareProcessorWatch::Verdict::tooLittle) {
        reason << "the machine had " << *spareWatch_.idleCores()
               << " of a core idle in its last seconds (" << spareWatch_.minimumIdleCores()
               << " needed)";
    } else {
        if (const auto idle = spareWatch_.idleCores()) {
            ZIMLO_LOG_INFO("finish")
                << "composing while recording, with " << *idle << " of a core idle";
        }
        notStartedBecause_.reset();
        return true;
    }
    if (!notStartedBecause_) {
        ZIMLO_LOG_INFO("finish") << "not composing while recording yet: " << reason.str();
    }
    notStartedBecause_ = reason.str();
    return false;
}

bool RecordingFinishPipeline::followingMayGoOn(const FollowInputs& inputs) {
    if (followingGivenUp_) return false;
    const double now = media::MonotonicClock::nowSeconds();
    if (inputs.screenFrames) captureWatch_.count(now, *inputs.screenFrames);
    // Idle time says whether one may start; once running it takes that time itself.
    if (!follower_) {
        const std::optional<ProcessorTimes> times = services_.processorTimes();
        machineTellsIdleTime_ = times.has_value();
        spareWatch_.count(now, times);
    }
    if (!follower_) return true;
    followerPace_.count(now, follower_->composedSeconds(),
                        std::min(inputs.gathered.elapsed, inputs.subtitlesSettledUntil));
    std::ostringstream reason;
    if (inputs.screenFrames && captureWatch_.verdict() == CaptureLossWatch::Verdict::losing) {
        const CaptureFrameCounts window = captureWatch_.lastWindow();
        reason << "the capture lost " << window.lost << " of " << window.taken + window.lost
               << " pictures in its last seconds beside it";
    } else if (followerPace_.fallingBehind()) {
        reason << "it composed " << followerPace_.lastPace()
               << " s of movie a second with work waiting, too slow to keep up";
    } else {
        return true;
    }
    followingGivenUp_ = reason.str();
    ZIMLO_LOG_WARN("finish") << "stopped composing while recording: " << *followingGivenUp_
                             << "; the movie is composed after the stop";
    follower_->cancel();
    follower_.reset();
    return false;
}

void RecordingFinishPipeline::filesReported(std::optional<fs::path> main,
                                            std::optional<fs::path> pip,
                                            std::shared_ptr<RecordingFolder> folder) {
    if (folder) recordingFolder_ = std::move(folder);
    // The movies are complete: the composition following them reads them to their end.
    releaseGrowingMovies(GrowingMoviesEnd::complete);
    // Speech said just before the stop may still be in recognition: its subtitles belong to
    // the project and decide whether the movie is composed.
    host_.whenSubtitlesSettled(
        weakly(weak_from_this(),
               [main = std::move(main), pip = std::move(pip)](RecordingFinishPipeline& self) {
                   self.subtitlesSettled(main, pip);
               }));
}

void RecordingFinishPipeline::subtitlesSettled(std::optional<fs::path> main,
                                               std::optional<fs::path> pip) {
    if (!main) {
        handOver(std::nullopt, std::move(pip), false);
        return;
    }
    if (!screenMovieWritten(*main)) {
        handOver(std::move(*main), std::move(pip), false);  // nothing to mix
        return;
    }
    if (!interruption_ && host_.compositionExpected()) {
        // The export mixes a movie's sound tracks itself, with the same volumes and encoding, so
        // a separate pass would only write the whole movie once more for the export to read.
        handOver(std::move(*main), std::move(pip), true);
        return;
    }
    mix(*main, true, [pip](RecordingFinishPipeline& self, fs::path used) {
        self.handOver(std::move(used), pip, false);
    });
}

void RecordingFinishPipeline::mix(const fs::path& main, bool announced,
                                  std::function<void(RecordingFinishPipeline&, fs::path)> then) {
    if (announced)
        host_.finishStatusChanged(QCoreApplication::translate("RecordingFinishPipeline",
                                                              "正在同步电脑声音和输入设备声音…"));
    std::weak_ptr<RecordingFinishPipeline> weak = weak_from_this();
    services_.mixAudio(main, [weak, main, then = std::move(then)](MixOutcome outcome) {
        const bool newFile =
            outcome.ok() && !outcome->empty() && standardised(*outcome) != standardised(main);
        auto self = weak.lock();
        if (!self) {
            // Nobody will save it any more.
            if (newFile) {
                std::error_code ignored;
                fs::remove(*outcome, ignored);
            }
            return;
        }
        if (!outcome.ok()) {
            self->pendingAudioMixWarning_ = outcome.error();
            then(*self, main);
        } else if (newFile) {
            self->pendingRecordingCleanupURLs_.push_back(main);
            then(*self, *outcome);
        } else {
            then(*self, main);
        }
    });
}

void RecordingFinishPipeline::handOver(std::optional<fs::path> main, std::optional<fs::path> pip,
                                       bool soundsUnmixed) {
    pendingFinish_ = PendingFinish{std::move(main), std::move(pip), soundsUnmixed};
    // On a later turn: a second report arriving meanwhile replaces the files, built once.
    MainQueue::post(
        weakly(shared_from_this(), [](RecordingFinishPipeline& self) { self.build(); }));
}

void RecordingFinishPipeline::build() {
    if (!pendingFinish_) return;  // an earlier hand-over already took the files
    const PendingFinish files = std::move(*pendingFinish_);
    pendingFinish_.reset();
    const FinishInputs inputs = host_.takeFinishInputs();
    if (files.main && !screenMovieWritten(*files.main)) {
        nothingRecorded();
        return;
    }
    RecordingProject project =
        projectFrom(files.main, files.pip, inputs, measuredDuration(files.main, inputs.elapsed));

    // A camera file recorded while the camera was switched off before the stop: the user turned
    // the camera window away and its keyframes are gone, so nothing can show it. It is deleted
    // with the other temporary files once the draft is saved, and kept when saving fails.
    std::vector<fs::path> unusedFiles;
    if (files.pip && !inputs.aspect.isPiPEnabled) unusedFiles.push_back(*files.pip);

    // Burned in when an export succeeds, and what an export of a raw draft would burn in
    // otherwise: the same cues either way, written beside the draft's movie.
    if (!project.subtitleTrack.empty())
        subtitleFileSegments_ =
            compose::VideoCompositor::exportedSubtitles(project, 0, std::nullopt);

    // Only a draft that is composed uses the movie composed while recording.
    if (follower_ && (interruption_ || !project.needsComposition())) {
        follower_->cancel();
        follower_.reset();
    }
    if (interruption_) {
        // Cut short: nothing is composed (no more writing on a disk that just failed), the raw
        // movies and every track are kept as a draft.
        saveRaw(project, files.soundsUnmixed ? std::optional<double>(inputs.elapsed) : std::nullopt,
                unusedFiles, std::nullopt,
                QCoreApplication::translate("RecordingFinishPipeline",
                                            "%1，录制已中断，已保存中断前的录制")
                    .arg(*interruption_));
        return;
    }

    if (!project.needsComposition()) {
        if (auto main = localFile(project.mainVideo); files.soundsUnmixed && main) {
            // Composition was expected when the files came (the camera has been switched off
            // since): the raw movie is saved with its sounds mixed, as always.
            mix(*main, true,
                [project, inputs, unusedFiles](RecordingFinishPipeline& self, fs::path used) {
                    RecordingProject mixed = project;
                    mixed.mainVideo = used;
                    mixed.duration = measuredDuration(used, inputs.elapsed);
                    self.saveWithoutComposition(mixed, inputs, unusedFiles);
                });
            return;
        }
        saveWithoutComposition(project, inputs, unusedFiles);
        return;
    }

    exportJob_ = std::make_shared<compose::ExportJob>();
    exportEstimate_ = {};
    exportEstimate_.start(media::MonotonicClock::nowSeconds());
    host_.processingOverlayShown(
        QCoreApplication::translate("RecordingFinishPipeline", "正在合成视频…"),
        inputs.isSubtitleEnabled
            ? QCoreApplication::translate("RecordingFinishPipeline", "正在写入字幕和画面，请稍候")
            : QCoreApplication::translate("RecordingFinishPipeline", "正在处理录制画面，请稍候"));
    host_.finishStatusChanged(
        inputs.isSubtitleEnabled
            ? QCoreApplication::translate("RecordingFinishPipeline", "正在合成字幕到视频文件…")
            : QCoreApplication::translate("RecordingFinishPipeline", "正在合成视频文件…"));

    const auto& resolution = inputs.recordingSettings.resolution;
    const double longEdge = static_cast<double>(std::max(resolution.width, resolution.height));
    const int framesPerSecond = rawValue(inputs.recordingSettings.frameRate);
    scheduleProgressRefresh();
    compose(project, files.soundsUnmixed ? std::optional<double>(inputs.elapsed) : std::nullopt,
            unusedFiles, longEdge, framesPerSecond);
}

RecordingProject RecordingFinishPipeline::projectFrom(const std::optional<fs::path>& main,
                                                      const std::optional<fs::path>& pip,
                                                      const FinishInputs& inputs, double duration) {
    RecordingProject project;
    project.id = Uuid::generate();
    project.createdAt = Date::now();
    project.mainVideo = main;
    project.pipVideo = inputs.aspect.isPiPEnabled ? pip : std::nullopt;
    project.duration = duration;
    if (inputs.aspect.isPiPEnabled) project.pipTrack = inputs.pipTrack;
    if (inputs.isSubtitleEnabled) {
        project.subtitleTrack = inputs.subtitleTrack;
        std::stable_sort(project.subtitleTrack.begin(), project.subtitleTrack.end(),
                         [](const SubtitleSegment& a, const SubtitleSegment& b) {
                             return a.startTime < b.startTime;
                         });
    }
    project.subtitleLayout = inputs.subtitleLayout;
    project.emphasizesSubtitleKeywords = true;
    project.isDraft = false;
    project.aspect = inputs.aspect;
    project.sourceKind = RecordingSourceKind::screen;
    return project;
}

void RecordingFinishPipeline::compose(const RecordingProject& project,
                                      std::optional<double> unmixedElapsed,
                                      const std::vector<fs::path>& unusedFiles, double longEdge,
                                      int framesPerSecond) {
    if (!follower_) {
        CompositionReport report;
        report.fallbackReason = followingGivenUp_.value_or(
            notStartedBecause_.value_or("nothing was composed while recording"));
        lastComposition_ = report;
        exportAfterStop(project, unmixedElapsed, unusedFiles, longEdge, framesPerSecond);
        return;
    }
    // The movie composed while recording needs only its last seconds; when it cannot be
    // finished, the export makes it from the recorded movies as before.
    follower_->finish(
        project,
        weakly(
            weak_from_this(),
            [project, unmixedElapsed, unusedFiles, longEdge, framesPerSecond](
                RecordingFinishPipeline& self, const compose::FollowingExport::Outcome& outcome) {
                using Ending = compose::FollowingExport::Ending;
                self.follower_.reset();
                const auto& statistics = outcome.statistics;
                CompositionReport report;
                report.followed = outcome.ending == Ending::composed;
                report.frameCount = statistics.frameCount;
                report.framesAfterStop =
                    statistics.frameCount - std::max<int64_t>(statistics.framesBeforeFinish, 0);
                const bool userCancelled = self.exportJob_ && self.exportJob_->isCancelled();
                if (outcome.ending == Ending::composed || userCancelled) {
                    self.lastComposition_ = report;
                    self.exportFinished(project, unmixedElapsed, unusedFiles,
                                        outcome.ending == Ending::composed
                                            ? ExportOutcome(outcome.movie)
                                            : ExportOutcome(fail(std::string(
                                                  compose::ExportSession::kCancelledText))));
                    return;
                }
                report.fallbackReason =
                    outcome.ending == Ending::cancelled ? "cancelled" : outcome.reason;
                ZIMLO_LOG_WARN("finish")
                    << "the movie composed while recording is not used (" << report.fallbackReason
                    << "); composing it after the stop";
                self.lastComposition_ = report;
                self.exportAfterStop(project, unmixedElapsed, unusedFiles, longEdge,
                                     framesPerSecond);
            }),
        weakly(weak_from_this(), [](RecordingFinishPipeline& self,
                                    double fraction) { self.exportProgressed(fraction); }),
        exportJob_);
}

void RecordingFinishPipeline::exportAfterStop(const RecordingProject& project,
                                              std::optional<double> unmixedElapsed,
                                              const std::vector<fs::path>& unusedFiles,
                                              double longEdge, int framesPerSecond) {
    follower_.reset();
    services_.exportMovie(
        project, longEdge, framesPerSecond,
        weakly(weak_from_this(),
               [project, unusedFiles, unmixedElapsed](RecordingFinishPipeline& self,
                                                      ExportOutcome outcome) {
                   self.exportFinished(project, unmixedElapsed, unusedFiles, std::move(outcome));
               }),
        weakly(weak_from_this(), [](RecordingFinishPipeline& self,
                                    double fraction) { self.exportProgressed(fraction); }),
        exportJob_);
}

void RecordingFinishPipeline::exportProgressed(double fraction) {
    if (!canCancelExport()) return;  // over, or being cancelled
    exportEstimate_.update(fraction, media::MonotonicClock::nowSeconds());
    showExportProgress();
}

void RecordingFinishPipeline::showExportProgress() {
    host_.processingTitleChanged(
        exportProgressText(exportEstimate_.fraction(),
                           exportEstimate_.secondsLeft(media::MonotonicClock::nowSeconds())));
}

void RecordingFinishPipeline::scheduleProgressRefresh() {
    // The time left counts down between the exporter's reports, which may be far apart.
    MainQueue::postAfter(
        kProgressRefreshSeconds,
        weakly(shared_from_this(), [job = exportJob_](RecordingFinishPipeline& self) {
            if (self.exportJob_ != job || !self.canCancelExport()) return;
            self.showExportProgress();
            self.scheduleProgressRefresh();
        }));
}

void RecordingFinishPipeline::cancelExport() {
    if (!canCancelExport()) return;
    exportJob_->cancel();
    host_.processingOverlayShown(
        QCoreApplication::translate("RecordingFinishPipeline", "正在取消合成…"),
        QCoreApplication::translate("RecordingFinishPipeline", "原始视频不会丢失"));
    host_.finishStatusChanged(
        QCoreApplication::translate("RecordingFinishPipeline", "已取消合成，正在保存原始录制…"));
}

void RecordingFinishPipeline::saveWithoutComposition(const RecordingProject& project,
                                                     const FinishInputs& inputs,
                                                     const std::vector<fs::path>& unusedFiles) {
    std::optional<QString> successText;
    if (!pendingAudioMixWarning_) {
        successText = inputs.latestCaptureStatus
                          ? QCoreApplication::translate("RecordingFinishPipeline",
                                                        "录制完成，已保存原始视频 · %1")
                                .arg(text(inputs.latestCaptureStatus->displayText()))
                          : QCoreApplication::translate("RecordingFinishPipeline",
                                                        "录制完成，已保存原始视频");
    }
    // The draft store copies the main movie, so its temporary original is not needed after
    // a successful save.
    std::vector<fs::path> extraFiles = unusedFiles;
    if (auto main = localFile(project.mainVideo)) extraFiles.insert(extraFiles.begin(), *main);
    save(project, extraFiles, std::nullopt, pendingAudioMixWarning_, successText);
}

void RecordingFinishPipeline::exportFinished(const RecordingProject& project,
                                             std::optional<double> unmixedElapsed,
                                             std::vector<fs::path> unusedFiles,
                                             ExportOutcome outcome) {
    const bool cancelled = exportJob_ && exportJob_->isCancelled();
    exportJob_.reset();

    if (cancelled) {
        // The user asked for the raw recording: a movie finished just before the cancel took
        // effect is not kept either.
        if (outcome.ok() && !outcome->empty()) {
            std::error_code ignored;
            fs::remove(*outcome, ignored);
        }
        saveRaw(
            project, unmixedElapsed, std::move(unusedFiles), std::nullopt,
            QCoreApplication::translate("RecordingFinishPipeline", "已取消合成，已保存原始录制"));
        return;
    }
    if (!outcome.ok()) {
        host_.processingOverlayShown(
            QCoreApplication::translate("RecordingFinishPipeline", "合成失败，正在保存原始录制…"),
            QCoreApplication::translate("RecordingFinishPipeline", "原始视频不会丢失"));
        host_.finishStatusChanged(QCoreApplication::translate("RecordingFinishPipeline",
                                                              "字幕合成失败，正在保存原始录制…"));
        saveRaw(project, unmixedElapsed, std::move(unusedFiles), outcome.error(), std::nullopt);
        return;
    }

    std::vector<fs::path> extraFiles;
    for (const auto& movie : {project.mainVideo, project.pipVideo})
        if (auto file = localFile(movie)) extraFiles.push_back(*file);
    // Everything is burned into the composed movie, so the draft keeps only that one.
    RecordingProject composed = project;
    composed.mainVideo = *outcome;
    composed.pipVideo.reset();
    composed.pipTrack.clear();
    composed.subtitleTrack.clear();
    composed.aspect.isPiPEnabled = false;
    composed.aspect.isSplitScreenEnabled = false;
    composed.aspect.splitOrder = CameraSplitOrder::frontTop;
    composed.aspect.splitTopRatio = 0.5;
    composed.duration = measuredDuration(*outcome, project.duration);
    extraFiles.push_back(*outcome);
    extraFiles.insert(extraFiles.end(), unusedFiles.begin(), unusedFiles.end());
    save(composed, extraFiles, std::nullopt, std::nullopt, std::nullopt);
}

void RecordingFinishPipeline::saveRaw(const RecordingProject& project,
                                      std::optional<double> unmixedElapsed,
                                      std::vector<fs::path> unusedFiles,
                                      std::optional<std::string> compositionError,
                                      std::optional<QString> successText) {
    if (auto main = localFile(project.mainVideo); unmixedElapsed && main) {
        // The raw draft gets the one mixed sound track it would have had.
        // The status keeps saying why the raw recording is being saved.
        mix(*main, false,
            [project, elapsed = *unmixedElapsed, unusedFiles, compositionError, successText](
                RecordingFinishPipeline& self, fs::path used) {
                RecordingProject mixed = project;
                mixed.mainVideo = used;
                mixed.duration = measuredDuration(used, elapsed);
                self.saveRaw(mixed, std::nullopt, unusedFiles, compositionError, successText);
            });
        return;
    }
    std::vector<fs::path> extraFiles;
    for (const auto& movie : {project.mainVideo, project.pipVideo})
        if (auto file = localFile(movie)) extraFiles.push_back(*file);
    extraFiles.insert(extraFiles.end(), unusedFiles.begin(), unusedFiles.end());
    save(project, extraFiles, std::move(compositionError), std::nullopt, std::move(successText));
}

void RecordingFinishPipeline::save(const RecordingProject& project,
                                   const std::vector<fs::path>& extraFiles,
                                   std::optional<std::string> compositionError,
                                   std::optional<std::string> audioWarning,
                                   std::optional<QString> successText) {
    // A crash from here until the folder is removed leaves a folder recovery knows is saved.
    if (recordingFolder_) (void)recordingFolder_->noteDraft(project.id.uuidString());
    std::vector<fs::path> doomed = pendingRecordingCleanupURLs_;
    doomed.insert(doomed.end(), extraFiles.begin(), extraFiles.end());
    // What is deleted after the save may be taken by the draft as it is.
    std::vector<fs::path> surrendered;
    for (const auto& file : doomed)
        if (isDeletable(file)) surrendered.push_back(file);
    auto saved = services_.saveDraft(project, surrendered);
    if (!saved) {
        storeFailed(describe(saved.error()));
        return;
    }
    const RecordingProject stored = std::move(saved).value();
    deleteTemporaryFiles(doomed, stored);
    pendingRecordingCleanupURLs_.clear();
    pendingAudioMixWarning_.reset();

    // The subtitle files go beside the draft's movie; the draft stands without them.
    QString subtitleFileProblem;
    if (auto main = localFile(stored.mainVideo); !subtitleFileSegments_.empty() && main) {
        auto written = writeSubtitleFiles(main->parent_path(), subtitleFileSegments_);
        if (!written) {
            ZIMLO_LOG_ERROR("recording")
                << "writing the subtitle files beside the draft " << stored.id.uuidString() << ": "
                << written.error().text();
            subtitleFileProblem =
                QCoreApplication::translate("RecordingFinishPipeline", "（字幕文件未能写入：%1）")
                    .arg(text(describe(written.error().path, written.error().code)));
        }
    }
    subtitleFileSegments_.clear();
    if (recordingFolder_) {
        (void)recordingFolder_->remove();  // a failure is logged; recovery finishes the job
        recordingFolder_.reset();
    }

    if (successText)
        host_.finishStatusChanged(*successText + subtitleFileProblem);
    else if (compositionError)
        host_.finishStatusChanged(QCoreApplication::translate("RecordingFinishPipeline",
                                                              "已保存原始录制，字幕合成失败：%1")
                                      .arg(text(*compositionError)) +
                                  subtitleFileProblem);
    else if (audioWarning)
        host_.finishStatusChanged(
            QCoreApplication::translate("RecordingFinishPipeline", "录制已保存，但声音同步失败：%1")
                .arg(text(*audioWarning)) +
            subtitleFileProblem);
    else
        host_.finishStatusChanged(
            QCoreApplication::translate("RecordingFinishPipeline", "录制完成，已保存草稿") +
            subtitleFileProblem);
    host_.processingOverlayHidden();
    host_.finishEnded(stored);
}

void RecordingFinishPipeline::nothingRecorded() {
    // Stopped before the screen gave its first picture, so its movie was never written: there is
    // no draft to make. A composition begun is cancelled, which removes what it wrote; the other
    // files stay as after any failed finish, for recovery to judge.
    ZIMLO_LOG_WARN("finish") << "stopped before the screen's first picture: no draft to save";
    if (follower_) follower_->cancel();
    follower_.reset();
    storeFailed(QCoreApplication::translate("RecordingFinishPipeline",
                                            "没有录到任何内容：停止前屏幕还没有送来画面")
                    .toStdString());
}

void RecordingFinishPipeline::storeFailed(const std::string& description) {
    // Nothing is deleted: the temporary files are all that is left of the recording.
    if (interruption_)
        host_.finishStatusChanged(QCoreApplication::translate("RecordingFinishPipeline",
                                                              "%1，录制已中断，保存草稿也失败：%2")
                                      .arg(*interruption_, text(description)));
    else
        host_.finishStatusChanged(
            QCoreApplication::translate("RecordingFinishPipeline", "录制完成但保存草稿失败：%1")
                .arg(text(description)));
    host_.processingOverlayHidden();
    host_.finishEnded(std::nullopt);
}

bool RecordingFinishPipeline::isDeletable(const fs::path& file) const {
    if (file.empty() || !file.has_filename()) return false;
    std::error_code ignored;
    const fs::path absolute = fs::absolute(file, ignored);
    if (absolute.empty()) return false;
    // Only the recording's own folders: the temporary folder, and the folders recordings are
    // made in. A file anywhere else (a draft's, the user's) is never deleted.
    const fs::path directory = standardised(absolute.parent_path());
    const fs::path temporary = services_.temporaryDirectory.empty()
                                   ? fs::path()
                                   : standardised(services_.temporaryDirectory);
    const fs::path recordings = standardised(services_.recordingsDirectory);
    const fs::path folder = recordingFolder_ ? standardised(recordingFolder_->path()) : fs::path();
    return (!temporary.empty() && directory == temporary) ||
           (!folder.empty() && directory == folder) ||
           (!recordings.empty() && directory.parent_path() == recordings);
}

void RecordingFinishPipeline::deleteTemporaryFiles(const std::vector<fs::path>& files,
                                                   const RecordingProject& stored) const {
    // Never the draft's own movies, should a store keep them where they were.
    std::vector<fs::path> keep;
    for (const auto& url : {stored.mainVideo, stored.pipVideo})
        if (auto file = localFile(url)) keep.push_back(standardised(*file));

    for (const fs::path& file : files) {
        if (!isDeletable(file)) continue;
        std::error_code ignored;
        const fs::path absolute = fs::absolute(file, ignored);
        if (std::find(keep.begin(), keep.end(), standardised(absolute)) != keep.end()) continue;
        fs::remove(absolute, ignored);  // a link is removed, not what it points to
    }
}

double RecordingFinishPipeline::measuredDuration(const std::optional<fs::path>& url,
                                                 double fallback) {
    if (!url) return std::isfinite(fallback) && fallback > 0 ? fallback : 0;
    return media::availableDuration(*url, fallback);
}

}  // namespace zimlo::recording
