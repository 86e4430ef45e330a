#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "model/AspectSettings.h"
#include "model/Geometry.h"
#include "model/RecordingProject.h"
#include "platform/media/MediaFormat.h"
#include "platform/media/MediaTime.h"

namespace zimlo::compose {

// Identifier of a composition track. 0 is the invalid identifier.
using TrackID = int32_t;
inline constexpr TrackID kInvalidTrackID = 0;

// How a stored picture must be turned to stand upright (raw values 1 to 8 as in EXIF).
enum class ImageOrientation : int {
    up = 1,
    upMirrored = 2,
    down = 3,
    downMirrored = 4,
    leftMirrored = 5,
    right = 6,
    rightMirrored = 7,
    left = 8,
};

// Orientation correction of one source track, made from its preferred transform. Absent when
// the transform is not one of the eight right-angle cases.
struct VideoTrackTransform {
    std::optional<ImageOrientation> orientation;

    // a, b, c, d are rounded to whole numbers and looked up; the translation is ignored.
    static VideoTrackTransform fromPreferredTransform(const media::AffineTransform& transform);
    friend bool operator==(const VideoTrackTransform&, const VideoTrackTransform&) = default;
};

// Anything a video composition carries per time span; the compositor only renders the
// picture-in-picture kind and fails requests carrying another.
class VideoCompositionInstruction {
  public:
    virtual ~VideoCompositionInstruction() = default;
};

// Everything the frame compositor needs to know about one composition. Filled once by the
// builder, then only read (from the render queue), so it needs no locking.
class PiPCompositionInstruction : public VideoCompositionInstruction {
  public:
    PiPCompositionInstruction(media::TimeRange timeRange, TrackID mainTrackID,
                              std::optional<TrackID> pipTrackID);

    media::TimeRange timeRange;
    bool enablePostProcessing = false;
    bool containsTweening = true;  // frames change over time even without new source frames
    // Which source frames each request carries: the main track, then the camera track.
    std::optional<std::vector<TrackID>> requiredSourceTrackIDs;
    TrackID passthroughTrackID = kInvalidTrackID;
    const TrackID mainTrackID;
    const std::optional<TrackID> pipTrackID;
    Size canvas{1080, 1920};
    std::vector<PiPKeyframe> pipKeyframes;  // times in composition seconds
    AspectRatio pipAspect = AspectRatio::default_;
    double pipCornerRatio = 0.12;
    bool fitsMainContent = false;  // true: letterbox the main picture; false: fill and crop
    bool isSplitScreenEnabled = false;
    CameraSplitOrder splitScreenOrder = CameraSplitOrder::frontTop;
    double splitScreenTopRatio = 0.5;
    std::vector<SplitScreenKeyframe> splitScreenKeyframes;
    double totalDuration = 0;
    std::vector<SubtitleSegment> subtitles;
    SubtitleLayout subtitleLayout;
    bool emphasizesSubtitleKeywords = false;
    std::optional<VideoTrackTransform> mainTransform;
    std::optional<VideoTrackTransform> pipTransform;
};

// Build time: the project's tracks moved onto the composition timeline, which starts at the
// trim start `start` (seconds of the recording).
std::vector<PiPKeyframe> rebasePiPKeyframes(const std::vector<PiPKeyframe>& keyframes,
                                            double start);
// Camera recordings cropped to a fixed aspect: keyframes mapped from the captured viewport into
// the centred crop. Anything else is returned unchanged.
std::vector<PiPKeyframe> mapPiPKeyframesToCrop(const std::vector<PiPKeyframe>& keyframes,
                                               const RecordingProject& project);
// Never empty: begins with the state in effect at `start`.
std::vector<SplitScreenKeyframe> rebaseSplitScreenKeyframes(
    const std::vector<SplitScreenKeyframe>& keyframes, CameraSplitOrder defaultOrder, double start,
    double defaultTopRatio);
std::vector<SubtitleSegment> clipSubtitles(const std::vector<SubtitleSegment>& segments,
                                           double start, double length);

// Render time, for a frame at composition time `t` seconds. Keyframes hold until the next one.
std::optional<PiPKeyframe> samplePiPKeyframe(const PiPCompositionInstruction& instruction,
                                             double t);
// The ratio comes back clamped into [0.28, 0.72].
std::pair<CameraSplitOrder, double> sampleSplitScreen(const PiPCompositionInstruction& instruction,
                                                      double t);
// The first stored segment covering `t` (ends inclusive); nothing when it has no text.
std::optional<SubtitleSegment> activeSubtitle(const PiPCompositionInstruction& instruction,
                                              double t);

// Whether frames 0 … frames − 1 (frame n at n ÷ framesPerSecond seconds) come out the same drawn
// with `a` as with `b`, given the same source pictures: the same canvas and layout, and at every
// one of those times the same camera window place, split and subtitle text. Used when a
// composition made while recording meets what was gathered by its end.
bool drawsAlike(const PiPCompositionInstruction& a, const PiPCompositionInstruction& b,
                int64_t frames, int framesPerSecond);

}  // namespace zimlo::compose
