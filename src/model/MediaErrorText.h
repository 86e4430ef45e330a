#pragma once

#include <optional>
#include <string>

#include "platform/media/MediaError.h"

namespace zimlo {

// The user's words for what the media readers and the movie writer report: the recording,
// its sound mixing, the export, the subtitle files and the draft pictures show them.
std::string userText(const media::MediaError& error);
// ... or `otherwise` when there is no error (a writer stopped without failing, say).
std::string userText(const std::optional<media::MediaError>& error, const std::string& otherwise);

}  // namespace zimlo
