#include "capture/MicrophoneLevel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace zimlo::capture {

float peakLevel(const media::AudioSample& sample) {
    const size_t bytes = static_cast<size_t>(media::bytesPerSample(sample.format));
    if (bytes == 0) return 0;
    const size_t count = sample.data.size() / bytes;
    float peak = 0;
    const uint8_t* at = sample.data.data();
    for (size_t i = 0; i < count; ++i, at += bytes) {
        float value = 0;
        switch (sample.format) {
            case media::SampleFormat::Float32: {
                float f;
                std::memcpy(&f, at, sizeof f);
                value = std::isfinite(f) ? std::fabs(f) : 0.0f;
                break;
            }
            case media::SampleFormat::Int16: {
                int16_t v;
                std::memcpy(&v, at, sizeof v);
                value = std::fabs(static_cast<float>(v)) / 32768.0f;
                break;
            }
            case media::SampleFormat::Int32: {
                int32_t v;
                std::memcpy(&v, at, sizeof v);
                value = static_cast<float>(std::fabs(static_cast<double>(v)) / 2147483648.0);
                break;
            }
        }
        peak = std::max(peak, value);
    }
    return std::min(peak, 1.0f);
}

void MicrophoneLevelMeter::take(const media::AudioSample& sample) {
    const float level = peakLevel(sample);
    float seen = peak_.load(std::memory_order_relaxed);
    while (level > seen && !peak_.compare_exchange_weak(seen, level, std::memory_order_relaxed)) {
    }
}

float MicrophoneLevelMeter::read() { return peak_.exchange(0, std::memory_order_relaxed); }

}  // namespace zimlo::capture
