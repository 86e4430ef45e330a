#pragma once

#include <cstdint>
#include <vector>

#include "platform/media/MediaSample.h"

struct SwrContext;

namespace zimlo::speech {

// Converts microphone samples of any rate, format and channel count to the decoder's input:
// 16 kHz mono signed 16-bit. Keeps resampler state between calls, so consecutive samples of one
// stream join without clicks; a change of input format starts a new resampler.
class AudioConverter {
  public:
    static constexpr int kOutputRate = 16000;

    AudioConverter() = default;
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    // Appends the converted audio to `out`. Returns false (and appends nothing) for a sample
    // that cannot be converted: not ready, no channels, no rate, or a torn last frame.
    bool convert(const media::AudioSample& sample, std::vector<int16_t>& out);
    // Appends what the resampler still holds back.
    void flush(std::vector<int16_t>& out);

  private:
    bool configure(const media::AudioSample& sample);

    SwrContext* swr_ = nullptr;
    media::SampleFormat format_ = media::SampleFormat::Float32;
    int rate_ = 0;
    int channels_ = 0;
};

}  // namespace zimlo::speech
