#pragma once

// Writes small test movies with the generic movie writer: 320x240 moving video at 30 fps and any
// number of tone tracks.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/media/MovieWriter.h"
#include "platform/media/SyntheticMedia.h"

namespace zimlo::test {

struct Tone {
    double frequency = 440;
    float amplitude = 0.5f;
    int frames = -1;  // how many of the movie's frames it sounds for; -1: all
    float noise = 0;  // peak of white noise added, the same on every run: broadband sound
};

struct MovieSpec {
    bool video = true;
    std::vector<Tone> tones;
    int frames = 60;
    media::AffineTransform transform;
    media::MovieFileType fileType = media::MovieFileType::quickTimeMovie;
    media::MovieWriterOptions options;
    // The picture of each frame; moving bars when empty.
    std::function<std::shared_ptr<media::PixelBuffer>(int frame)> picture;
};

inline void writeMovie(const std::filesystem::path& url, const MovieSpec& spec) {
    auto created = media::MovieWriter::create(url, spec.fileType, spec.options);
    ASSERT_TRUE(created.ok()) << created.error();
    auto writer = *created;
    std::optional<media::MovieWriter::InputID> video;
    if (spec.video) {
        media::VideoEncoderSettings settings;
        settings.width = 320;
        settings.height = 240;
        settings.averageBitRate = 1'000'000;
        settings.transform = spec.transform;
        auto input = writer->addVideoInput(settings);
        ASSERT_TRUE(input.ok()) << input.error();
        video = *input;
    }
    std::vector<media::MovieWriter::InputID> audio;
    for (size_t i = 0; i < spec.tones.size(); ++i)
        audio.push_back(writer->addAudioInput({}).value());
    std::vector<uint32_t> noise(audio.size(), 1);  // each track's noise generator
    ASSERT_TRUE(writer->start()) << writer->error().value_or(media::MediaError{});
    writer->startSession(media::MediaTime::zero());
    for (int frame = 0; frame < spec.frames; ++frame) {
        auto time = media::MediaTime::make(frame, 30);
        if (video) {
            ASSERT_TRUE(writer->waitUntilReady(*video, 30));
            auto pixels = spec.picture ? spec.picture(frame) : movingPicture(320, 240, frame);
            ASSERT_TRUE(writer->append(*video, videoSample(pixels, time)));
        }
        for (size_t i = 0; i < audio.size(); ++i) {
            if (spec.tones[i].frames >= 0 && frame >= spec.tones[i].frames) continue;
            ASSERT_TRUE(writer->waitUntilReady(audio[i], 30));
            auto sample = toneSample(time, 1600, spec.tones[i].frequency, spec.tones[i].amplitude,
                                     48000, int64_t{frame} * 1600);
            auto* values = reinterpret_cast<float*>(sample.data.data());
            for (size_t k = 0; spec.tones[i].noise > 0 && k < sample.data.size() / 8; ++k) {
                noise[i] = noise[i] * 1664525u + 1013904223u;
                float v =
                    spec.tones[i].noise * (static_cast<float>(noise[i] >> 8) / 8388608.0f - 1);
                values[2 * k] += v;
                values[2 * k + 1] += v;
            }
            ASSERT_TRUE(writer->append(audio[i], std::move(sample)));
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    writer->finish([done] { *done = true; });
    for (int i = 0; i < 12000 && !*done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(done->load());
    ASSERT_EQ(writer->status(), media::MovieWriter::Status::completed)
        << writer->error().value_or(media::MediaError{});
}

}  // namespace zimlo::test
