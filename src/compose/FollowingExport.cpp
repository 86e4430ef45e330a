#include "compose/FollowingExport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "compose/ExportBuffers.h"
#include "compose/ExportSession.h"
#include "compose/PiPVideoCompositor.h"
#include "compose/TrackCursor.h"
#include "compose/VideoCompositor.h"
#include "model/MediaErrorText.h"
#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"
#include "platform/media/AssetReader.h"
#include "platform/media/IndexRelocation.h"
#include "platform/media/MovieWriter.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/ThreadPriority.h"
#include "platform/runtime/Threads.h"

namespace zimlo::compose {

using media::MediaTime;
using media::MovieWriter;

namespace {

constexpr double kProgressInterval = 0.25;
// The span of a composition whose end is not known yet: longer than any recording.
constexpr double kOpenLength = 1e8;
// What a frame costs the export of a light picture (x264 ultrafast, no B-frames) against the
// follower's (veryfast with B-frames), decoding and drawing included: the encoder does about
// 60% less work and is most of the cost. A follower with more than this share of the movie
// still to make is slower than exporting it all again.
constexpr double kLightExportShare = 0.5;
// How much of the movie is read before the follower judges whether its picture is busy (the
// first key frame is not counted).
constexpr double kBusyJudgedAfterSeconds = 1;

// What the camera window needs of a project: its movie, and a window or split to show it in.
bool showsCamera(const RecordingProject& project) {
    const auto& aspect = project.aspect;
    return project.pipVideo &&
           (aspect.isSplitScreenEnabled || (aspect.isPiPEnabled && !project.pipTrack.empty()));
}

FollowingExport::Outcome ending(FollowingExport::Ending how, std::filesystem::path movie = {},
                                std::string reason = {}) {
    FollowingExport::Outcome outcome;
    outcome.ending = how;
    outcome.movie = std::move(movie);
    outcome.reason = std::move(reason);
    return outcome;
}

double settledTime(const FollowedState& state) {
    return std::isnan(state.settledUntil) ? 0 : state.settledUntil;
}

}  // namespace

struct FollowingExport::Shared {
    Sources sources;
    Settings settings;

    // guards: state, version, cancelled, readers, finish, reported, ended, failure, statistics
    mutable std::mutex mutex;
    std::condition_variable changed;
    FollowedState state;
    uint64_t version = 0;
    bool cancelled = false;
    // Ends waits for the growing movies once cancelled.
    std::atomic<bool> stopReading{false};
    // The readers of the composition under way, cancelled with it.
    std::vector<media::TrackReaderBase*> readers;

    struct Finish {
        RecordingProject project;
        std::function<void(Outcome)> done;
        std::function<void(double)> progress;
    };
    std::optional<Finish> finish;
    bool reported = false;
    bool ended = false;                  // the worker has stopped
    std::optional<std::string> failure;  // why it stopped early
    Statistics statistics;
    std::atomic<int64_t> composed{0};
    // How busy the sources' picture was found, which decides the encoder of every composition
    // begun after: the busy picture's until it is known (the export's choice when it cannot
    // tell), the light one's once found light, the busy one's for good once found busy.
    enum class Picture { unknown, light, busy };
    std::atomic<Picture> picture{Picture::unknown};

    // Posts the outcome to the finish, once; with `mutex` held.
    void reportLocked(Outcome outcome) {
        if (!finish || reported) return;
        reported = true;
        outcome.statistics = statistics;
        outcome.statistics.framesComposed = composed.load();
        MainQueue::post([done = finish->done, outcome = std::move(outcome)] {
            if (done) done(outcome);
        });
    }
    void cancelReaders() {
        std::lock_guard lock(mutex);
        for (auto* reader : readers) reader->cancel();
    }
};

namespace {

enum class AttemptEnd { restart, ended };

// One composition from the first frame, for as long as what arrives fits what it has drawn.
class Attempt {
  public:
    explicit Attempt(FollowingExport::Shared& shared) : shared_(shared) {}
    ~Attempt() { cleanUp(); }

    AttemptEnd run();

  private:
    using Outcome = FollowingExport::Outcome;
    using Ending = FollowingExport::Ending;

    bool setUp(const FollowedState& state);
    bool openSources(const RecordingProject& project);
    bool lay(const FollowedState& state);
    bool openWriter();
    bool addSoundInput();
    std::unique_ptr<TrackCursor> openCursor(const std::shared_ptr<const media::MovieAsset>& asset,
                                            TrackID id);
    AttemptEnd loop();
    std::optional<AttemptEnd> waitUntilSettled(const MediaTime& t);
    enum class FrameStep { drawn, again, allDrawn };
    FrameStep drawFrame(int64_t n, const MediaTime& t);
    AttemptEnd completeMovie();
    // The export's encoder for `built`'s picture at our frame rate: a busy picture's without
    // `sourceBitRate`, else the one that rate calls for.
    ExportEncoderSettings encoderFor(const VideoCompositor::Built& built,
                                     double sourceBitRate = 0) const;
    // Judges the sources read for `drawn` movie seconds; true when the composition must begin
    // again with the other encoder.
    bool needsOtherEncoder(double drawn);
    // Whether the movie drawn so far suits the export's choice of encoder for `built`, and the
    // rest takes less than the export would.
    bool encoderSuits(const VideoCompositor::Built& built, int64_t drawn, int64_t count);
    // A newer state: true when it goes on what was drawn, false when drawing must begin again.
    bool accept(const FollowedState& state);
    // The recording's end: whether what was drawn is what `project` shows; if so the rest is
    // set up to be drawn to the end.
    bool adoptFinish(const RecordingProject& project);
    void frameRendered(int64_t index, VideoCompositionRequest::Result result);
    void writeSound();
    bool soundMayGo(double until);
    bool appendWhenReady(MovieWriter::InputID input, auto sample);
    void fail(const std::string& text);
    bool failed() const { return failure_.load(); }
    bool cancelled() const {
        std::lock_guard lock(shared_.mutex);
        return shared_.cancelled;
    }
    void registerReader(media::TrackReaderBase* reader) {
        std::lock_guard lock(shared_.mutex);
        shared_.readers.push_back(reader);
        if (shared_.cancelled) reader->cancel();
    }
    void unregisterReader(media::TrackReaderBase* reader) {
        std::lock_guard lock(shared_.mutex);
        std::erase(shared_.readers, reader);
    }
    // Registered (cancellable with the rest) for as long as the returned guard lives.
    [[nodiscard]] std::shared_ptr<void> registeredWhileInScope(media::TrackReaderBase* reader) {
        registerReader(reader);
        return {nullptr, [this, reader](void*) { unregisterReader(reader); }};
    }
    // Stops every thread of this attempt and removes its movie.
    void cleanUp();
    void end(Outcome outcome);

    FollowingExport::Shared& shared_;
    const int fps_ = std::max(shared_.settings.exportFrameRate, 1);

    std::shared_ptr<const media::MovieAsset> mainAsset_;
    std::shared_ptr<const media::MovieAsset> cameraAsset_;
    VideoCompositor::Built built_;
    Size canvas_;
    TrackID mainTrackID_ = kInvalidTrackID;
    std::optional<TrackID> pipTrackID_;
    media::AffineTransform mainTransform_;
    std::optional<media::AffineTransform> cameraTransform_;
    AspectSettings aspect_;
    bool showsCamera_ = false;
    std::shared_ptr<PiPCompositionInstruction> instruction_;
    uint64_t version_ = 0;
    double settledUntil_ = 0;

    std::filesystem::path url_;
    std::shared_ptr<MovieWriter> writer_;
    MovieWriter::InputID videoInput_ = 0;
    std::optional<MovieWriter::InputID> audioInput_;
    std::vector<const CompositionTrack*> audioTracks_;
    std::unique_ptr<TrackCursor> main_;
    std::unique_ptr<TrackCursor> camera_;
    std::unique_ptr<PiPVideoCompositor> compositor_;
    std::shared_ptr<RenderContext> renderContext_;
    std::thread sound_;

    // guards: inFlight_, written_, frameCount_, finishing_, finishedMainAsset_, soundSpan_,
    // soundEnd_, soundAllowed_, soundStop_, between the frames, the sound and the compositor's
    // completions. frameCount_ and finishing_ are written only by the attempt's own thread,
    // which also reads them without it.
    std::mutex mutex_;
    std::condition_variable stateChanged_;
    int inFlight_ = 0;
    int64_t written_ = 0;
    int64_t frameCount_ = -1;  // known at the finish
    bool finishing_ = false;
    // The finished movie's span, for the sound; set at the finish.
    std::shared_ptr<const media::MovieAsset> finishedMainAsset_;
    std::optional<media::TimeRange> soundSpan_;
    std::optional<MediaTime> soundEnd_;  // once all of the sound is read
    double soundAllowed_ = 0;            // movie seconds drawn so far
    bool soundStop_ = false;
    std::atomic<bool> failure_{false};
    std::atomic<bool> stopping_{false};  // being taken down: nothing more is written
    std::function<void(double)> progress_;
    std::chrono::steady_clock::time_point lastProgress_;
    int lastPercent_ = -1;
    bool movieKept_ = false;
    // Encoding with the light picture's settings (the sources need little of the bit rate).
    bool lightEncoder_ = false;
    std::string unusable_ = "what was drawn differs from the project";  // why, at the finish
};

void Attempt::fail(const std::string& text) {
    if (failure_.exchange(true)) return;
    ZIMLO_LOG_ERROR("export") << "composing " << shared_.sources.main->url()
                              << " while it is recorded failed: " << text;
    {
        std::lock_guard lock(shared_.mutex);
        if (!shared_.failure) shared_.failure = text;
        shared_.statistics.failed = true;
    }
    if (writer_) writer_->cancelWriting();
    {
        std::lock_guard lock(mutex_);
        soundStop_ = true;
    }
    stateChanged_.notify_all();
    shared_.cancelReaders();
}

bool Attempt::appendWhenReady(MovieWriter::InputID input, auto sample) {
    for (;;) {
        if (stopping_ || failed() || cancelled()) return false;
        if (writer_->waitUntilReady(input, kReadyPollSeconds)) break;
    }
    if (writer_->append(input, std::move(sample))) return true;
    fail(userText(writer_->error(), translate("FollowingExport", "无法写入影片")));
    return false;
}

bool Attempt::setUp(const FollowedState& state) {
    const auto& project = state.project;
    if (!project.mainVideo || !shared_.sources.main) {
        fail(translate("FollowingExport", "缺少主画面视频"));
        return false;
    }
    if (!openSources(project) || !lay(state) || !openWriter() || !addSoundInput()) return false;
    if (!writer_->start()) {
        fail(userText(writer_->error(), translate("FollowingExport", "无法写入影片")));
        return false;
    }
    writer_->startSession(MediaTime::zero());

    main_ = openCursor(mainAsset_, mainTrackID_);
    if (!main_) return false;
    if (pipTrackID_) {
        camera_ = openCursor(cameraAsset_, *pipTrackID_);
        if (!camera_) return false;
    }

    compositor_ = std::make_unique<PiPVideoCompositor>();
    renderContext_ = RenderContext::make(built_.videoComposition.renderWidth,
                                         built_.videoComposition.renderHeight, kOutputBuffers,
                                         media::PixelFormat::NV12VideoRange);
    compositor_->renderContextChanged(renderContext_);
    if (audioInput_) sound_ = startThread("follow-sound", [this] { writeSound(); });
    return true;
}

// The growing movies, read as they are written.
bool Attempt::openSources(const RecordingProject& project) {
    auto opened = media::MovieAsset::openGrowing(shared_.sources.main, &shared_.stopReading);
    if (!opened) {
        if (!cancelled())
            fail(withArguments(translate("FollowingExport", "无法读取主画面：%1"),
                               {userText(opened.error())}));
        return false;
    }
    mainAsset_ = *opened;
    showsCamera_ = showsCamera(project) && shared_.sources.camera;
    if (showsCamera_) {
        // A camera movie that cannot be read leaves the camera out, as in the export.
        auto camera = media::MovieAsset::openGrowing(shared_.sources.camera, &shared_.stopReading);
        if (cancelled()) return false;
        if (camera) cameraAsset_ = *camera;
    }
    return true;
}

// The composition of what is recorded so far, and the instruction that draws its frames.
bool Attempt::lay(const FollowedState& state) {
    const auto& project = state.project;
    VideoCompositor layout;
    layout.exportLongEdge = shared_.settings.exportLongEdge;
    layout.exportFrameRate = fps_;
    const auto mainURL = *project.mainVideo;
    const auto cameraURL = project.pipVideo;
    layout.openAsset = [&](const std::filesystem::path& url)
        -> media::MediaResult<std::shared_ptr<const media::MovieAsset>> {
        if (url == mainURL) return mainAsset_;
        if (cameraURL && url == *cameraURL && cameraAsset_) return cameraAsset_;
        return zimlo::fail(media::MediaError::of(media::MediaError::Kind::noMovie));
    };
    auto composed = layout.buildComposition(project, true, 0, std::nullopt);
    if (!composed) {
        fail(composed.error().description());
        return false;
    }
    built_ = std::move(composed).value();
    const auto& first = *built_.videoComposition.instructions.front();
    canvas_ = first.canvas;
    mainTrackID_ = first.mainTrackID;
    pipTrackID_ = first.pipTrackID;
    aspect_ = project.aspect;
    const auto* mainTrack = built_.composition.track(mainTrackID_);
    mainTransform_ = mainAsset_->track(mainTrack->sourceTrackID)->preferredTransform;
    if (pipTrackID_) {
        const auto* cameraTrack = built_.composition.track(*pipTrackID_);
        cameraTransform_ = cameraAsset_->track(cameraTrack->sourceTrackID)->preferredTransform;
    }
    instruction_ =
        VideoCompositor::makeInstruction(project, true, 0, kOpenLength, canvas_, mainTrackID_,
                                         pipTrackID_, mainTransform_, cameraTransform_);
    settledUntil_ = settledTime(state);
    return true;
}

// The movie and its video track.
bool Attempt::openWriter() {
    const int width = built_.videoComposition.renderWidth;
    const int height = built_.videoComposition.renderHeight;
    // The encoder the export would choose for the picture as far as it has been read.
    const auto busy = encoderFor(built_);
    lightEncoder_ = shared_.picture.load() == FollowingExport::Shared::Picture::light;
    const auto encoder = lightEncoder_ ? encoderFor(built_, lightPictureRate(busy)) : busy;
    url_ = VideoCompositor::exportPath(shared_.settings.exportDirectory);
    media::MovieWriterOptions options;
    // The index is moved to the front once the movie is complete, without copying its samples.
    options.videoQueueCapacity = kWriterVideoQueue;
    auto writer = MovieWriter::create(url_, media::MovieFileType::mpeg4, options);
    if (!writer) {
        fail(userText(writer.error()));
        return false;
    }
    writer_ = std::move(writer).value();
    media::VideoEncoderSettings video;
    video.width = width;
    video.height = height;
    video.averageBitRate = encoder.averageBitRate;
    video.expectedFrameRate = fps_;
    video.preset = encoder.x264Preset;
    video.minQuantizer = encoder.minQuantizer;
    video.maxBFrames = encoder.maxBFrames;
    video.pictureFormat = media::PixelFormat::NV12VideoRange;
    auto videoInput = writer_->addVideoInput(video);
    if (!videoInput) {
        fail(userText(videoInput.error()));
        return false;
    }
    videoInput_ = *videoInput;
    return true;
}

// The sound track: one recorded sound copied as it is, two mixed.
bool Attempt::addSoundInput() {
    for (const auto& track : built_.composition.tracks)
        if (track.mediaType == media::MediaType::audio && track.sourceRange)
            audioTracks_.push_back(&track);
    if (audioTracks_.size() == 1) {
        const auto* source = mainAsset_->track(audioTracks_.front()->sourceTrackID);
        if (!source || source->formatDescriptions.empty()) {
            fail(translate("FollowingExport", "无法读取音频"));
            return false;
        }
        auto input = writer_->addPassthroughInput(source->formatDescriptions.front());
        if (!input) {
            fail(userText(input.error()));
            return false;
        }
        audioInput_ = *input;
    } else if (audioTracks_.size() >= 2) {
        media::AudioEncoderSettings audio;
        audio.bitRate = 192000;
        auto input = writer_->addAudioInput(audio);
        if (!input) {
            fail(userText(input.error()));
            return false;
        }
        audioInput_ = *input;
    }
    return true;
}

// A reader of the track `id` of `asset`, from its start, one frame time a step.
std::unique_ptr<TrackCursor> Attempt::openCursor(
    const std::shared_ptr<const media::MovieAsset>& asset, TrackID id) {
    const auto* track = built_.composition.track(id);
    auto reader = media::VideoFrameReader::open(*asset, track->sourceTrackID,
                                                media::TimeRange{MediaTime::zero(), {}},
                                                media::DecodedPictureFormat::bt709NV12OrBGRA, 1);
    if (!reader) {
        if (!cancelled())
            fail(withArguments(translate("FollowingExport", "无法读取主画面：%1"),
                               {userText(reader.error())}));
        return nullptr;
    }
    registerReader(reader->get());
    return std::make_unique<TrackCursor>(std::move(reader).value(), MediaTime::invalid(),
                                         MediaTime::make(1, fps_));
}

bool Attempt::accept(const FollowedState& state) {
    const auto& project = state.project;
    const bool camera = showsCamera(project) && shared_.sources.camera;
    if (camera != showsCamera_ || project.aspect.main != aspect_.main ||
        project.aspect.isSplitScreenEnabled != aspect_.isSplitScreenEnabled ||
        project.mainVideo != built_.composition.track(mainTrackID_)->sourcePath ||
        (pipTrackID_ && project.pipVideo != built_.composition.track(*pipTrackID_)->sourcePath))
        return false;
    auto next =
        VideoCompositor::makeInstruction(project, true, 0, kOpenLength, canvas_, mainTrackID_,
                                         pipTrackID_, mainTransform_, cameraTransform_);
    if (!drawsAlike(*instruction_, *next, shared_.composed.load(), fps_)) return false;
    instruction_ = std::move(next);
    settledUntil_ = settledTime(state);
    return true;
}

bool Attempt::adoptFinish(const RecordingProject& project) {
    VideoCompositor finished;
    finished.exportLongEdge = shared_.settings.exportLongEdge;
    finished.exportFrameRate = fps_;
    auto composed = finished.buildComposition(project, true, 0, std::nullopt);
    if (!composed) return false;
    const auto& built = *composed;
    const auto& video = built.videoComposition;
    const auto& last = video.instructions.front();
    if (video.renderWidth != built_.videoComposition.renderWidth ||
        video.renderHeight != built_.videoComposition.renderHeight ||
        last->pipTrackID.has_value() != pipTrackID_.has_value())
        return false;
    // The same pictures and sounds from the same movies.
    auto sameSource = [&](const CompositionTrack* a, const CompositionTrack* b) {
        return a && b && a->sourcePath == b->sourcePath && a->sourceTrackID == b->sourceTrackID &&
               a->sourceRange;
    };
    const auto* mainTrack = built.composition.track(last->mainTrackID);
    if (!sameSource(mainTrack, built_.composition.track(mainTrackID_))) return false;
    const CompositionTrack* cameraTrack = nullptr;
    if (pipTrackID_) {
        cameraTrack = built.composition.track(*last->pipTrackID);
        if (!sameSource(cameraTrack, built_.composition.track(*pipTrackID_))) return false;
    }
    std::vector<std::pair<int, float>> sounds, drawnSounds;
    auto volumes = [](const VideoCompositor::Built& b, std::vector<std::pair<int, float>>& out) {
        for (const auto& track : b.composition.tracks) {
            if (track.mediaType != media::MediaType::audio || !track.sourceRange) continue;
            const float volume = b.audioMix ? b.audioMix->volumeOf(track.trackID) : 1.0f;
            out.emplace_back(track.sourceTrackID, volume);
        }
    };
    volumes(built, sounds);
    volumes(built_, drawnSounds);
    if (sounds != drawnSounds) return false;
    const int64_t drawn = shared_.composed.load();
    const int64_t count = outputFrameCount(last->totalDuration, fps_);
    if (drawn > count || !drawsAlike(*instruction_, *last, drawn, fps_)) return false;
    if (!encoderSuits(built, drawn, count)) return false;

    auto mainFinished = media::MovieAsset::open(mainTrack->sourcePath);
    if (!mainFinished) return false;
    main_->setSpanEnd(mainTrack->sourceRange->end());
    if (camera_) camera_->setSpanEnd(cameraTrack->sourceRange->end());
    {
        std::lock_guard lock(mutex_);
        frameCount_ = count;
        finishing_ = true;
        finishedMainAsset_ = *mainFinished;
        for (const auto& track : built.composition.tracks)
            if (track.mediaType == media::MediaType::audio && track.sourceRange) {
                soundSpan_ = *track.sourceRange;
                break;
            }
    }
    stateChanged_.notify_all();
    instruction_ = last;
    settledUntil_ = std::numeric_limits<double>::infinity();
    return true;
}

AttemptEnd Attempt::run() {
    FollowedState state;
    {
        std::lock_guard lock(shared_.mutex);
        state = shared_.state;
        version_ = shared_.version;
        shared_.readers.clear();
        shared_.composed = 0;
    }
    if (!setUp(state)) {
        end(ending(cancelled() ? Ending::cancelled : Ending::failed));
        return AttemptEnd::ended;
    }
    return loop();
}

AttemptEnd Attempt::loop() {
    int64_t n = 0;
    for (;;) {
        const MediaTime t = MediaTime::make(n, fps_);
        if (auto ended = waitUntilSettled(t)) return *ended;
        if (cancelled()) {
            end(ending(Ending::cancelled));
            return AttemptEnd::ended;
        }
        if (failed()) {
            end(ending(Ending::failed));
            return AttemptEnd::ended;
        }
        if (finishing_ && n >= frameCount_) break;
        const FrameStep step = drawFrame(n, t);
        if (step == FrameStep::allDrawn) break;
        if (step == FrameStep::again) continue;
        ++n;
        shared_.composed = n;
        if (!finishing_ && n % fps_ == 0 && needsOtherEncoder(static_cast<double>(n) / fps_))
            return AttemptEnd::restart;
        {
            std::lock_guard lock(mutex_);
            soundAllowed_ = static_cast<double>(n) / fps_;
        }
        stateChanged_.notify_all();
    }
    return completeMovie();
}

// Waits until frame time t can be drawn: nothing before it can change any more, or the recording
// has ended. Takes in newer states and the finish meanwhile; an end of the attempt when one of
// them ends it.
std::optional<AttemptEnd> Attempt::waitUntilSettled(const MediaTime& t) {
    std::unique_lock lock(shared_.mutex);
    for (;;) {
        if (shared_.cancelled || failed()) return std::nullopt;
        if (shared_.version != version_) {
            FollowedState state = shared_.state;
            const uint64_t version = shared_.version;
            lock.unlock();
            const bool fits = finishing_ || accept(state);
            lock.lock();
            version_ = version;
            if (!fits) {
                lock.unlock();
                return AttemptEnd::restart;
            }
            continue;
        }
        if (shared_.finish && !finishing_) {
            const RecordingProject project = shared_.finish->project;
            progress_ = shared_.finish->progress;
            shared_.statistics.framesBeforeFinish = shared_.composed.load();
            lock.unlock();
            // What is left is what the user now waits for.
            if (shared_.settings.runsWhenIdle) raiseIdleThreads();
            const bool usable = adoptFinish(project);
            lock.lock();
            if (!usable) {
                lock.unlock();
                end(ending(Ending::unusable, {}, unusable_));
                return AttemptEnd::ended;
            }
            shared_.statistics.frameCount = frameCount_;
            continue;
        }
        if (finishing_ || t.seconds() < settledUntil_) return std::nullopt;
        shared_.changed.wait(lock);
    }
}

ExportEncoderSettings Attempt::encoderFor(const VideoCompositor::Built& built,
                                          double sourceBitRate) const {
    const auto& video = built.videoComposition;
    return encoderSettingsForPreset(
        VideoCompositor::exportPreset(video.renderWidth, video.renderHeight), video.renderWidth,
        video.renderHeight, fps_, sourceBitRate);
}

// Hands frame n (at time t) to the compositor once its pictures are there.
bool Attempt::needsOtherEncoder(double drawn) {
    using Picture = FollowingExport::Shared::Picture;
    if (drawn < kBusyJudgedAfterSeconds || shared_.picture.load() == Picture::busy) return false;
    const auto rate = [drawn](const std::unique_ptr<TrackCursor>& cursor) {
        return cursor ? static_cast<double>(cursor->reader().compressedBytesRead()) * 8 / drawn
                      : 0.0;
    };
    const auto busy = encoderFor(built_);
    const double needed =
        VideoCompositor::expectedSourceBitRate(built_, rate(main_), rate(camera_));
    // A source that has told nothing yet (a camera still on its first picture) is judged again
    // a second later, rather than taken as busy for good.
    if (!(needed > 0)) return false;
    const bool light = needed <= lightPictureRate(busy);
    if (light == lightEncoder_) {
        if (light) return false;
        shared_.picture = Picture::busy;
        return false;
    }
    shared_.picture = light ? Picture::light : Picture::busy;
    ZIMLO_LOG_INFO("export") << "composing while recording begins again with the "
                             << (light ? "light" : "busy")
                             << " picture's encoder: the sources need " << needed / 1000 << " kb/s";
    return true;
}

bool Attempt::encoderSuits(const VideoCompositor::Built& built, int64_t drawn, int64_t count) {
    const auto exported = encoderFor(built, VideoCompositor::expectedSourceBitRate(built));
    const bool exportLight = exported.x264Preset == "ultrafast";
    // The export searches harder on a busy picture, and its movie would look better.
    if (lightEncoder_ && !exportLight) {
        unusable_ = "the picture was busier than the light encoder suits";
        return false;
    }
    // Never slower than the export after the stop: with a light picture it encodes faster.
    if (!lightEncoder_ && exportLight && count > 0 &&
        static_cast<double>(count - drawn) / static_cast<double>(count) > kLightExportShare) {
        unusable_ = "too far behind to be quicker than an export";
        return false;
    }
    return true;
}

Attempt::FrameStep Attempt::drawFrame(int64_t n, const MediaTime& t) {
    const auto& mainTrack = *built_.composition.track(mainTrackID_);
    std::map<TrackID, std::shared_ptr<const media::PixelBuffer>> frames;
    if (auto picture = main_->frameAt(mainTrack.sourceRange->start + t))
        frames[mainTrackID_] = picture;
    if (camera_)
        if (auto picture = camera_->frameAt(t)) frames[*pipTrackID_] = picture;
    if (cancelled()) return FrameStep::again;  // the loop ends the attempt
    if (main_->reader().failed()) {
        fail(withArguments(translate("FollowingExport", "无法读取主画面：%1"),
                           {userText(main_->reader().error())}));
        return FrameStep::again;
    }
    if (!finishing_ && (!main_->hasPictureAfter(t) || (camera_ && !camera_->hasPictureAfter(t)))) {
        // At the end of a movie that is complete: what is shown here depends on where the
        // movie ends, which the finish says.
        std::unique_lock lock(shared_.mutex);
        shared_.changed.wait(lock, [&] {
            return shared_.cancelled || shared_.finish || shared_.version != version_;
        });
        return FrameStep::again;
    }
    if (finishing_ && main_->ended(t)) {
        std::unique_lock lock(mutex_);
        if (!audioInput_ || (soundEnd_ && t >= *soundEnd_)) {
            frameCount_ = n;
            lock.unlock();
            std::lock_guard shared(shared_.mutex);
            shared_.statistics.frameCount = n;
            return FrameStep::allDrawn;
        }
    }
    {
        std::unique_lock lock(mutex_);
        stateChanged_.wait(lock, [&] { return inFlight_ < kFramesInFlight || failed(); });
        if (failed()) return FrameStep::again;
        ++inFlight_;
    }
    auto request = std::make_shared<VideoCompositionRequest>(
        t, instruction_, renderContext_, std::move(frames),
        [this, n](VideoCompositionRequest::Result result) { frameRendered(n, std::move(result)); });
    compositor_->startVideoCompositionRequest(std::move(request));
    return FrameStep::drawn;
}

AttemptEnd Attempt::completeMovie() {
    // The whole movie is drawn: the last frames, the sound, the file.
    {
        std::unique_lock lock(mutex_);
        stateChanged_.wait(lock, [&] { return inFlight_ == 0; });
    }
    if (sound_.joinable()) sound_.join();
    compositor_.reset();
    if (failed() || cancelled()) {
        end(ending(cancelled() ? Ending::cancelled : Ending::failed));
        return AttemptEnd::ended;
    }
    std::promise<void> closed;
    writer_->finish([&closed] { closed.set_value(); });
    closed.get_future().wait();
    if (writer_->status() != MovieWriter::Status::completed) {
        fail(userText(writer_->error(), translate("FollowingExport", "无法完成影片")));
        end(ending(Ending::failed));
        return AttemptEnd::ended;
    }
    if (auto moved = media::moveIndexToFront(url_); !moved) {
        fail(withArguments(translate("FollowingExport", "无法完成影片：%1"),
                           {userText(moved.error())}));
        end(ending(Ending::failed));
        return AttemptEnd::ended;
    }
    if (progress_) MainQueue::post([progress = progress_] { progress(1.0); });
    movieKept_ = true;
    end(ending(Ending::composed, url_));
    return AttemptEnd::ended;
}

void Attempt::frameRendered(int64_t index, VideoCompositionRequest::Result result) {
    if (result.error) {
        fail(withArguments(translate("FollowingExport", "画面合成失败（%1 %2）"),
                           {result.error->domain, std::to_string(result.error->code)}));
    } else if (!failed()) {
        media::VideoSample sample;
        sample.pixels = std::move(result.frame);
        sample.presentationTime = MediaTime::make(index, fps_);
        appendWhenReady(videoInput_, std::move(sample));
    }
    int64_t done = 0, total = 0;
    bool finishing = false;
    {
        std::lock_guard lock(mutex_);
        --inFlight_;
        done = ++written_;
        total = frameCount_;
        finishing = finishing_;
    }
    stateChanged_.notify_all();
    if (!finishing || !progress_ || total <= 0) return;
    // Whole percents, and a few times a second in between (on the render queue, one by one).
    const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const int percent = static_cast<int>(fraction * 100);
    const auto now = std::chrono::steady_clock::now();
    if (percent == lastPercent_ &&
        now - lastProgress_ < std::chrono::duration<double>(kProgressInterval))
        return;
    lastPercent_ = percent;
    lastProgress_ = now;
    MainQueue::post([progress = progress_, fraction] { progress(fraction); });
}

bool Attempt::soundMayGo(double until) {
    std::unique_lock lock(mutex_);
    stateChanged_.wait(lock, [&] {
        return soundStop_ || failed() || cancelled() || finishing_ || until <= soundAllowed_;
    });
    return !soundStop_ && !stopping_ && !failed() && !cancelled();
}

void Attempt::writeSound() {
    const media::TimeRange open{MediaTime::zero(), MediaTime::invalid()};
    MediaTime end = MediaTime::zero();
    auto reach = [&](MediaTime start, MediaTime duration) {
        if (!start.valid) return;
        const MediaTime last = duration.valid && duration.value > 0 ? start + duration : start;
        if (last > end) end = last;
    };
    if (audioTracks_.size() == 1) {
        auto opened =
            media::TrackPacketReader::open(*mainAsset_, audioTracks_.front()->sourceTrackID);
        if (!opened) {
            if (!cancelled())
                fail(withArguments(translate("FollowingExport", "无法读取音频：%1"),
                                   {userText(opened.error())}));
            return;
        }
        auto reader = std::move(opened).value();
        const auto registration = registeredWhileInScope(reader.get());
        while (auto packet = reader->next()) {
            // Whole packets: those starting inside the span.
            if (!packet->presentationTime.valid || packet->presentationTime < MediaTime::zero())
                continue;
            if (!soundMayGo(packet->presentationTime.seconds())) return;
            {
                std::lock_guard lock(mutex_);
                if (soundSpan_ && packet->presentationTime >= soundSpan_->end()) break;
            }
            reach(packet->presentationTime, packet->duration);
            if (!appendWhenReady(*audioInput_, std::move(*packet))) return;
        }
        if (reader->failed()) {
            fail(withArguments(translate("FollowingExport", "无法读取音频：%1"),
                               {userText(reader->error())}));
            return;
        }
    } else {
        std::vector<media::AudioMixReader::Input> inputs;
        for (const auto* track : audioTracks_) {
            const float volume = built_.audioMix ? built_.audioMix->volumeOf(track->trackID) : 1.0f;
            inputs.push_back({track->sourceTrackID, volume});
        }
        auto opened = media::AudioMixReader::open(*mainAsset_, inputs, open);
        if (!opened) {
            if (!cancelled())
                fail(withArguments(translate("FollowingExport", "无法读取音频：%1"),
                                   {userText(opened.error())}));
            return;
        }
        auto reader = std::move(opened).value();
        const auto registration = registeredWhileInScope(reader.get());
        int64_t delivered = 0;
        bool spanSet = false;
        constexpr int kChunk = 4096;  // what the mixer hands out at a time
        for (;;) {
            const double chunkEnd =
                static_cast<double>(delivered + kChunk) / media::AudioMixReader::kSampleRate;
            if (!soundMayGo(chunkEnd)) return;
            if (!spanSet) {
                std::unique_lock lock(mutex_);
                if (finishing_) {
                    auto asset = finishedMainAsset_;
                    auto span = soundSpan_;
                    lock.unlock();
                    if (asset && span) reader->setSpan(*asset, *span);
                    spanSet = true;
                }
            }
            auto sample = reader->next();
            if (!sample && !spanSet && !reader->failed() && !failed() && !cancelled()) {
                // The rest of the sound waits for the movie's span, which the finish brings.
                if (!soundMayGo(std::numeric_limits<double>::infinity())) return;
                continue;
            }
            if (!sample) break;
            delivered += sample->frameCount();
            reach(sample->presentationTime, sample->duration());
            if (!appendWhenReady(*audioInput_, std::move(*sample))) return;
        }
        if (reader->failed()) {
            fail(withArguments(translate("FollowingExport", "无法读取音频：%1"),
                               {userText(reader->error())}));
            return;
        }
    }
    {
        std::lock_guard lock(mutex_);
        soundEnd_ = end;
    }
    stateChanged_.notify_all();
    writer_->endInput(*audioInput_);
}

void Attempt::cleanUp() {
    stopping_ = true;
    {
        std::lock_guard lock(mutex_);
        soundStop_ = true;
    }
    stateChanged_.notify_all();
    {
        std::lock_guard lock(shared_.mutex);
        for (auto* reader : shared_.readers) reader->cancel();
    }
    if (writer_ && !movieKept_) writer_->cancelWriting();
    if (sound_.joinable()) sound_.join();
    {
        std::unique_lock lock(mutex_);
        stateChanged_.wait(lock, [&] { return inFlight_ == 0; });
    }
    compositor_.reset();
    {
        std::lock_guard lock(shared_.mutex);
        shared_.readers.clear();
    }
    main_.reset();
    camera_.reset();
    if (!movieKept_ && !url_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(url_, ignored);
    }
}

void Attempt::end(Outcome outcome) {
    if (outcome.ending != Ending::composed) {
        cleanUp();  // the movie goes before anyone hears of the outcome
    }
    std::lock_guard lock(shared_.mutex);
    shared_.ended = true;
    if (outcome.ending == Ending::failed && outcome.reason.empty())
        outcome.reason = shared_.failure.value_or(translate("FollowingExport", "未知错误"));
    shared_.reportLocked(std::move(outcome));
}

void work(const std::shared_ptr<FollowingExport::Shared>& shared) {
    // Everything this thread starts (the compositor's queue, the encoder's threads, the sound)
    // inherits the idle priority.
    if (shared->settings.runsWhenIdle && !runWhenIdle()) {
        ZIMLO_LOG_INFO("export") << "composing while recording at normal priority";
    }
    for (;;) {
        Attempt attempt(*shared);
        if (attempt.run() == AttemptEnd::ended) return;
        std::lock_guard lock(shared->mutex);
        ++shared->statistics.restarts;
        ZIMLO_LOG_INFO("export") << "composing while recording begins again";
    }
}

}  // namespace

std::shared_ptr<FollowingExport> FollowingExport::start(Sources sources, Settings settings,
                                                        FollowedState state) {
    auto follower = std::make_shared<FollowingExport>(Private{}, std::move(sources),
                                                      std::move(settings), std::move(state));
    letGo(startThread("follow", [shared = follower->shared_] { work(shared); }));
    return follower;
}

FollowingExport::FollowingExport(Private, Sources sources, Settings settings, FollowedState state)
    : shared_(std::make_shared<Shared>()) {
    shared_->sources = std::move(sources);
    shared_->settings = std::move(settings);
    shared_->state = std::move(state);
}

FollowingExport::~FollowingExport() { cancel(); }

void FollowingExport::update(FollowedState state) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->finish) return;  // the finished project has the last word
        shared_->state = std::move(state);
        ++shared_->version;
    }
    shared_->changed.notify_all();
}

void FollowingExport::cancel() {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->cancelled) return;
        shared_->cancelled = true;
        shared_->stopReading = true;
        for (auto* reader : shared_->readers) reader->cancel();
        if (shared_->ended) shared_->reportLocked(ending(Ending::cancelled));
    }
    shared_->changed.notify_all();
}

void FollowingExport::finish(const RecordingProject& project, std::function<void(Outcome)> done,
                             std::function<void(double)> progress,
                             const std::shared_ptr<ExportJob>& job) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->finish) return;
        shared_->finish = Shared::Finish{project, std::move(done), std::move(progress)};
        if (shared_->ended) {
            shared_->reportLocked(shared_->cancelled
                                      ? ending(Ending::cancelled)
                                      : ending(Ending::failed, {}, shared_->failure.value_or("")));
        }
    }
    shared_->changed.notify_all();
    if (job)
        job->setCancelHandler([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->cancel();
        });
}

FollowingExport::Statistics FollowingExport::statistics() const {
    std::lock_guard lock(shared_->mutex);
    Statistics statistics = shared_->statistics;
    statistics.framesComposed = shared_->composed.load();
    return statistics;
}

double FollowingExport::composedSeconds() const {
    return static_cast<double>(shared_->composed.load()) /
           std::max(shared_->settings.exportFrameRate, 1);
}

}  // namespace zimlo::compose
