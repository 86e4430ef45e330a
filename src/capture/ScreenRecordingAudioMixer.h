#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/runtime/Result.h"

namespace zimlo {

struct MixerError {
    enum class Kind {
        cannotCreateReader,
        cannotCreateWriter,
        cannotStartProcessing,
        processingFailed,
        missingVideoTrack,
        missingVideoFormat,
        processingTimedOut,
    };
    Kind kind = Kind::processingFailed;
    std::string message;

    static MixerError cannotCreateReader(std::string t) {
        return {Kind::cannotCreateReader, std::move(t)};
    }
    static MixerError cannotCreateWriter(std::string t) {
        return {Kind::cannotCreateWriter, std::move(t)};
    }
    static MixerError cannotStartProcessing(std::string t) {
        return {Kind::cannotStartProcessing, std::move(t)};
    }
    static MixerError processingFailed(std::string t) {
        return {Kind::processingFailed, std::move(t)};
    }
    static MixerError missingVideoTrack() { return {Kind::missingVideoTrack, {}}; }
    static MixerError missingVideoFormat() { return {Kind::missingVideoFormat, {}}; }
    static MixerError processingTimedOut() { return {Kind::processingTimedOut, {}}; }

    std::string description() const;
    friend bool operator==(const MixerError&, const MixerError&) = default;
};

// The movie to use (the input itself when there was nothing to mix), or why mixing failed.
using MixerResult = Result<std::filesystem::path, MixerError>;

// Mixes a screen movie's audio tracks (system sound at 0.8, microphone at 1.0) into one AAC
// track, copying the video unchanged, into a new "zimlo_screen_mixed_<UUID>.mov" in the
// temporary directory. A movie with fewer than two audio tracks comes back as its own URL.
// The input is never modified; a failed run leaves no output behind. Runs one at a time on a
// queue shared by the whole application.
namespace ScreenRecordingAudioMixer {

using Completion = std::function<void(MixerResult)>;

// Returns at once; `completion` runs on the main queue.
void mixAudio(std::filesystem::path inputURL, Completion completion);

// How long a run waits for its copy loops, for a video of `seconds` (not a number: unknown).
double timeoutSeconds(double videoSeconds);
// Replaces that wait for every later run (for tests of the time-out); none restores it.
void setTimeoutOverride(std::optional<double> seconds);
// For tests of a failing disk: the sound reader of every later run delivers nothing and reports
// `text` (possibly empty) as its error; none restores reading.
void setReadFault(std::optional<std::string> text);

// Where mixed movies go (the system's temporary directory unless changed, for tests).
void setOutputDirectory(std::filesystem::path directory);
std::filesystem::path outputDirectory();

}  // namespace ScreenRecordingAudioMixer

}  // namespace zimlo
