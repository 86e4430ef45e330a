#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/media/MediaError.h"
#include "platform/runtime/Result.h"

namespace zimlo::capture {

// Why mixing a recording's sound failed: the step that failed and what the readers or the
// writer reported about it, where they did. description() words it for the user from these.
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
    enum class Step {
        openingMovie,
        checkingTracks,        // the movie lacks its video track or its format
        addingVideoOutput,     // no reader takes the video track as it is stored
        addingAudioMixOutput,  // no reader decodes the sound tracks (a format nothing here reads)
        startingReaders,
        creatingWriter,
        addingTracks,
        startingWriter,
        copyingVideo,
        mixingSound,
        reading,  // a reader failed although the copying ended normally
        waiting,  // the copying or the finish took too long
        finishing,
    };
    Kind kind = Kind::processingFailed;
    Step step = Step::mixingSound;
    std::optional<media::MediaError> cause;

    static MixerError cannotCreateReader(media::MediaError cause, Step step = Step::openingMovie) {
        return {Kind::cannotCreateReader, step, std::move(cause)};
    }
    static MixerError cannotCreateWriter(Step step, std::optional<media::MediaError> cause) {
        return {Kind::cannotCreateWriter, step, std::move(cause)};
    }
    static MixerError cannotStartProcessing(Step step, std::optional<media::MediaError> cause) {
        return {Kind::cannotStartProcessing, step, std::move(cause)};
    }
    static MixerError processingFailed(Step step, std::optional<media::MediaError> cause) {
        return {Kind::processingFailed, step, std::move(cause)};
    }
    static MixerError missingVideoTrack() {
        return {Kind::missingVideoTrack, Step::checkingTracks, {}};
    }
    static MixerError missingVideoFormat() {
        return {Kind::missingVideoFormat, Step::checkingTracks, {}};
    }
    static MixerError processingTimedOut() { return {Kind::processingTimedOut, Step::waiting, {}}; }

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

// How one run goes.
struct MixOptions {
    // Where the mix goes; empty: outputDirectory().
    std::filesystem::path directory{};
    // How long the run waits for its copy loops; none: timeoutSeconds() of the video's length.
    std::optional<double> copyTimeoutSeconds{};
    // How long it waits for the finished file.
    double finishTimeoutSeconds = 60;
    // For tests of a failing disk: the sound reader delivers nothing and reports this error.
    std::optional<media::MediaError> readFault{};
};

// Returns at once; `completion` runs on the main queue.
void mixAudio(std::filesystem::path inputPath, Completion completion, MixOptions options = {});

// How long a run waits for its copy loops, for a video of `seconds` (not a number: unknown).
double timeoutSeconds(double videoSeconds);

// Where mixed movies go (the system's temporary directory unless changed, for tests).
void setOutputDirectory(std::filesystem::path directory);
std::filesystem::path outputDirectory();

}  // namespace ScreenRecordingAudioMixer

}  // namespace zimlo::capture
