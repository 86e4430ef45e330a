#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/media/MediaSample.h"

// Small measurements on a finished movie: what its pictures show in a rectangle, and how loud
// its sound is at a frequency or in a band.
namespace zimlo::e2e {

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct RGB {
    int r = 0;
    int g = 0;
    int b = 0;
};

// Decodes the first video track and hands each picture (BGRA) with its time in seconds to
// `visit`, which returns false to stop. Throws std::runtime_error when the movie cannot be read.
void forEachFrame(const std::filesystem::path& movie,
                  const std::function<bool(double time, const media::PixelBuffer& picture)>& visit);

// The rectangle clipped to the picture.
PixelRect clipped(PixelRect rect, const media::PixelBuffer& picture);
// Share of the pixels in `rect` within `tolerance` of `colour` on every channel.
double colourShare(const media::PixelBuffer& picture, PixelRect rect, RGB colour, int tolerance);
// Number and centre of the pixels of the whole picture within `tolerance` of `colour`.
struct ColourSpot {
    int count = 0;
    double centerX = 0;
    double centerY = 0;
};
ColourSpot findColour(const media::PixelBuffer& picture, RGB colour, int tolerance);
// Pixels in `rect` that look like outlined text: near-white, with a near-black pixel at most
// three pixels away along the row or column.
int outlinedWhitePixels(const media::PixelBuffer& picture, PixelRect rect);

// The movie's sound: every audio track decoded and summed, down-mixed to mono, 48 kHz.
std::vector<float> decodeSound(const std::filesystem::path& movie);
inline constexpr int kSoundRate = 48000;
// Amplitude of the sine at `frequency` in seconds [from, to) of `sound`.
double toneAmplitude(const std::vector<float>& sound, double frequency, double from, double to);
// Root-mean-square level of the part of `sound` between `low` and `high` Hz in seconds [from, to).
double bandLevel(const std::vector<float>& sound, double low, double high, double from, double to);

}  // namespace zimlo::e2e
