#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "platform/media/MediaSample.h"
#include "platform/media/MediaTime.h"

namespace zimlo::capture {

// The movie's timeline of one recording, laid over the clock its samples are stamped with:
// paused stretches are cut out, so an instant lands on the movie at its clock time less every
// pause before it. The writers map samples through it, the recording window maps its own
// readings (duration, camera keyframes, subtitle offsets) through it, so all of them agree.
//
// Paused and resumed on the main thread; read from the capture and writing queues.
class RecordingTimeline {
  public:
    // False (and nothing changes) when already paused, or when `at` lies before the last
    // change.
    bool pause(media::MediaTime at);
    // False when not paused, or when `at` lies before the pause began.
    bool resume(media::MediaTime at);
    bool isPaused() const;

    // Whether `t` lies in a pause: from a pause's start up to (not including) its end; a pause
    // still under way covers everything from its start.
    bool isInPause(media::MediaTime t) const;
    // Time paused before `t`; a pause that contains `t` counts up to `t`.
    media::MediaTime pausedBefore(media::MediaTime t) const;
    // Where `t` lands on the movie: `t` less the time paused before it. Within a pause this
    // stands still at where the pause sits.
    media::MediaTime movieTime(media::MediaTime t) const;
    // The end of the finished pause that contains `t`; none when `t` is in no finished pause.
    std::optional<media::MediaTime> resumeTimeAfter(media::MediaTime t) const;

    // The same in seconds of the clock, for readers that keep time as numbers.
    double pausedSecondsBefore(double clockSeconds) const;

    // A frame restamped on the movie's timeline; none when it was taken during a pause.
    std::optional<media::VideoSample> videoOnTimeline(const media::VideoSample& sample) const;
    // The parts of a sound packet outside every pause, each restamped on the movie's timeline
    // (a packet across a pause's start or end is cut there). Packets without a valid time pass
    // unchanged.
    std::vector<media::AudioSample> audioOnTimeline(const media::AudioSample& sample) const;

  private:
    struct Pause {
        media::MediaTime start;
        std::optional<media::MediaTime> end;  // none while paused
    };

    media::MediaTime pausedBeforeLocked(media::MediaTime t) const;
    bool isInPauseLocked(media::MediaTime t) const;

    mutable std::mutex mutex_;   // guards: pauses_
    std::vector<Pause> pauses_;  // in order, none overlapping
};

}  // namespace zimlo::capture
