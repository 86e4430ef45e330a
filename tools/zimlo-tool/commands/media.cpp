// media: inspect movies, mix a screen recording's sound, grab a thumbnail, and record synthetic
// frames through the movie writer (for benchmarks).
#include <sys/resource.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "CommandRegistry.h"
#include "capture/RecordingFileWriter.h"
#include "capture/ScreenRecordingAudioMixer.h"
#include "model/MediaErrorText.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MonotonicClock.h"

namespace zimlo::tool {
namespace {

const char* typeName(media::MediaType type) {
    switch (type) {
        case media::MediaType::video:
            return "video";
        case media::MediaType::audio:
            return "audio";
        case media::MediaType::other:
            return "other";
    }
    return "other";
}

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

int probe(const std::string& file) {
    auto opened = media::MovieAsset::open(file);
    if (!opened) return fail(file + ": " + userText(opened.error()));
    const auto asset = std::move(opened).value();
    for (const auto& track : asset->tracks()) {
        std::string codec = track.formatDescriptions.empty()
                                ? "none"
                                : track.formatDescriptions.front().codecName();
        const auto& t = track.preferredTransform;
        std::cout << "track " << track.trackID << " " << typeName(track.mediaType) << " " << codec
                  << " start " << number(track.timeRange.start.seconds()) << " duration "
                  << number(track.timeRange.duration.seconds()) << " size "
                  << number(track.naturalSize.width) << "x" << number(track.naturalSize.height)
                  << " transform [" << number(t.a) << " " << number(t.b) << " " << number(t.c)
                  << " " << number(t.d) << " " << number(t.tx) << " " << number(t.ty) << "]\n";
    }
    std::cout << "duration " << number(media::availableDuration(*asset, 0)) << "\n";
    return 0;
}

int mix(const std::string& file) {
    std::optional<capture::MixerResult> result;
    capture::ScreenRecordingAudioMixer::mixAudio(
        file, [&](capture::MixerResult r) { result = std::move(r); });
    mainLoop().runUntil([&] { return result.has_value(); }, std::chrono::hours(2));
    if (!result) return fail("mixing did not finish");
    if (!result->ok()) return fail(result->error().description());
    std::cout << result->value().string() << "\n";
    return 0;
}

int thumbnail(const std::string& file, const std::string& out) {
    auto asset = media::MovieAsset::open(file);
    if (!asset) return fail(file + ": " + userText(asset.error()));
    media::ImageGenerator generator(*asset);
    generator.appliesPreferredTrackTransform = true;
    generator.maximumSize = {420, 420};
    auto picture = generator.copyImage(media::MediaTime::make(60, 600));
    if (!picture) return fail(file + ": " + userText(picture.error()));
    if (auto written = media::writePNG(**picture, out); !written)
        return fail(out + ": " + userText(written.error()));
    std::cout << (*picture)->width() << "x" << (*picture)->height() << "\n";
    return 0;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// Feeds BGRA frames from a raw file (cycled) at `fps` in real time for `seconds`, with system
// sound and microphone as 10 ms chunks, like a capture; prints what was dropped and the CPU used.
int recordSynthetic(const std::vector<std::string>& args) {
    if (args.size() != 6)
        return fail("usage: media record-synthetic RAW.bgra WIDTHxHEIGHT FPS SECONDS OUT.mov");
    int width = 0, height = 0;
    if (std::sscanf(args[2].c_str(), "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0 ||
        width > 16384 || height > 16384)
        return fail("bad size " + args[2] + " (1 to 16384 each way)");
    auto rate = captureFrameRateFromRaw(std::atoi(args[3].c_str()));
    if (!rate) return fail("frame rate must be 24, 30, 60 or 120");
    const int fps = rawValue(*rate);
    const double seconds = std::atof(args[4].c_str());
    if (!(seconds > 0 && seconds <= 86400)) return fail("SECONDS must be above 0, at most 86400");
    // The pictures are all held in memory, so the file is bounded (and /dev/zero refused).
    const std::string raw = readInputFile(args[1], size_t{1} << 30);
    const size_t pictureBytes = static_cast<size_t>(width) * height * 4;
    std::vector<std::shared_ptr<const media::PixelBuffer>> pictures;
    for (size_t at = 0; pictureBytes > 0 && raw.size() - at >= pictureBytes; at += pictureBytes) {
        auto picture =
            std::make_shared<media::PixelBuffer>(width, height, media::PixelFormat::BGRA);
        std::memcpy(picture->data(), raw.data() + at, pictureBytes);
        pictures.push_back(std::move(picture));
    }
    if (pictures.empty()) return fail(args[1] + " holds no whole picture");

    auto writer = capture::RecordingFileWriter::create(
        args[5], media::MovieFileType::quickTimeMovie,
        {capture::AudioSource::system, capture::AudioSource::microphone}, *rate);
    const int totalFrames = static_cast<int>(std::lround(seconds * fps));
    const double cpuBefore = cpuSeconds();
    const auto clockStart = std::chrono::steady_clock::now();
    const auto mediaStart = media::MonotonicClock::now();
    int64_t audioChunks = 0;
    for (int frame = 0; frame < totalFrames; ++frame) {
        auto due = clockStart + std::chrono::nanoseconds(static_cast<int64_t>(1e9 * frame / fps));
        std::this_thread::sleep_until(due);
        media::VideoSample sample;
        sample.pixels = pictures[frame % pictures.size()];
        sample.presentationTime = mediaStart + media::MediaTime::make(frame, fps);
        writer->appendVideo(std::move(sample));
        // Sound due up to this frame, in 10 ms chunks.
        int64_t chunksDue = static_cast<int64_t>(std::floor((frame + 1) * 100.0 / fps));
        for (; audioChunks < chunksDue; ++audioChunks) {
            for (capture::AudioSource source :
                 {capture::AudioSource::system, capture::AudioSource::microphone}) {
                media::AudioSample chunk;
                chunk.format = media::SampleFormat::Float32;
                chunk.data.resize(480 * 2 * sizeof(float));
                auto* s = reinterpret_cast<float*>(chunk.data.data());
                double frequency = source == capture::AudioSource::system ? 440 : 660;
                for (int i = 0; i < 480; ++i)
                    s[2 * i] = s[2 * i + 1] =
                        0.3f * std::sin(2 * M_PI * frequency * (audioChunks * 480 + i) / 48000);
                chunk.presentationTime =
                    mediaStart + media::MediaTime::make(audioChunks * 480, 48000);
                writer->appendAudio(std::move(chunk), source);
            }
        }
    }
    std::optional<capture::WriterResult> result;
    writer->finish([&](capture::WriterResult r) { result = std::move(r); });
    mainLoop().runUntil([&] { return result.has_value(); }, std::chrono::minutes(10));
    const double cpu = cpuSeconds() - cpuBefore;
    if (!result) return fail("writer did not finish");
    if (!result->ok()) return fail(result->error().description());
    std::printf("frames %d dropped %" PRIu64 " audio-dropped %" PRIu64
                " cpu %.2f cpu-per-second %.3f\n",
                totalFrames, writer->droppedVideoFrames(), writer->droppedAudioSamples(), cpu,
                cpu / seconds);
    return 0;
}

// Writes `count` moving BGRA pictures to a raw file: the common input of the writer benchmark.
int synthesize(const std::vector<std::string>& args) {
    if (args.size() != 4) return fail("usage: media synth-frames OUT.bgra WIDTHxHEIGHT COUNT");
    int width = 0, height = 0;
    if (std::sscanf(args[2].c_str(), "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0 ||
        width > 16384 || height > 16384)
        return fail("bad size " + args[2] + " (1 to 16384 each way)");
    int count = std::atoi(args[3].c_str());
    std::ofstream out(args[1], std::ios::binary);
    std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
    for (int index = 0; index < count; ++index) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                // A scrolling pattern with some text-like detail and a gradient.
                int band = ((x + index * 8) / 24 + (y + index * 2) / 24) & 1;
                bool detail = ((x * 7 + y * 3 + index * 5) % 37) < 3;
                row[4 * x + 0] = static_cast<uint8_t>(band ? 230 : (x * 255 / width));
                row[4 * x + 1] =
                    static_cast<uint8_t>(detail ? 20 : (band ? 230 : y * 255 / height));
                row[4 * x + 2] = static_cast<uint8_t>(band ? 230 : ((x + y + index * 16) & 0xff));
                row[4 * x + 3] = 255;
            }
            out.write(reinterpret_cast<const char*>(row.data()),
                      static_cast<std::streamsize>(row.size()));
        }
    }
    if (!out) return fail("cannot write " + args[1]);
    return 0;
}

int run(const std::vector<std::string>& args) {
    if (args.size() == 2 && args[0] == "probe") return probe(args[1]);
    if (args.size() == 2 && args[0] == "mix") return mix(args[1]);
    if (args.size() == 3 && args[0] == "thumbnail") return thumbnail(args[1], args[2]);
    if (!args.empty() && args[0] == "record-synthetic") return recordSynthetic(args);
    if (!args.empty() && args[0] == "synth-frames") return synthesize(args);
    return fail("usage: media probe FILE | mix FILE | thumbnail FILE OUT.png");
}

RegisterCommandGroup registration(
    {"media",
     "  media probe FILE                 tracks (id, type, codec, start, duration, size, "
     "transform) and duration\n"
     "  media mix FILE                   mix the sound tracks; prints the URL used\n"
     "  media thumbnail FILE OUT.png     the gallery picture at 0.1 s, at most 420x420\n"
     "  media synth-frames OUT.bgra WxH N    N moving raw BGRA pictures\n"
     "  media record-synthetic RAW.bgra WxH FPS SECONDS OUT.mov   real-time writer run\n",
     run});

}  // namespace
}  // namespace zimlo::tool
