#pragma once

// The movie writer's tracks (not part of the public interface): each turns one input's samples
// into packets for the writer's container.

#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>

#include "platform/media/MediaError.h"
#include "platform/media/MediaFormat.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MediaTime.h"
#include "platform/runtime/Result.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace zimlo::media {

using TrackSample = std::variant<VideoSample, AudioSample, MediaPacket>;

// What a track writes into: the writer's container and its shared state.
class TrackOutput {
  public:
    virtual ~TrackOutput() = default;

    virtual const std::filesystem::path& url() const = 0;
    // A new stream in the container; fails once writing has started.
    virtual MediaResult<AVStream*> newStream() = 0;
    // Whether encoders must put their headers in the stream rather than in every key frame.
    virtual bool wantsGlobalHeader() const = 0;
    // Hands a packet (in its stream's time base) to the muxer. False when writing failed.
    virtual bool writePacket(AVPacket* packet) = 0;
    // Fails the whole writer; the first failure wins.
    virtual void fail(MediaError error) = 0;
    // Source time that is time zero of the movie.
    virtual MediaTime sessionStart() const = 0;
    // The latest picture time given to any track, in microseconds from the session start.
    virtual int64_t picturesReachedMicros() const = 0;
    // Whether the container tells players to skip what an encoder puts before the first sample
    // (an edit list). A fragmented movie, whose header is written before any sample, cannot.
    virtual bool skipsEncoderDelay() const = 0;
};

// One track of the movie, fed by its input's thread, one sample at a time.
class MovieTrack {
  public:
    virtual ~MovieTrack() = default;
    // False when writing failed (already reported to the output).
    virtual bool write(const TrackSample& sample) = 0;
    // No more samples: what the track still holds goes out.
    virtual void finish() = 0;
};

// `time` on `timeBase`, rounded to the nearest tick.
int64_t toTicks(MediaTime time, AVRational timeBase);

// Sends `frame` (null: the end) to the encoder and writes every packet it has ready to `stream`.
// Packets without a duration get `defaultDuration` (encoder time base) when it is positive.
bool encodeAndWrite(AVCodecContext* encoder, AVFrame* frame, AVStream* stream,
                    int64_t defaultDuration, TrackOutput& output);

// A track that cannot be added: logged with what was being done, the reason to the caller.
Failure<MediaError> refuseTrack(const TrackOutput& output, const char* doing, MediaError reason);

}  // namespace zimlo::media
