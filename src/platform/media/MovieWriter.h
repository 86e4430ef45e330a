#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/media/MediaError.h"
#include "platform/media/MediaFormat.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MediaTime.h"
#include "platform/runtime/Result.h"

namespace zimlo::media {

// H.264 (libx264, High profile, 4:2:0, BT.709 video range) from BGRA or NV12 pictures.
struct VideoEncoderSettings {
    int width = 0;
    int height = 0;
    int64_t averageBitRate = 0;  // bits per second
    int expectedFrameRate = 30;
    AffineTransform transform;  // stored as the track's display matrix
    // Speed against quality. The defaults keep 1920x1080 at 30 fps in real time on two cores
    // next to the capture itself: the fastest preset with the 8x8 transform that makes it High
    // profile; the quantiser floor stops easy screen content from being coded near-losslessly.
    std::string preset = "ultrafast";
    // x264 tuning; "zerolatency": each picture leaves the encoder as soon as it is in.
    std::string tune;
    std::string encoderParameters = "8x8dct=1";  // x264 "key=value:key=value"
    int minQuantizer = 12;
    int maxBFrames = 0;  // none by default: capture wants low latency and simple fragments
    int threads = 0;     // 0: the encoder's choice
    // The pictures mostly appended. With NV12VideoRange the encoder reads such pictures of the
    // track's size where they are, without conversion or copy (the movie is tagged BT.709 video
    // range, so they must be in it); pictures of other kinds are converted as always.
    PixelFormat pictureFormat = PixelFormat::BGRA;
};

// AAC-LC.
struct AudioEncoderSettings {
    int sampleRate = 48000;
    int channels = 2;
    int64_t bitRate = 128000;
};

struct MovieWriterOptions {
    // Fragmented QuickTime/MPEG-4: the file is playable up to its last complete fragment even
    // when the process dies before finishing. Each fragment goes to the file as soon as it is
    // complete, not when the output buffer happens to fill.
    bool fragmented = false;
    double fragmentSeconds = 1.0;
    // How often written data is forced to the disk (0: left to the system), so a power loss
    // also keeps the fragments written before it.
    double syncSeconds = 0;
    // Index at the front of the file (progressive playback); not with `fragmented`.
    bool fastStart = false;
    // Samples an input holds before it reports not ready (0: a default for the input kind:
    // about a second of pictures within 256 MiB, 256 sound chunks or packets).
    int videoQueueCapacity = 0;
    int audioQueueCapacity = 0;
    int packetQueueCapacity = 0;
    // Tracks the container takes at most (0: its own limit); more are refused.
    int maximumTracks = 0;
};

// Writes one movie file from encoded and pass-through inputs. Each input has a bounded queue
// and its own thread; appending never blocks: when the queue is full the input is not ready and
// the sample is refused (and counted). Timestamps are taken relative to the session start:
// pictures before it are refused, sound before it is trimmed and gaps in sound become silence.
//
// Set-up (adding inputs, `start`) and appends may come from any thread. Not copyable;
// always held by shared_ptr.
class MovieWriter : public std::enable_shared_from_this<MovieWriter> {
  public:
    enum class Status { unknown, writing, completed, failed, cancelled };
    using InputID = int;

    // Fails when the container cannot be made for `url`. No file is created yet.
    static MediaResult<std::shared_ptr<MovieWriter>> create(const std::filesystem::path& url,
                                                            MovieFileType fileType,
                                                            MovieWriterOptions options);
    // Whether a movie of `fileType` can hold samples of `format` copied as they are.
    static bool canStore(MovieFileType fileType, const FormatDescription& format);
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Inputs, before `start`. Tracks appear in the file in the order added.
    MediaResult<InputID> addVideoInput(const VideoEncoderSettings& settings);
    MediaResult<InputID> addAudioInput(const AudioEncoderSettings& settings);
    // Copies compressed packets unchanged; `formatHint` describes them.
    MediaResult<InputID> addPassthroughInput(const FormatDescription& formatHint,
                                             AffineTransform transform = {});

    // Opens the file and writes the header; on failure the status is failed (or was cancelled).
    MediaResult<void> start();
    // Source time that becomes time zero of the movie. Call once, before the first append.
    void startSession(MediaTime sourceTime);

    bool acceptsMore(InputID input) const;
    // Blocks until the input is ready, the writer stops writing, or `seconds` pass.
    bool waitUntilReady(InputID input, double seconds) const;
    // False when the sample was not taken: input not ready, finished, of another kind, or the
    // writer is not writing.
    bool append(InputID input, VideoSample sample);
    bool append(InputID input, AudioSample sample);
    bool append(InputID input, MediaPacket packet);

    // No more samples for this input; what is queued is still written.
    void endInput(InputID input);
    // Marks every input finished, waits for them in the background, closes the file, then calls
    // `completion` on a thread of the writer's own. Status is then completed or failed.
    void finish(std::function<void()> completion);
    // Stops at once; the file is left as it is (status cancelled).
    void cancelWriting();

    Status status() const;
    // Why writing failed; none unless the status is failed.
    std::optional<MediaError> error() const;
    // The system's error number behind the failure when there is one (ENOSPC for a full disk),
    // else 0.
    int errorCode() const;
    // Called once, on the thread that failed, when writing fails (status turns failed). Set
    // before start; it may run after the writer is gone, so it must hold nothing of it.
    void setFailureHandler(std::function<void(const MediaError& error, int code)> handler);
    const std::filesystem::path& url() const;

    struct Impl;

  private:
    MovieWriter() = default;
    bool writeHeader();
    std::unique_ptr<Impl> impl_;
};

}  // namespace zimlo::media
