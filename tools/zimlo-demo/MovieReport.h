#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zimlo::demo {

// What a finished movie holds, read with the application's own media library.
struct MovieSummary {
    double seconds = 0;
    std::vector<std::string> streams;  // "video: h264, 1920×1080, 30 fps", "audio: aac, ..."
};

// Throws std::runtime_error when the movie cannot be opened.
MovieSummary summarizeMovie(const std::filesystem::path& movie);

// Writes the picture the movie shows at `seconds` as a PNG; throws std::runtime_error on failure.
void saveMovieFrame(const std::filesystem::path& movie, double seconds,
                    const std::filesystem::path& png);

// "3.2 MB", "640 KB", "12 bytes".
std::string readableSize(uintmax_t bytes);

}  // namespace zimlo::demo
