#pragma once

// Reads a movie's sound back for checks of what was heard and when.

#include <filesystem>
#include <vector>

#include "platform/media/AssetReader.h"
#include "support/ResultValue.h"

namespace zimlo::test {

// The left channel of the movie's first sound track, decoded at its own rate (48 kHz for
// everything recorded here); empty when the movie or the track cannot be read.
inline std::vector<float> leftChannelOfFirstSoundTrack(const std::filesystem::path& movie) {
    std::vector<float> left;
    auto asset = valueOrFailure(media::MovieAsset::open(movie));
    if (!asset) return left;
    auto tracks = asset->tracks(media::MediaType::audio);
    if (tracks.empty()) return left;
    auto reader = valueOrFailure(media::AudioMixReader::open(*asset, {{tracks[0].trackID, 1.0f}}));
    if (!reader) return left;
    while (auto chunk = reader->next()) {
        const auto* s = reinterpret_cast<const float*>(chunk->data.data());
        for (size_t i = 0; i + 1 < chunk->data.size() / 4; i += 2) left.push_back(s[i]);
    }
    return left;
}

}  // namespace zimlo::test
