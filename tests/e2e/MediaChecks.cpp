#include "MediaChecks.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <stdexcept>

#include "platform/media/AssetReader.h"

namespace zimlo::e2e {

namespace {

std::shared_ptr<const media::MovieAsset> openMovie(const std::filesystem::path& movie) {
    auto asset = media::MovieAsset::open(movie);
    if (!asset)
        throw std::runtime_error("cannot open " + movie.string() + ": " +
                                 asset.error().technicalText());
    return *asset;
}

const uint8_t* pixelAt(const media::PixelBuffer& picture, int x, int y) {
    return picture.data() + static_cast<ptrdiff_t>(y) * picture.stride() + 4 * x;
}

bool near(const uint8_t* bgra, RGB colour, int tolerance) {
    return std::abs(bgra[2] - colour.r) <= tolerance && std::abs(bgra[1] - colour.g) <= tolerance &&
           std::abs(bgra[0] - colour.b) <= tolerance;
}

bool isWhite(const uint8_t* p) { return p[0] >= 215 && p[1] >= 215 && p[2] >= 215; }
bool isBlack(const uint8_t* p) { return p[0] <= 60 && p[1] <= 60 && p[2] <= 60; }

void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2 * M_PI / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> wk(1);
            for (size_t k = 0; k < len / 2; ++k, wk *= w) {
                const auto u = a[i + k];
                const auto v = a[i + k + len / 2] * wk;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

std::pair<size_t, size_t> span(const std::vector<float>& sound, double from, double to) {
    const auto begin = static_cast<size_t>(std::clamp(from, 0.0, 1e9) * kSoundRate);
    const auto end = static_cast<size_t>(std::clamp(to, 0.0, 1e9) * kSoundRate);
    return {std::min(begin, sound.size()), std::min(end, sound.size())};
}

}  // namespace

void forEachFrame(const std::filesystem::path& movie,
                  const std::function<bool(double, const media::PixelBuffer&)>& visit) {
    auto asset = openMovie(movie);
    auto videos = asset->tracks(media::MediaType::video);
    if (videos.empty()) throw std::runtime_error(movie.string() + " has no video track");
    auto opened = media::VideoFrameReader::open(*asset, videos.front().trackID);
    if (!opened)
        throw std::runtime_error("cannot decode " + movie.string() + ": " +
                                 opened.error().technicalText());
    auto reader = std::move(opened).value();
    while (auto frame = reader->next()) {
        if (!visit(frame->presentationTime.seconds(), *frame->pixels)) return;
    }
    if (reader->failed())
        throw std::runtime_error("decoding " + movie.string() +
                                 " failed: " + reader->error().technicalText());
}

PixelRect clipped(PixelRect rect, const media::PixelBuffer& picture) {
    const int left = std::clamp(rect.x, 0, picture.width());
    const int top = std::clamp(rect.y, 0, picture.height());
    const int right = std::clamp(rect.x + rect.width, 0, picture.width());
    const int bottom = std::clamp(rect.y + rect.height, 0, picture.height());
    return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

double colourShare(const media::PixelBuffer& picture, PixelRect rect, RGB colour, int tolerance) {
    rect = clipped(rect, picture);
    if (rect.width == 0 || rect.height == 0) return 0;
    int hits = 0;
    for (int y = rect.y; y < rect.y + rect.height; ++y)
        for (int x = rect.x; x < rect.x + rect.width; ++x)
            hits += near(pixelAt(picture, x, y), colour, tolerance);
    return static_cast<double>(hits) / (rect.width * rect.height);
}

ColourSpot findColour(const media::PixelBuffer& picture, RGB colour, int tolerance) {
    ColourSpot spot;
    double sumX = 0, sumY = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (near(pixelAt(picture, x, y), colour, tolerance)) {
                ++spot.count;
                sumX += x;
                sumY += y;
            }
    if (spot.count > 0) {
        spot.centerX = sumX / spot.count;
        spot.centerY = sumY / spot.count;
    }
    return spot;
}

int outlinedWhitePixels(const media::PixelBuffer& picture, PixelRect rect) {
    rect = clipped(rect, picture);
    int count = 0;
    for (int y = rect.y; y < rect.y + rect.height; ++y) {
        for (int x = rect.x; x < rect.x + rect.width; ++x) {
            if (!isWhite(pixelAt(picture, x, y))) continue;
            bool outlined = false;
            for (int d = 1; d <= 3 && !outlined; ++d) {
                outlined = (x - d >= 0 && isBlack(pixelAt(picture, x - d, y))) ||
                           (x + d < picture.width() && isBlack(pixelAt(picture, x + d, y))) ||
                           (y - d >= 0 && isBlack(pixelAt(picture, x, y - d))) ||
                           (y + d < picture.height() && isBlack(pixelAt(picture, x, y + d)));
            }
            count += outlined;
        }
    }
    return count;
}

std::vector<float> decodeSound(const std::filesystem::path& movie) {
    auto asset = openMovie(movie);
    std::vector<media::AudioMixReader::Input> inputs;
    for (const auto& track : asset->tracks(media::MediaType::audio))
        inputs.push_back({track.trackID, 1.0f});
    if (inputs.empty()) throw std::runtime_error(movie.string() + " has no sound");
    auto opened = media::AudioMixReader::open(*asset, inputs);
    if (!opened)
        throw std::runtime_error("cannot decode the sound of " + movie.string() + ": " +
                                 opened.error().technicalText());
    auto reader = std::move(opened).value();
    std::vector<float> mono;
    bool first = true;
    while (auto chunk = reader->next()) {
        if (first) {
            // Chunks start at the earliest track's start; place them on the movie's timeline.
            const double start = chunk->presentationTime.seconds();
            if (std::isfinite(start) && start > 0)
                mono.resize(static_cast<size_t>(start * kSoundRate), 0.0f);
            first = false;
        }
        const int frames = chunk->frameCount();
        const auto* samples = reinterpret_cast<const float*>(chunk->data.data());
        for (int i = 0; i < frames; ++i)
            mono.push_back(0.5f * (samples[2 * i] + samples[2 * i + 1]));
    }
    if (reader->failed())
        throw std::runtime_error("decoding the sound of " + movie.string() +
                                 " failed: " + reader->error().technicalText());
    return mono;
}

double toneAmplitude(const std::vector<float>& sound, double frequency, double from, double to) {
    auto [begin, end] = span(sound, from, to);
    if (end <= begin) return 0;
    // One Hann-windowed DFT bin: 2 |X| / sum(w) is the sine's amplitude.
    std::complex<double> sum(0);
    double weight = 0;
    const double n = static_cast<double>(end - begin);
    for (size_t i = begin; i < end; ++i) {
        const double k = static_cast<double>(i - begin);
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * k / n);
        sum += w * static_cast<double>(sound[i]) *
               std::polar(1.0, -2 * M_PI * frequency * static_cast<double>(i) / kSoundRate);
        weight += w;
    }
    return weight > 0 ? 2 * std::abs(sum) / weight : 0;
}

double bandLevel(const std::vector<float>& sound, double low, double high, double from, double to) {
    constexpr size_t kSize = 2048;
    auto [begin, end] = span(sound, from, to);
    double power = 0;
    int blocks = 0;
    double windowPower = 0;
    for (size_t i = 0; i < kSize; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / kSize);
        windowPower += w * w;
    }
    windowPower /= kSize;
    std::vector<std::complex<double>> block(kSize);
    for (size_t at = begin; at + kSize <= end; at += kSize / 2, ++blocks) {
        for (size_t i = 0; i < kSize; ++i) {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / kSize);
            block[i] = w * static_cast<double>(sound[at + i]);
        }
        fft(block);
        double inBand = 0;
        for (size_t k = 1; k < kSize / 2; ++k) {
            const double f = static_cast<double>(k) * kSoundRate / kSize;
            if (f >= low && f <= high) inBand += std::norm(block[k]);
        }
        // Parseval, one-sided, undoing the window's loss.
        power += 2 * inBand / (static_cast<double>(kSize) * kSize) / windowPower;
    }
    return blocks > 0 ? std::sqrt(power / blocks) : 0;
}

}  // namespace zimlo::e2e
