#pragma once

#include <string>

namespace zimlo::capture {

// Which sound a movie's audio track carries.
enum class AudioSource {
    system,      // the computer's own sound
    microphone,  // the selected microphone
};

// The track's name in messages: "电脑声音" or "麦克风声音".
std::string audioTrackLabel(AudioSource source);

}  // namespace zimlo::capture
