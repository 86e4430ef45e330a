#pragma once

#include <atomic>

#include "platform/media/MediaSample.h"

namespace zimlo::capture {

// The loudest value of a sample, 0 (silence) to 1 (full scale), over all its channels.
float peakLevel(const media::AudioSample& sample);

// What the microphone's level meter shows: the loudest peak heard since it was last read.
// Samples come in on any thread; reads come from the one that shows the level.
class MicrophoneLevelMeter {
  public:
    void take(const media::AudioSample& sample);
    // The loudest peak since the previous read (0 when nothing came), and starts over.
    float read();

  private:
    std::atomic<float> peak_{0};
};

}  // namespace zimlo::capture
