#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "compose/CompositionInstruction.h"
#include "compose/ExportJob.h"
#include "model/RecordingProject.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MediaSample.h"
#include "platform/runtime/Result.h"

namespace zimlo::compose {

// Why an export failed; `description()` is the text shown to the user.
class CompositorError : public std::exception {
  public:
    enum class Case { exportSessionFailed, missingMainVideo, missingMainTrack };

    static CompositorError exportSessionFailed(std::string message) {
        return CompositorError(Case::exportSessionFailed, std::move(message));
    }
    static CompositorError missingMainVideo() {
        return CompositorError(Case::missingMainVideo, {});
    }
    static CompositorError missingMainTrack() {
        return CompositorError(Case::missingMainTrack, {});
    }

    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // "导出失败：" + message, "缺少主画面视频", "主画面无视频轨".
    std::string description() const;
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const CompositorError& a, const CompositorError& b) {
        return a.kind_ == b.kind_ && a.message_ == b.message_;
    }

  private:
    CompositorError(Case kind, std::string message);
    Case kind_;
    std::string message_;
    std::string description_;
};

// The composition: tracks cut out of the source movies and placed at time 0.
struct CompositionTrack {
    TrackID trackID = kInvalidTrackID;
    media::MediaType mediaType = media::MediaType::video;
    std::filesystem::path sourcePath;
    int sourceTrackID = 0;
    // Source span placed at composition time 0; none when nothing could be inserted.
    std::optional<media::TimeRange> sourceRange;
    // What the source holds: bits per second as stored (0: unknown) and the picture size.
    double sourceBitRate = 0;
    Size sourceSize;
};

struct Composition {
    std::vector<CompositionTrack> tracks;
    media::MediaTime duration;  // timescale 600

    const CompositionTrack* track(TrackID id) const;
};

struct VideoComposition {
    int renderWidth = 0;
    int renderHeight = 0;
    media::MediaTime frameDuration;  // 1 / frame rate
    std::vector<std::shared_ptr<PiPCompositionInstruction>> instructions;
};

struct AudioMixInputParameters {
    TrackID trackID = kInvalidTrackID;
    float volume = 1.0f;  // from time 0
};

struct AudioMix {
    std::vector<AudioMixInputParameters> inputParameters;

    // The volume `track` is mixed at: its last parameters', 1 when none name it.
    float volumeOf(TrackID track) const {
        float volume = 1.0f;
        for (const auto& parameters : inputParameters)
            if (parameters.trackID == track) volume = parameters.volume;
        return volume;
    }
};

// Our stand-ins for the three preset names, and what each means for our encoder.
//   "AVAssetExportPreset3840x2160", "AVAssetExportPreset1920x1080": libx264 "veryfast", High
//     profile, average bit rate by the recorder's rule (width × height × 4 × (fps ÷ 30, 24 fps
//     counting as 1), kept within 2–48 Mb/s), up to 3 B-frames, quantiser floor 10.
//   "AVAssetExportPresetHighestQuality": the same with 1.5 times that bit rate (within 2–48 Mb/s)
//     and encoder preset "faster", for shapes the fixed presets do not fit.
// Light content: when the sources need at most a quarter of that bit rate (`sourceBitRate`, 0
// when unknown), the encoder never leaves its quantiser floor whatever it searches, so the
// picture is the same and the search is wasted: such exports use "ultrafast" with the 8x8
// transform (still High profile) and no B-frames, about 60% less encoder work on a mostly
// still screen. Busy content, where the bit rate binds and the search buys quality, keeps the
// presets above.
// Sound is AAC-LC 48 kHz stereo at 192 kb/s when mixed; a single track is copied.
struct ExportEncoderSettings {
    std::string presetName;
    std::string x264Preset;
    int64_t averageBitRate = 0;
    int maxBFrames = 3;
    int minQuantizer = 10;
};
ExportEncoderSettings encoderSettingsForPreset(const std::string& presetName, int width, int height,
                                               int framesPerSecond, double sourceBitRate = 0);
// The highest source rate that counts as a light picture for `busy` (a preset's own settings).
inline double lightPictureRate(const ExportEncoderSettings& busy) {
    return static_cast<double>(busy.averageBitRate) / 4.0;
}

// Turns a recording project into a finished MPEG-4 movie. One per export; the settings are set
// before calling exportMovie. Everything here is called on the main thread.
class VideoCompositor : public std::enable_shared_from_this<VideoCompositor> {
  public:
    double exportLongEdge = 1280;
    int exportFrameRate = 24;
    // Where the movie is written; empty: the system's temporary folder.
    std::filesystem::path exportDirectory;
    // Opens the movies a composition reads; empty: MovieAsset::open. A composition of movies
    // still being written opens them as they grow.
    using AssetOpener = std::function<media::MediaResult<std::shared_ptr<const media::MovieAsset>>(
        const std::filesystem::path&)>;
    AssetOpener openAsset;

    struct Built {
        Composition composition;
        VideoComposition videoComposition;
        std::optional<AudioMix> audioMix;  // only with two or more sound tracks
    };

    using Result = ::zimlo::Result<std::filesystem::path, CompositorError>;
    using Completion = std::function<void(Result)>;
    // Fraction done, 0 to 1; called on the main queue.
    using Progress = std::function<void(double)>;

    // How an export session ended: success, or failure with the reason (possibly empty).
    using SessionOutcome = ::zimlo::Result<void, std::string>;
    // Starts the session that writes `built` into the output file; false when it cannot be set
    // up. It reports its outcome once, from any thread. Empty: the decode, compose and encode
    // pipeline; tests put failing sessions here.
    using SessionFinished = std::function<void(SessionOutcome)>;
    using SessionProgress = std::function<void(double)>;
    using SessionStarter =
        std::function<bool(const Built& built, const std::filesystem::path& outputPath,
                           const ExportEncoderSettings& encoder, int framesPerSecond,
                           SessionFinished finished, SessionProgress progress)>;
    SessionStarter sessionStarter;

    ::zimlo::Result<Built, CompositorError> buildComposition(const RecordingProject& project,
                                                             bool includesSubtitles,
                                                             double startTime,
                                                             std::optional<double> endTime) const;
    // The one instruction of a composition of `project` over [start, start + length) seconds of
    // its recording, drawn on `canvas`.
    static std::shared_ptr<PiPCompositionInstruction> makeInstruction(
        const RecordingProject& project, bool includesSubtitles, double start, double length,
        Size canvas, TrackID mainTrackID, std::optional<TrackID> pipTrackID,
        const media::AffineTransform& mainTransform,
        const std::optional<media::AffineTransform>& cameraTransform);
    static double availableDuration(const media::MovieAsset& asset, double fallback);
    // Output picture size; `mainTrack` is the main movie's video track.
    Size renderSize(const media::AssetTrack& mainTrack, const RecordingProject& project) const;
    static std::string exportPreset(double width, double height);
    // Bits per second the composed picture is expected to need, judged from what its sources
    // store: the main picture, plus the camera's share of its own picture that the window or
    // split region shows. 0 when a shown source does not tell its rate.
    static double expectedSourceBitRate(const Built& built);
    // The same with the sources' rates given (measured so far, while their movies are written).
    static double expectedSourceBitRate(const Built& built, double mainBitRate,
                                        double cameraBitRate);

    // Builds and exports. Failures of the build are reported at once, before this returns;
    // everything else on the main queue, once. `progress` is optional: it hears every whole
    // percent, and at least four times a second while frames are made. Cancelling `job` stops
    // the export; it then fails with "导出失败：已取消合成". A failed export leaves no file.
    void exportMovie(const RecordingProject& project, bool includesSubtitles, double startTime,
                     std::optional<double> endTime, const Completion& completion,
                     const Progress& progress = {},
                     const std::shared_ptr<ExportJob>& job = nullptr);

    // The subtitles an export of this span burns in, on the exported movie's timeline: the
    // project's segments cut to the span and moved to its start. Opens the main movie to learn
    // its length (the project's duration when it cannot be read).
    static std::vector<SubtitleSegment> exportedSubtitles(const RecordingProject& project,
                                                          double startTime,
                                                          std::optional<double> endTime);

    // One composed frame at composition time `t` (for previews and checks), rendered
    // synchronously by a compositor of its own.
    ::zimlo::Result<std::shared_ptr<media::PixelBuffer>, CompositorError> renderFrame(
        const RecordingProject& project, double t, bool includesSubtitles = true) const;

    // Claims and returns the file an export started now writes: "zimlo_export_<seconds>.mp4" in
    // `directory` (empty: the temporary folder), or "zimlo_export_<seconds>_<n>.mp4" when another
    // export took that name. Empty when `directory` is empty and there is no temporary folder
    // (a $TMPDIR that does not exist).
    static std::filesystem::path exportPath(const std::filesystem::path& directory = {});
};

}  // namespace zimlo::compose
