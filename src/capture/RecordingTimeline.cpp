#include "capture/RecordingTimeline.h"

#include <algorithm>

#include "platform/media/MonotonicClock.h"

namespace zimlo::capture {

using media::MediaTime;

bool RecordingTimeline::pause(MediaTime at) {
    if (!at.valid) return false;
    std::lock_guard lock(mutex_);
    if (!pauses_.empty()) {
        const Pause& last = pauses_.back();
        if (!last.end || at < *last.end) return false;
    }
    pauses_.push_back({at, std::nullopt});
    return true;
}

bool RecordingTimeline::resume(MediaTime at) {
    if (!at.valid) return false;
    std::lock_guard lock(mutex_);
    if (pauses_.empty() || pauses_.back().end || at < pauses_.back().start) return false;
    pauses_.back().end = at;
    return true;
}

bool RecordingTimeline::isPaused() const {
    std::lock_guard lock(mutex_);
    return !pauses_.empty() && !pauses_.back().end;
}

bool RecordingTimeline::isInPauseLocked(MediaTime t) const {
    for (const Pause& pause : pauses_) {
        if (t < pause.start) return false;
        if (!pause.end || t < *pause.end) return true;
    }
    return false;
}

bool RecordingTimeline::isInPause(MediaTime t) const {
    if (!t.valid) return false;
    std::lock_guard lock(mutex_);
    return isInPauseLocked(t);
}

MediaTime RecordingTimeline::pausedBeforeLocked(MediaTime t) const {
    MediaTime total = MediaTime::make(0, media::MonotonicClock::kTimescale);
    for (const Pause& pause : pauses_) {
        if (!(pause.start < t)) break;
        const MediaTime end = pause.end && *pause.end < t ? *pause.end : t;
        total = total + (end - pause.start);
    }
    return total;
}

MediaTime RecordingTimeline::pausedBefore(MediaTime t) const {
    if (!t.valid) return MediaTime::invalid();
    std::lock_guard lock(mutex_);
    return pausedBeforeLocked(t);
}

MediaTime RecordingTimeline::movieTime(MediaTime t) const {
    if (!t.valid) return t;
    std::lock_guard lock(mutex_);
    return t - pausedBeforeLocked(t);
}

std::optional<MediaTime> RecordingTimeline::resumeTimeAfter(MediaTime t) const {
    if (!t.valid) return std::nullopt;
    std::lock_guard lock(mutex_);
    for (const Pause& pause : pauses_) {
        if (t < pause.start) break;
        if (!pause.end) return std::nullopt;
        if (t < *pause.end) return pause.end;
    }
    return std::nullopt;
}

double RecordingTimeline::pausedSecondsBefore(double clockSeconds) const {
    return pausedBefore(MediaTime::fromSeconds(clockSeconds, media::MonotonicClock::kTimescale))
        .seconds();
}

std::optional<media::VideoSample> RecordingTimeline::videoOnTimeline(
    const media::VideoSample& sample) const {
    if (!sample.presentationTime.valid) return sample;
    std::lock_guard lock(mutex_);
    if (isInPauseLocked(sample.presentationTime)) return std::nullopt;
    media::VideoSample mapped = sample;
    mapped.presentationTime = sample.presentationTime - pausedBeforeLocked(sample.presentationTime);
    return mapped;
}

std::vector<media::AudioSample> RecordingTimeline::audioOnTimeline(
    const media::AudioSample& sample) const {
    const int frames = sample.frameCount();
    if (!sample.presentationTime.valid || frames <= 0 || sample.sampleRate <= 0) return {sample};
    const MediaTime start = sample.presentationTime;
    const MediaTime end = start + sample.duration();

    std::lock_guard lock(mutex_);
    // The stretches of [start, end) that lie outside every pause.
    std::vector<std::pair<MediaTime, MediaTime>> kept;
    MediaTime cursor = start;
    for (const Pause& pause : pauses_) {
        if (!(pause.start < end)) break;
        if (pause.end && !(cursor < *pause.end)) continue;
        if (cursor < pause.start) kept.emplace_back(cursor, pause.start);
        if (!pause.end) {
            cursor = end;
            break;
        }
        cursor = std::max(cursor, *pause.end);
    }
    if (cursor < end) kept.emplace_back(cursor, end);

    std::vector<media::AudioSample> pieces;
    const size_t frameBytes =
        static_cast<size_t>(media::bytesPerSample(sample.format)) * sample.channels;
    auto frameAt = [&](MediaTime t) {
        const int64_t index = (t - start).convertedTo(sample.sampleRate).value;
        return std::clamp<int64_t>(index, 0, frames);
    };
    for (const auto& [from, to] : kept) {
        const int64_t first = frameAt(from);
        const int64_t last = frameAt(to);
        if (last <= first) continue;
        media::AudioSample piece;
        piece.format = sample.format;
        piece.sampleRate = sample.sampleRate;
        piece.channels = sample.channels;
        piece.dataReady = sample.dataReady;
        piece.data.assign(sample.data.begin() + static_cast<std::ptrdiff_t>(first * frameBytes),
                          sample.data.begin() + static_cast<std::ptrdiff_t>(last * frameBytes));
        // The piece begins at the frame the cut rounded to, not at the cut itself.
        const MediaTime pieceStart = start + MediaTime::make(first, sample.sampleRate);
        piece.presentationTime = pieceStart - pausedBeforeLocked(pieceStart);
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

}  // namespace zimlo::capture
