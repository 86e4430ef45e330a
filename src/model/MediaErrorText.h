#pragma once

#include <string>

#include "platform/media/MediaError.h"

namespace zimlo {

// The user's words for what the media readers report: the recording's sound mixing, the
// export and the draft pictures show them.
std::string userText(const media::MediaError& error);

}  // namespace zimlo
