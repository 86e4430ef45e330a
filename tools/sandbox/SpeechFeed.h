#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zimlo::sandbox {

// A sentence fed to the microphone: where it lies in the feed, in seconds from its start.
struct SpokenSentence {
    double start = 0;
    double end = 0;
    std::string text;
};

// Speech for the virtual microphone: the LibriVox sentences of pocketsphinx-testdata, shortest
// first, repeated until `seconds` are filled, with `leadingSilence` seconds before the first and
// `pause` seconds after each (long enough to end an utterance). 48 kHz mono; `spoken` receives
// each sentence's place and words. Throws std::runtime_error naming a clip that cannot be read.
std::vector<int16_t> librivoxSpeech(double seconds, double leadingSilence, double pause,
                                    std::vector<SpokenSentence>& spoken);

// A recording read from a 16-bit PCM WAV file (any rate; channels averaged), resampled to the
// microphone's 48 kHz mono. Throws std::runtime_error naming the file when it cannot be read.
std::vector<int16_t> loadSpeechClip(const std::string& wavPath);

}  // namespace zimlo::sandbox
