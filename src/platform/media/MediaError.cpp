#include "platform/media/MediaError.h"

#include <system_error>

#include "platform/log/Log.h"

extern "C" {
#include <libavutil/error.h>
}

namespace zimlo::media {
namespace {

const char* kindName(MediaError::Kind kind) {
    using Kind = MediaError::Kind;
    switch (kind) {
        case Kind::library:
            return "FFmpeg error";
        case Kind::system:
            return "system error";
        case Kind::noSuchTrack:
            return "no such track";
        case Kind::noSuchVideoTrack:
            return "no such video track";
        case Kind::noSuchAudioTrack:
            return "no such audio track";
        case Kind::noAudioTracks:
            return "no audio tracks to mix";
        case Kind::unsupportedCodec:
            return "no decoder";
        case Kind::noMovie:
            return "no movie";
        case Kind::notARegularFile:
            return "not a regular file";
        case Kind::timedOut:
            return "reading took too long";
        case Kind::noVideoTrack:
            return "no video track";
        case Kind::noPicture:
            return "no decodable picture";
        case Kind::pictureConversion:
            return "picture conversion failed";
        case Kind::soundConversion:
            return "sound conversion failed";
        case Kind::invalidTransform:
            return "transform cannot be inverted";
        case Kind::notBGRA:
            return "picture is not BGRA";
        case Kind::noEncoder:
            return "no encoder";
        case Kind::outOfMemory:
            return "out of memory";
        case Kind::writeFailed:
            return "short write";
        case Kind::noOutputFile:
            return "no output file";
        case Kind::invalidPictureSize:
            return "invalid picture size";
        case Kind::invalidSoundFormat:
            return "invalid sound format";
        case Kind::missingFormat:
            return "no format description";
        case Kind::writingStarted:
            return "writing has started";
        case Kind::noTracks:
            return "no tracks to write";
        case Kind::soundTimestampJump:
            return "seconds the sound jumps past the pictures";
        case Kind::tooManyTracks:
            return "the container takes no more tracks";
    }
    return "unknown";
}

}  // namespace

MediaError MediaError::library(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    const bool known = av_strerror(code, text, sizeof text) >= 0;
    return {Kind::library, known ? std::string(text) : std::string(), code};
}

MediaError MediaError::system(int code) {
    return {Kind::system, std::generic_category().message(code), code};
}

std::string MediaError::technicalText() const {
    std::string text = kindName(kind);
    if (!detail.empty()) text += ": " + detail;
    if (code != 0) text += " (" + std::to_string(code) + ")";
    return text;
}

Failure<MediaError> logged(MediaError error, const char* doing, const std::filesystem::path& url) {
    ZIMLO_LOG_ERROR("media") << doing << " " << url << " failed: " << error.technicalText();
    return fail(std::move(error));
}

}  // namespace zimlo::media
