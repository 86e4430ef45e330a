#include "MovieReport.h"

#include <cstdio>
#include <stdexcept>

#include "model/MediaErrorText.h"
#include "platform/media/AssetReader.h"

namespace zimlo::demo {

namespace {

std::shared_ptr<const media::MovieAsset> open(const std::filesystem::path& movie) {
    auto asset = media::MovieAsset::open(movie);
    if (!asset)
        throw std::runtime_error("cannot open " + movie.string() + ": " + userText(asset.error()));
    return *asset;
}

std::string format(const char* pattern, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

}  // namespace

MovieSummary summarizeMovie(const std::filesystem::path& movie) {
    auto asset = open(movie);
    MovieSummary summary;
    summary.seconds = media::availableDuration(*asset, 0);
    for (const auto& track : asset->tracks()) {
        const std::string codec = track.formatDescriptions.empty()
                                      ? std::string("unknown codec")
                                      : track.formatDescriptions.front().codecName();
        if (track.mediaType == media::MediaType::video) {
            summary.streams.push_back(format("video: %s, %.0f×%.0f, %.0f fps", codec.c_str(),
                                             track.naturalSize.width, track.naturalSize.height,
                                             track.nominalFrameRate));
        } else if (track.mediaType == media::MediaType::audio) {
            int rate = 0, channels = 0;
            if (!track.formatDescriptions.empty()) {
                rate = track.formatDescriptions.front().sampleRate();
                channels = track.formatDescriptions.front().channels();
            }
            const std::string layout = channels == 1   ? "mono"
                                       : channels == 2 ? "stereo"
                                                       : format("%d channels", channels);
            summary.streams.push_back(
                format("audio: %s, %d Hz, %s", codec.c_str(), rate, layout.c_str()));
        } else {
            summary.streams.push_back("other: " + codec);
        }
    }
    return summary;
}

void saveMovieFrame(const std::filesystem::path& movie, double seconds,
                    const std::filesystem::path& png) {
    media::ImageGenerator generator(open(movie));
    auto picture = generator.copyImage(media::MediaTime::fromSeconds(seconds, 600));
    if (!picture)
        throw std::runtime_error("cannot decode a frame of " + movie.string() + ": " +
                                 userText(picture.error()));
    if (auto written = media::writePNG(**picture, png); !written)
        throw std::runtime_error("cannot write " + png.string() + ": " + userText(written.error()));
}

std::string readableSize(uintmax_t bytes) {
    if (bytes >= 1'000'000) return format("%.1f MB", static_cast<double>(bytes) / 1e6);
    if (bytes >= 1'000) return format("%.0f KB", static_cast<double>(bytes) / 1e3);
    return format("%ju bytes", bytes);
}

}  // namespace zimlo::demo
