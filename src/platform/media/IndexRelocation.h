#pragma once

#include <filesystem>

#include "platform/media/MediaError.h"

namespace zimlo::media {

// How moveIndexToFront put the index in front.
enum class IndexRelocation {
    alreadyInFront,  // nothing to do
    inserted,        // room was made in front of the samples in place: only the index was written
    rewritten,       // the whole file was written again behind the index
};

// Moves the index ("moov") of a finished, unfragmented MPEG-4 or QuickTime movie from behind its
// samples to the front, where a player reading the file progressively needs it. The muxer's own
// way of doing this copies every sample once more; here, on file systems that can insert space
// into a file (ext4, XFS), a few blocks are inserted before the samples and only the index is
// written, so it costs the same for an hour of movie as for a minute. Elsewhere (or with
// `allowInsertion` false) the file is written again under a temporary name and replaces the
// original. Either way the movie's samples and timing are unchanged.
//
// A file that is not a movie with one index behind its samples is left as it is (error).
MediaResult<IndexRelocation> moveIndexToFront(const std::filesystem::path& url,
                                              bool allowInsertion = true);

}  // namespace zimlo::media
