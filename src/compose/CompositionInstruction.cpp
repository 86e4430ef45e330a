#include "compose/CompositionInstruction.h"

#include <algorithm>
#include <cmath>

namespace zimlo::compose {
namespace {

template <typename Keyframe>
std::vector<Keyframe> sortedByTime(const std::vector<Keyframe>& keyframes) {
    std::vector<Keyframe> sorted = keyframes;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Keyframe& a, const Keyframe& b) { return a.time < b.time; });
    return sorted;
}

// The last keyframe at or before `t` over a sorted list (so equal times: the one stored last),
// else the first one. The list must not be empty.
template <typename Keyframe>
const Keyframe& stepSample(const std::vector<Keyframe>& sorted, double t) {
    auto after = std::upper_bound(sorted.begin(), sorted.end(), t,
                                  [](double time, const Keyframe& k) { return time < k.time; });
    return after == sorted.begin() ? sorted.front() : *std::prev(after);
}

std::optional<ImageOrientation> orientationFor(long a, long b, long c, long d) {
    struct Row {
        long a, b, c, d;
        ImageOrientation orientation;
    };
    static constexpr Row table[] = {
        {1, 0, 0, 1, ImageOrientation::up},
        {-1, 0, 0, 1, ImageOrientation::upMirrored},
        {-1, 0, 0, -1, ImageOrientation::down},
        {1, 0, 0, -1, ImageOrientation::downMirrored},
        {0, 1, 1, 0, ImageOrientation::leftMirrored},
        {0, 1, -1, 0, ImageOrientation::right},
        {0, -1, -1, 0, ImageOrientation::rightMirrored},
        {0, -1, 1, 0, ImageOrientation::left},
    };
    for (const auto& row : table)
        if (row.a == a && row.b == b && row.c == c && row.d == d) return row.orientation;
    return std::nullopt;
}

}  // namespace

VideoTrackTransform VideoTrackTransform::fromPreferredTransform(const media::AffineTransform& t) {
    for (double v : {t.a, t.b, t.c, t.d})
        if (!std::isfinite(v)) return {};
    return {orientationFor(std::lround(t.a), std::lround(t.b), std::lround(t.c), std::lround(t.d))};
}

PiPCompositionInstruction::PiPCompositionInstruction(media::TimeRange range, TrackID main,
                                                     std::optional<TrackID> pip)
    : timeRange(range), mainTrackID(main), pipTrackID(pip) {
    std::vector<TrackID> required{main};
    if (pip) required.push_back(*pip);
    requiredSourceTrackIDs = std::move(required);
}

std::vector<PiPKeyframe> rebasePiPKeyframes(const std::vector<PiPKeyframe>& keyframes,
                                            double start) {
    if (keyframes.empty()) return {};
    auto sorted = sortedByTime(keyframes);
    PiPKeyframe first = stepSample(sorted, start);
    first.time = 0;
    std::vector<PiPKeyframe> result{first};
    for (const auto& keyframe : sorted) {
        if (!(keyframe.time > start)) continue;
        PiPKeyframe moved = keyframe;
        moved.time -= start;
        result.push_back(moved);
    }
    return result;
}

std::vector<PiPKeyframe> mapPiPKeyframesToCrop(const std::vector<PiPKeyframe>& keyframes,
                                               const RecordingProject& project) {
    const auto& aspect = project.aspect;
    if (project.sourceKind != RecordingSourceKind::camera || aspect.main == AspectRatio::default_ ||
        aspect.isSplitScreenEnabled || !project.captureViewportSize)
        return keyframes;
    const double vw = project.captureViewportSize->width;
    const double vh = project.captureViewportSize->height;
    if (!(vw > 0) || !(vh > 0)) return keyframes;

    const double r = ratio(aspect.main);
    double cw = vw;
    double ch = vw / r;
    if (vh < ch) {
        cw = vh * r;
        ch = vh;
    }
    if (!(cw > 0) || !(ch > 0)) return keyframes;
    const double x0 = (vw - cw) / 2;
    const double y0 = (vh - ch) / 2;

    std::vector<PiPKeyframe> mapped = keyframes;
    for (auto& k : mapped) {
        k.center.x = (vw * k.center.x - x0) / cw;
        k.center.y = (vh * k.center.y - y0) / ch;
        k.size.width = vw * k.size.width / cw;
        k.size.height = vh * k.size.height / ch;
    }
    return mapped;
}

std::vector<SplitScreenKeyframe> rebaseSplitScreenKeyframes(
    const std::vector<SplitScreenKeyframe>& keyframes, CameraSplitOrder defaultOrder, double start,
    double defaultTopRatio) {
    auto sorted = sortedByTime(keyframes);
    CameraSplitOrder order = defaultOrder;
    double topRatio = defaultTopRatio;
    if (!sorted.empty()) {
        const auto& current = stepSample(sorted, start);
        order = current.order;
        topRatio = current.topRatio;
    }
    // The keyframe constructor clamps the ratio.
    std::vector<SplitScreenKeyframe> result{SplitScreenKeyframe(0, order, topRatio)};
    for (const auto& keyframe : sorted)
        if (keyframe.time > start)
            result.emplace_back(keyframe.time - start, keyframe.order, keyframe.topRatio);
    return result;
}

std::vector<SubtitleSegment> clipSubtitles(const std::vector<SubtitleSegment>& segments,
                                           double start, double length) {
    std::vector<SubtitleSegment> result;
    for (const auto& segment : segments) {
        const double a = segment.startTime - start;
        const double b = segment.endTime - start;
        // Written so that a NaN anywhere drops the segment.
        if (!(b >= 0) || !(a <= length)) continue;
        SubtitleSegment clipped = segment;
        clipped.startTime = std::max(a, 0.0);
        clipped.endTime = std::min(b, length);
        result.push_back(std::move(clipped));
    }
    return result;
}

std::optional<PiPKeyframe> samplePiPKeyframe(const PiPCompositionInstruction& instruction,
                                             double t) {
    if (instruction.pipKeyframes.empty()) return std::nullopt;
    return stepSample(sortedByTime(instruction.pipKeyframes), t);
}

std::pair<CameraSplitOrder, double> sampleSplitScreen(const PiPCompositionInstruction& instruction,
                                                      double t) {
    CameraSplitOrder order = instruction.splitScreenOrder;
    double topRatio = instruction.splitScreenTopRatio;
    if (!instruction.splitScreenKeyframes.empty()) {
        const auto sorted = sortedByTime(instruction.splitScreenKeyframes);
        const auto& k = stepSample(sorted, t);
        order = k.order;
        topRatio = k.topRatio;
    }
    return {order, AspectSettings::clampSplitTopRatio(topRatio)};
}

std::optional<SubtitleSegment> activeSubtitle(const PiPCompositionInstruction& instruction,
                                              double t) {
    for (const auto& segment : instruction.subtitles) {
        if (segment.startTime <= t && t <= segment.endTime) {
            if (segment.text.empty()) return std::nullopt;
            return segment;
        }
    }
    return std::nullopt;
}

namespace {

// Keyframes and segments that can show before `until`, in the order sampling meets them.
template <typename Keyframe>
std::vector<Keyframe> before(const std::vector<Keyframe>& keyframes, double until) {
    std::vector<Keyframe> found;
    for (const auto& k : sortedByTime(keyframes))
        if (k.time < until) found.push_back(k);
    return found;
}

struct ShownSegment {
    double start, end;  // the end as far as it matters before `until`
    std::string text;
    friend bool operator==(const ShownSegment&, const ShownSegment&) = default;
};

std::vector<ShownSegment> shownBefore(const std::vector<SubtitleSegment>& segments, double until) {
    std::vector<ShownSegment> found;
    for (const auto& s : segments)
        if (s.startTime < until) found.push_back({s.startTime, std::min(s.endTime, until), s.text});
    return found;
}

bool samePlace(const std::optional<PiPKeyframe>& a, const std::optional<PiPKeyframe>& b) {
    if (!a || !b) return !a && !b;
    return a->center == b->center && a->size == b->size;
}

std::optional<std::string> shownText(const PiPCompositionInstruction& instruction, double t) {
    auto segment = activeSubtitle(instruction, t);
    if (!segment) return std::nullopt;
    return segment->text;
}

}  // namespace

bool drawsAlike(const PiPCompositionInstruction& a, const PiPCompositionInstruction& b,
                int64_t frames, int framesPerSecond) {
    if (a.canvas != b.canvas || a.fitsMainContent != b.fitsMainContent ||
        a.mainTransform != b.mainTransform ||
        a.pipTrackID.has_value() != b.pipTrackID.has_value() ||
        a.isSplitScreenEnabled != b.isSplitScreenEnabled || a.subtitleLayout != b.subtitleLayout ||
        a.emphasizesSubtitleKeywords != b.emphasizesSubtitleKeywords)
        return false;
    const bool camera = a.pipTrackID.has_value();
    if (camera && (a.pipTransform != b.pipTransform || a.pipAspect != b.pipAspect ||
                   a.pipCornerRatio != b.pipCornerRatio))
        return false;
    if (frames <= 0) return true;
    const int fps = std::max(framesPerSecond, 1);
    const double until = static_cast<double>(frames - 1) / fps + 1e-9;
    // The same tracks up to the last frame draw the same; tracks that differ there may still
    // draw the same (a keyframe repeating the place before it), which the frames themselves say.
    const bool sameKeyframes = !camera || a.isSplitScreenEnabled ||
                               before(a.pipKeyframes, until) == before(b.pipKeyframes, until);
    const bool sameSplits =
        !a.isSplitScreenEnabled ||
        (before(a.splitScreenKeyframes, until) == before(b.splitScreenKeyframes, until) &&
         (!a.splitScreenKeyframes.empty() || (a.splitScreenOrder == b.splitScreenOrder &&
                                              a.splitScreenTopRatio == b.splitScreenTopRatio)));
    const bool sameSubtitles = shownBefore(a.subtitles, until) == shownBefore(b.subtitles, until);
    if (sameKeyframes && sameSplits && sameSubtitles) return true;
    for (int64_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / fps;
        if (!sameKeyframes && !samePlace(samplePiPKeyframe(a, t), samplePiPKeyframe(b, t)))
            return false;
        if (!sameSplits && sampleSplitScreen(a, t) != sampleSplitScreen(b, t)) return false;
        if (!sameSubtitles && shownText(a, t) != shownText(b, t)) return false;
    }
    return true;
}

}  // namespace zimlo::compose
