#include "compose/VideoCompositor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>

#include "compose/ExportSession.h"
#include "compose/PiPVideoCompositor.h"
#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"
#include "platform/runtime/MainQueue.h"

namespace zimlo::compose {

using media::MediaTime;
using media::MediaType;
using media::TimeRange;

namespace {

constexpr int32_t kCompositionTimescale = 600;
constexpr const char* kPreset3840x2160 = "AVAssetExportPreset3840x2160";
constexpr const char* kPreset1920x1080 = "AVAssetExportPreset1920x1080";
constexpr const char* kPresetHighestQuality = "AVAssetExportPresetHighestQuality";

// Proportions q (width ÷ height) with long side C, each side rounded, made even, at least 2.
Size proportionalSize(double q, double longSide) {
    double width = longSide;
    double height = longSide;
    if (q <= 0.01) {
        width = longSide * 0.01;
    } else if (q < 1) {
        width = longSide * q;
    } else {
        height = longSide / q;
    }
    auto even = [](double side) {
        auto value = std::llround(side);
        if (value % 2 != 0) value += 1;
        return static_cast<double>(std::max<long long>(value, 2));
    };
    return {even(width), even(height)};
}

Size portraitFallback(double longSide) {
    return {static_cast<double>(std::llround(longSide * 0.5625)), longSide};
}

double finiteOr(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

// The movie opened for reading; nothing when it cannot be read, which includes a URL that names
// no file on this machine (the media reader reads local files only).
std::shared_ptr<const media::MovieAsset> openMovie(const MovieURL& movie, const char* role) {
    auto file = movie.file();
    if (!file) {
        ZIMLO_LOG_WARN("compose") << "the " << role << " movie " << movie.remoteURL()
                                  << " is not a local file and cannot be read";
        return nullptr;
    }
    return media::MovieAsset::open(*file).valueOr(nullptr);
}

// Start and length of the exported span of a movie of `D` seconds.
std::pair<double, double> exportSpan(double D, double startTime, std::optional<double> endTime) {
    const double s = std::min(std::max(finiteOr(startTime, 0), 0.0), D);
    double e = endTime ? finiteOr(*endTime, D) : D;
    e = std::min(std::max(e, s), D);
    return {s, std::max(e - s, 0.01)};
}

// The main movie's sounds over `span`: one is copied, two or more are mixed with the first
// (the computer's sound) lowered under the voice.
void addSoundTracks(VideoCompositor::Built& built, const media::MovieAsset& mainAsset,
                    const TimeRange& span, TrackID& nextTrackID) {
    const auto audioTracks = mainAsset.tracks(MediaType::audio);
    std::vector<AudioMixInputParameters> parameters;
    for (size_t i = 0; i < audioTracks.size(); ++i) {
        const TrackID id = nextTrackID++;
        built.composition.tracks.push_back({id,
                                            MediaType::audio,
                                            mainAsset.url(),
                                            audioTracks[i].trackID,
                                            span,
                                            audioTracks[i].bitRate,
                                            {}});
        parameters.push_back({id, audioTracks.size() >= 2 && i == 0 ? 0.8f : 1.0f});
    }
    if (parameters.size() >= 2) built.audioMix = AudioMix{parameters};
}

// The camera movie's picture from `start` for `length` seconds (none when it has run out); its
// source track, or nothing when the movie has no picture.
const media::AssetTrack* addCameraTrack(VideoCompositor::Built& built,
                                        const media::MovieAsset& cameraAsset,
                                        const MediaTime& start, double length,
                                        TrackID& nextTrackID) {
    const auto cameraVideoTracks = cameraAsset.tracks(MediaType::video);
    if (cameraVideoTracks.empty()) return nullptr;
    const media::AssetTrack* cameraSource = cameraAsset.track(cameraVideoTracks.front().trackID);
    if (!cameraSource) return nullptr;
    CompositionTrack camera{
        nextTrackID++, MediaType::video,      cameraAsset.url(),        cameraSource->trackID,
        std::nullopt,  cameraSource->bitRate, cameraSource->naturalSize};
    if (length > 0)
        camera.sourceRange =
            TimeRange{start, MediaTime::fromSeconds(length, kCompositionTimescale)};
    built.composition.tracks.push_back(camera);
    return cameraSource;
}

// Whole percents reach the main queue, and the fraction at least this often in between.
constexpr double kProgressInterval = 0.25;

}  // namespace

// ---- CompositorError -----------------------------------------------------------------------

CompositorError::CompositorError(Case kind, std::string message)
    : kind_(kind), message_(std::move(message)), description_(description()) {}

std::string CompositorError::description() const {
    switch (kind_) {
        case Case::exportSessionFailed:
            return withArguments(translate("VideoCompositor", "导出失败：%1"), {message_});
        case Case::missingMainVideo:
            return translate("VideoCompositor", "缺少主画面视频");
        case Case::missingMainTrack:
            return translate("VideoCompositor", "主画面无视频轨");
    }
    return {};
}

const CompositionTrack* Composition::track(TrackID id) const {
    for (const auto& track : tracks)
        if (track.trackID == id) return &track;
    return nullptr;
}

// ---- encoder presets -----------------------------------------------------------------------

ExportEncoderSettings encoderSettingsForPreset(const std::string& presetName, int width, int height,
                                               int framesPerSecond, double sourceBitRate) {
    const int64_t multiplier = framesPerSecond <= 24 ? 1 : std::max(1, framesPerSecond / 30);
    int64_t rate = static_cast<int64_t>(width) * height * 4 * multiplier;
    ExportEncoderSettings settings;
    settings.presetName = presetName;
    settings.x264Preset = "veryfast";
    if (presetName == kPresetHighestQuality) {
        rate = rate * 3 / 2;
        settings.x264Preset = "faster";
    }
    settings.averageBitRate = std::clamp<int64_t>(rate, 2'000'000, 48'000'000);
    if (sourceBitRate > 0 && sourceBitRate <= lightPictureRate(settings)) {
        settings.x264Preset = "ultrafast";
        settings.maxBFrames = 0;
    }
    return settings;
}

// ---- VideoCompositor -----------------------------------------------------------------------

double VideoCompositor::availableDuration(const media::MovieAsset& asset, double fallback) {
    return media::availableDuration(asset, fallback);
}

Size VideoCompositor::renderSize(const media::AssetTrack& mainTrack,
                                 const RecordingProject& project) const {
    double longEdge = exportLongEdge;
    const auto display = mainTrack.preferredTransform.applyToSize(mainTrack.naturalSize);
    const double w = std::fabs(display.width);
    const double h = std::fabs(display.height);
    const double longSide = std::max(w, h);
    // Screen recordings are never scaled up. (A picture without a size leaves the edge alone.)
    if (project.sourceKind == RecordingSourceKind::screen && longSide > 0 && longSide < longEdge)
        longEdge = longSide;

    if (project.aspect.main != AspectRatio::default_ && !project.aspect.isSplitScreenEnabled) {
        return sizeForLongSide(project.aspect.main, longEdge);
    }
    if (project.sourceKind == RecordingSourceKind::screen) {
        if (!(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h))
            return portraitFallback(longEdge);
        return proportionalSize(w / h, longEdge);
    }
    const auto& viewport = project.captureViewportSize;
    if (!viewport || !(viewport->width > 0) || !(viewport->height > 0))
        return portraitFallback(longEdge);
    return proportionalSize(viewport->width / viewport->height, longEdge);
}

std::string VideoCompositor::exportPreset(double width, double height) {
    if (std::fabs(width / std::max(height, 1.0) - 16.0 / 9.0) < 0.01) {
        const double longSide = std::max(width, height);
        if (longSide >= 3840) return kPreset3840x2160;
        if (longSide >= 1920) return kPreset1920x1080;
    }
    return kPresetHighestQuality;
}

double VideoCompositor::expectedSourceBitRate(const Built& built) {
    if (built.videoComposition.instructions.empty()) return 0;
    const auto& instruction = *built.videoComposition.instructions.front();
    const auto* main = built.composition.track(instruction.mainTrackID);
    const auto* camera =
        instruction.pipTrackID ? built.composition.track(*instruction.pipTrackID) : nullptr;
    return expectedSourceBitRate(built, main ? main->sourceBitRate : 0,
                                 camera ? camera->sourceBitRate : 0);
}

double VideoCompositor::expectedSourceBitRate(const Built& built, double mainBitRate,
                                              double cameraBitRate) {
    if (built.videoComposition.instructions.empty()) return 0;
    const auto& instruction = *built.videoComposition.instructions.front();
    const auto* main = built.composition.track(instruction.mainTrackID);
    if (!main || !(mainBitRate > 0)) return 0;
    double rate = mainBitRate;
    const auto* camera =
        instruction.pipTrackID ? built.composition.track(*instruction.pipTrackID) : nullptr;
    if (!camera || !camera->sourceRange) return rate;
    const double cameraArea = camera->sourceSize.width * camera->sourceSize.height;
    if (!(cameraBitRate > 0) || !(cameraArea > 0)) return 0;
    // The largest share of the camera's picture the canvas ever shows (all of it in a split).
    double share = 1;
    if (!instruction.isSplitScreenEnabled) {
        share = 0;
        const double W = instruction.canvas.width, H = instruction.canvas.height;
        for (const auto& k : instruction.pipKeyframes) {
            const double w = W * k.size.width;
            const double h = instruction.pipAspect == AspectRatio::default_
                                 ? H * k.size.height
                                 : w / ratio(instruction.pipAspect);
            if (std::isfinite(w * h)) share = std::max(share, std::fabs(w * h) / cameraArea);
        }
        share = std::min(share, 1.0);
    }
    return rate + cameraBitRate * share;
}

Result<VideoCompositor::Built, CompositorError> VideoCompositor::buildComposition(
    const RecordingProject& project, bool includesSubtitles, double startTime,
    std::optional<double> endTime) const {
    auto refused = [&](CompositorError error, const std::string& why) {
        ZIMLO_LOG_ERROR("compose")
            << "composing the recording " << project.id.uuidString() << ": " << why;
        return fail(std::move(error));
    };
    if (!project.mainVideo)
        return refused(CompositorError::missingMainVideo(), "it names no main movie");
    auto open = [this](const MovieURL& movie, const char* role) {
        auto file = movie.file();
        return openAsset && file ? openAsset(*file).valueOr(nullptr) : openMovie(movie, role);
    };
    // A movie that cannot be opened has no video track to offer (opening logs why).
    auto mainAsset = open(*project.mainVideo, "main");
    const auto& aspect = project.aspect;
    std::shared_ptr<const media::MovieAsset> cameraAsset;
    if ((aspect.isPiPEnabled || aspect.isSplitScreenEnabled) && project.pipVideo)
        cameraAsset = open(*project.pipVideo, "camera");

    if (!mainAsset) return fail(CompositorError::missingMainTrack());
    const std::filesystem::path mainFile = mainAsset->url();
    const auto mainVideoTracks = mainAsset->tracks(MediaType::video);
    if (mainVideoTracks.empty())
        return refused(CompositorError::missingMainTrack(),
                       "the main movie " + mainFile.string() + " has no video track");
    const media::AssetTrack& mainSource = mainVideoTracks.front();

    Built built;
    auto& composition = built.composition;
    TrackID nextTrackID = 1;
    const TrackID mainTrackID = nextTrackID++;

    // Time span. The project's duration stands in only for a movie that states none; no real
    // recording comes near this, and beyond it a time no longer fits the composition's clock.
    const double D = availableDuration(*mainAsset, project.duration);
    constexpr double kLongestComposition = 1e9;  // seconds, some thirty years
    if (D > kLongestComposition) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3g", D);
        return refused(CompositorError::exportSessionFailed(withArguments(
                           translate("VideoCompositor", "影片时长超出范围（%1 秒）"), {seconds})),
                       std::string("the main movie claims ") + seconds + " seconds");
    }
    const auto [s, L] = exportSpan(D, startTime, endTime);
    const MediaTime start = MediaTime::fromSeconds(s, kCompositionTimescale);
    const MediaTime length = MediaTime::fromSeconds(L, kCompositionTimescale);
    composition.duration = length;
    composition.tracks.push_back({mainTrackID, MediaType::video, mainFile, mainSource.trackID,
                                  TimeRange{start, length}, mainSource.bitRate,
                                  mainSource.naturalSize});

    addSoundTracks(built, *mainAsset, TimeRange{start, length}, nextTrackID);
    std::optional<TrackID> pipTrackID;
    std::optional<media::AffineTransform> cameraTransform;
    if (cameraAsset) {
        const double cameraLength =
            std::min(L, std::max(availableDuration(*cameraAsset, D) - s, 0.0));
        if (const auto* cameraSource =
                addCameraTrack(built, *cameraAsset, start, cameraLength, nextTrackID)) {
            cameraTransform = cameraSource->preferredTransform;
            // Split screen shows the camera throughout, the camera window where it has a path.
            if (aspect.isSplitScreenEnabled || !project.pipTrack.empty())
                pipTrackID = built.composition.tracks.back().trackID;
        }
    }

    // Video composition and its one instruction.
    const auto size = renderSize(mainSource, project);
    auto& video = built.videoComposition;
    video.renderWidth = static_cast<int>(std::lround(size.width));
    video.renderHeight = static_cast<int>(std::lround(size.height));
    video.frameDuration = MediaTime::make(1, std::max(exportFrameRate, 1));

    video.instructions = {makeInstruction(project, includesSubtitles, s, L, size, mainTrackID,
                                          pipTrackID, mainSource.preferredTransform,
                                          cameraTransform)};
    return built;
}

std::shared_ptr<PiPCompositionInstruction> VideoCompositor::makeInstruction(
    const RecordingProject& project, bool includesSubtitles, double s, double L, Size canvas,
    TrackID mainTrackID, std::optional<TrackID> pipTrackID,
    const media::AffineTransform& mainTransform,
    const std::optional<media::AffineTransform>& cameraTransform) {
    const auto& aspect = project.aspect;
    auto instruction = std::make_shared<PiPCompositionInstruction>(
        TimeRange{MediaTime::make(0, kCompositionTimescale),
                  MediaTime::fromSeconds(L, kCompositionTimescale)},
        mainTrackID, pipTrackID);
    instruction->canvas = canvas;
    instruction->fitsMainContent =
        aspect.main == AspectRatio::default_ && project.sourceKind == RecordingSourceKind::screen;
    instruction->pipKeyframes =
        mapPiPKeyframesToCrop(rebasePiPKeyframes(project.pipTrack, s), project);
    instruction->pipAspect = aspect.pip.aspect;
    instruction->pipCornerRatio = aspect.pip.cornerRatio;
    instruction->isSplitScreenEnabled = aspect.isSplitScreenEnabled;
    instruction->splitScreenOrder = aspect.splitOrder;
    instruction->splitScreenTopRatio = aspect.splitTopRatio;
    instruction->splitScreenKeyframes = rebaseSplitScreenKeyframes(
        project.splitScreenTrack, aspect.splitOrder, s, aspect.splitTopRatio);
    instruction->totalDuration = L;
    if (includesSubtitles) instruction->subtitles = clipSubtitles(project.subtitleTrack, s, L);
    instruction->subtitleLayout = project.subtitleLayout;
    instruction->emphasizesSubtitleKeywords = project.emphasizesSubtitleKeywords;
    instruction->mainTransform = VideoTrackTransform::fromPreferredTransform(mainTransform);
    if (cameraTransform)
        instruction->pipTransform = VideoTrackTransform::fromPreferredTransform(*cameraTransform);
    return instruction;
}

std::filesystem::path VideoCompositor::exportPath(const std::filesystem::path& folder) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    std::error_code unusable;
    const auto directory = folder.empty() ? std::filesystem::temp_directory_path(unusable) : folder;
    if (directory.empty()) return {};
    const std::string stem = "zimlo_export_" + std::to_string(seconds);
    // Two exports started within one second must not write (or delete) each other's movie, so
    // the name is claimed by creating the file exclusively; a taken name gets a counter.
    for (int attempt = 1; attempt < 1000; ++attempt) {
        auto candidate = directory / (attempt == 1 ? stem + ".mp4"
                                                   : stem + "_" + std::to_string(attempt) + ".mp4");
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        if (errno != EEXIST) return candidate;  // the writer reports why the folder is unusable
    }
    return directory / (stem + ".mp4");
}

void VideoCompositor::exportMovie(const RecordingProject& project, bool includesSubtitles,
                                  double startTime, std::optional<double> endTime,
                                  const Completion& completion, const Progress& progress,
                                  const std::shared_ptr<ExportJob>& job) {
    auto composed = buildComposition(project, includesSubtitles, startTime, endTime);
    if (!composed.ok()) {
        completion(fail(std::move(composed).error()));
        return;
    }
    const Built built = std::move(composed).value();
    const auto url = exportPath(exportDirectory);
    if (url.empty()) {
        std::error_code unusable;
        (void)std::filesystem::temp_directory_path(unusable);
        const char* variable = std::getenv("TMPDIR");
        const std::string folder = variable ? variable : "";
        ZIMLO_LOG_ERROR("export") << "no folder to write the movie in: the temporary folder "
                                  << folder << ": " << unusable.message();
        completion(fail(CompositorError::exportSessionFailed(
            withArguments(translate("VideoCompositor", "临时文件夹不可用（%1）：%2"),
                          {folder, unusable.message()}))));
        return;
    }

    const auto& video = built.videoComposition;
    const auto preset = exportPreset(video.renderWidth, video.renderHeight);
    const int fps = std::max(exportFrameRate, 1);
    const auto encoder = encoderSettingsForPreset(preset, video.renderWidth, video.renderHeight,
                                                  fps, expectedSourceBitRate(built));

    // Progress reaches the main queue at every whole percent and a few times a second between
    // (a long movie takes a while per percent). Reports come from the render queue, one by one.
    struct LastReport {
        int percent = -1;
        std::chrono::steady_clock::time_point at;
    };
    auto last = std::make_shared<LastReport>();
    SessionProgress forward;
    if (progress) {
        forward = [progress, last](double fraction) {
            const int percent = static_cast<int>(fraction * 100);
            const auto now = std::chrono::steady_clock::now();
            if (percent == last->percent &&
                now - last->at < std::chrono::duration<double>(kProgressInterval))
                return;
            last->percent = percent;
            last->at = now;
            MainQueue::post([progress, fraction] { progress(fraction); });
        };
    }
    SessionFinished finished = [completion, url](SessionOutcome outcome) {
        if (!outcome) {
            // Whatever the session left (the claimed name at least) is of no use to anyone.
            std::error_code ignored;
            std::filesystem::remove(url, ignored);
        }
        MainQueue::post([completion, url, outcome = std::move(outcome)] {
            if (outcome)
                completion(url);
            else
                completion(fail(CompositorError::exportSessionFailed(
                    outcome.error().empty() ? translate("VideoCompositor", "未知错误")
                                            : outcome.error())));
        });
    };
    SessionStarter start = sessionStarter;
    if (!start) {
        start = [job](const Built& b, const std::filesystem::path& output,
                      const ExportEncoderSettings& e, int framesPerSecond, SessionFinished done,
                      SessionProgress onProgress) {
            auto session = ExportSession::create(b, output, e, framesPerSecond);
            if (!session) return false;
            session->start(std::move(done), std::move(onProgress));
            if (job) job->setCancelHandler([session] { session->cancel(); });
            return true;
        };
    }
    if (!start(built, url, encoder, fps, std::move(finished), std::move(forward))) {
        std::error_code ignored;
        std::filesystem::remove(url, ignored);  // the claimed, still empty name
        completion(fail(CompositorError::exportSessionFailed(
            translate("VideoCompositor", "无法创建导出会话"))));
    }
}

std::vector<SubtitleSegment> VideoCompositor::exportedSubtitles(const RecordingProject& project,
                                                                double startTime,
                                                                std::optional<double> endTime) {
    double D = std::isfinite(project.duration) && project.duration > 0 ? project.duration : 0;
    if (auto file = localFile(project.mainVideo)) D = media::availableDuration(*file, D);
    const auto [s, L] = exportSpan(D, startTime, endTime);
    return clipSubtitles(project.subtitleTrack, s, L);
}

Result<std::shared_ptr<media::PixelBuffer>, CompositorError> VideoCompositor::renderFrame(
    const RecordingProject& project, double t, bool includesSubtitles) const {
    auto composed = buildComposition(project, includesSubtitles, 0, std::nullopt);
    if (!composed.ok()) return fail(std::move(composed).error());
    const Built& built = *composed;
    const auto& instruction = built.videoComposition.instructions.front();
    const MediaTime time =
        MediaTime::fromSeconds(std::max(finiteOr(t, 0), 0.0), kCompositionTimescale);

    std::map<TrackID, std::shared_ptr<const media::PixelBuffer>> frames;
    auto grab = [&](TrackID id) {
        const auto* track = built.composition.track(id);
        if (!track || !track->sourceRange || time >= track->sourceRange->duration) return;
        auto asset = media::MovieAsset::open(track->sourcePath);
        if (!asset) return;
        const MediaTime at = track->sourceRange->start + time;
        // The same pictures the export draws with, so the frame shows what the movie will.
        auto reader = media::VideoFrameReader::open(**asset, track->sourceTrackID,
                                                    TimeRange{at, track->sourceRange->end() - at},
                                                    media::DecodedPictureFormat::bt709NV12OrBGRA);
        if (!reader) return;
        if (auto frame = (*reader)->next()) frames[id] = frame->pixels;
    };
    grab(instruction->mainTrackID);
    if (instruction->pipTrackID) grab(*instruction->pipTrackID);

    PiPVideoCompositor compositor;
    auto context = RenderContext::make(built.videoComposition.renderWidth,
                                       built.videoComposition.renderHeight, 1);
    std::promise<VideoCompositionRequest::Result> rendered;
    compositor.startVideoCompositionRequest(std::make_shared<VideoCompositionRequest>(
        time, instruction, context, std::move(frames),
        [&rendered](VideoCompositionRequest::Result result) {
            rendered.set_value(std::move(result));
        }));
    auto result = rendered.get_future().get();
    if (result.error) {
        ZIMLO_LOG_ERROR("compose")
            << "drawing the frame at " << time.seconds() << " s of the recording "
            << project.id.uuidString() << " failed (" << result.error->domain << " "
            << result.error->code << ")";
        return fail(CompositorError::exportSessionFailed(
            withArguments(translate("VideoCompositor", "画面合成失败（%1 %2）"),
                          {result.error->domain, std::to_string(result.error->code)})));
    }
    return result.frame;
}

}  // namespace zimlo::compose
