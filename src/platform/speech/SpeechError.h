#pragma once

#include <filesystem>
#include <ostream>
#include <string>

namespace zimlo::speech {

// Why a speech model did not load, or audio could not be read for recognition: what went wrong,
// the file or folder it went wrong on, and a sentence in English naming both (for the log and
// the tools; the recording window says "speech recognition unavailable" whatever the kind).
struct SpeechError {
    enum class Kind {
        incompleteModel,  // a file of the acoustic model is missing or not what it should be
        modelRefused,     // PocketSphinx refused the model (or its configuration)
        loadNotStarted,   // no process could be started to try the model
        loadTimedOut,     // trying the model took longer than it may
        loadTooLarge,     // trying the model needed more memory than it may
        loadCrashed,      // PocketSphinx ended the process trying the model
        unreadableAudio,  // the audio file cannot be read, or holds audio of another kind
    };
    Kind kind = Kind::modelRefused;
    std::filesystem::path path;
    std::string message;

    friend bool operator==(const SpeechError&, const SpeechError&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const SpeechError& error) {
    return out << error.message;
}

}  // namespace zimlo::speech
