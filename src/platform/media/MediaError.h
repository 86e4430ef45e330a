#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "platform/runtime/Result.h"

namespace zimlo::media {

// Why reading, decoding or writing a movie, or writing a picture, failed. Technical only: the layer
// that shows it to the user words it.
struct MediaError {
    enum class Kind {
        library,            // an FFmpeg call failed: `detail` is its description, `code` its number
        system,             // a system call failed: `detail` is its description, `code` its errno
        noSuchTrack,        // the movie has no track with that identifier
        noSuchVideoTrack,   // ... or it is not video
        noSuchAudioTrack,   // ... or it is not sound
        noAudioTracks,      // asked to mix no tracks at all
        unsupportedCodec,   // no decoder; `detail` is the codec's name
        noMovie,            // no movie was given
        notARegularFile,    // the movie's path names a FIFO, device, socket or folder
        timedOut,           // reading took longer than the caller allowed
        noVideoTrack,       // the movie has no video track
        noPicture,          // the video track decoded to no picture
        pictureConversion,  // a picture could not be converted to the wanted format
        soundConversion,    // sound could not be resampled
        invalidTransform,   // the track's transform cannot be inverted
        notBGRA,            // only BGRA pictures are saved
        noEncoder,          // no encoder; `detail` is the format's name
        outOfMemory,
        writeFailed,  // the file could not be written whole
        // The movie writer's own:
        noOutputFile,        // no file name was given
        invalidPictureSize,  // a video track of no size
        invalidSoundFormat,  // a sound track of no rate or channels
        missingFormat,       // a copied track without its format
        writingStarted,      // tracks are added only before writing starts
        noTracks,            // writing started with no track
        soundTimestampJump,  // sound far past the pictures; `detail` is how many seconds
        tooManyTracks,       // the container takes no further track
    };
    Kind kind = Kind::library;
    std::string detail;
    int code = 0;

    static MediaError of(Kind kind, std::string detail = {}) {
        return {kind, std::move(detail), 0};
    }
    // FFmpeg's error `code`, with its description (empty when FFmpeg has none).
    static MediaError library(int code);
    // The system's error number `code`.
    static MediaError system(int code);

    // For logs: the kind's name and the detail.
    std::string technicalText() const;
    friend bool operator==(const MediaError&, const MediaError&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const MediaError& error) {
    return out << error.technicalText();
}

template <typename T>
using MediaResult = Result<T, MediaError>;

// Logs a failure with what was being done and to which file, and hands the error on.
Failure<MediaError> logged(MediaError error, const char* doing, const std::filesystem::path& url);

}  // namespace zimlo::media
