#pragma once

// Synthetic pictures and sound for media tests: moving content, so the encoder has real work.

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/media/MediaSample.h"

namespace zimlo::test {

// A BGRA picture whose bars move with `index`.
inline std::shared_ptr<media::PixelBuffer> movingPicture(int width, int height, int index) {
    auto pixels = std::make_shared<media::PixelBuffer>(width, height, media::PixelFormat::BGRA);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = pixels->data() + static_cast<size_t>(y) * pixels->stride();
        for (int x = 0; x < width; ++x) {
            int band = ((x + index * 4) / 16 + y / 16) & 3;
            row[4 * x + 0] = static_cast<uint8_t>(band * 60);
            row[4 * x + 1] = static_cast<uint8_t>((x + index) & 0xff);
            row[4 * x + 2] = static_cast<uint8_t>((y * 2 + index * 3) & 0xff);
            row[4 * x + 3] = 255;
        }
    }
    return pixels;
}

inline media::VideoSample videoSample(std::shared_ptr<const media::PixelBuffer> pixels,
                                      media::MediaTime time) {
    media::VideoSample sample;
    sample.pixels = std::move(pixels);
    sample.presentationTime = time;
    return sample;
}

// `frames` frames of a sine tone, stereo float at `rate`, starting at `time`.
inline media::AudioSample toneSample(media::MediaTime time, int frames, double frequency = 440,
                                     float amplitude = 0.5f, int rate = 48000,
                                     int64_t firstFrame = 0) {
    media::AudioSample sample;
    sample.format = media::SampleFormat::Float32;
    sample.sampleRate = rate;
    sample.channels = 2;
    sample.presentationTime = time;
    sample.data.resize(static_cast<size_t>(frames) * 2 * sizeof(float));
    auto* out = reinterpret_cast<float*>(sample.data.data());
    for (int i = 0; i < frames; ++i) {
        float v = amplitude *
                  static_cast<float>(std::sin(2 * M_PI * frequency * (firstFrame + i) / rate));
        out[2 * i] = v;
        out[2 * i + 1] = v;
    }
    return sample;
}

// A fresh directory under the temporary directory, removed with the object.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zimlo-media-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Runs a shell command and returns its standard output.
inline std::string commandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        pclose(pipe);
    }
    return output;
}

}  // namespace zimlo::test
