#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/GrowingFile.h"
#include "platform/media/MediaError.h"
#include "platform/media/MediaFormat.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MediaTime.h"

struct AVFormatContext;

namespace zimlo::media {

// When reading gives up (with MediaError::Kind::timedOut); none reads as long as it takes.
using ReadDeadline = std::optional<std::chrono::steady_clock::time_point>;

struct AssetTrack {
    int trackID = 0;  // the container's track identifier (1-based in QuickTime/MPEG-4)
    MediaType mediaType = MediaType::other;
    TimeRange timeRange;
    Size naturalSize;  // video: coded picture size before the transform
    AffineTransform preferredTransform;
    std::vector<FormatDescription> formatDescriptions;
    double nominalFrameRate = 0;
    // Average bits per second of the stored samples; 0 when the container does not tell.
    double bitRate = 0;
    int streamIndex = -1;  // position among the container's streams
};

// A movie file opened for inspection. Cheap to keep: the file is closed after reading its index.
class MovieAsset {
  public:
    // Fails when the file cannot be opened as a movie: it is missing or not a regular file (the
    // system's error, notARegularFile), the demuxer's error, or timedOut past `deadline`.
    static MediaResult<std::shared_ptr<const MovieAsset>> open(const std::filesystem::path& url,
                                                               ReadDeadline deadline = {});
    // A movie still being written: this asset and every reader opened on it read the file as it
    // grows (see GrowingFile). Waits until the file's header and first samples are written;
    // `cancelled` (may be null) ends the wait. Its tracks' time ranges and bit rates describe
    // only what was written by then.
    static MediaResult<std::shared_ptr<const MovieAsset>> openGrowing(
        const std::shared_ptr<GrowingFile>& file, const std::atomic<bool>* cancelled = nullptr);

    const std::filesystem::path& url() const { return url_; }
    const std::vector<AssetTrack>& tracks() const { return tracks_; }
    std::vector<AssetTrack> tracks(MediaType type) const;
    const AssetTrack* track(int trackID) const;
    // The container's duration; invalid when it reports none.
    MediaTime duration() const { return duration_; }
    // Set for an asset opened with openGrowing.
    const std::shared_ptr<GrowingFile>& growingFile() const { return growing_; }

  private:
    static std::shared_ptr<const MovieAsset> describe(const std::filesystem::path& url,
                                                      std::shared_ptr<GrowingFile> growing,
                                                      AVFormatContext* context);

    std::filesystem::path url_;
    std::shared_ptr<GrowingFile> growing_;
    std::vector<AssetTrack> tracks_;
    MediaTime duration_;
};

// Seconds a movie lasts: the container's duration, else the latest end among its video tracks,
// else among its audio tracks, else `fallback` — the first that is finite and above zero;
// 0 when none is.
double availableDuration(const MovieAsset& asset, double fallback);
// The same for a file; `fallback` when it cannot be opened.
double availableDuration(const std::filesystem::path& url, double fallback);

// Common to the readers below: pull until empty, then check `failed`.
class TrackReaderBase {
  public:
    virtual ~TrackReaderBase() = default;
    bool failed() const { return error_.has_value(); }
    // Why reading stopped early; only when `failed`.
    const MediaError& error() const { return *error_; }
    // Makes the next pull return nothing; callable from any thread.
    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }

  protected:
    // Keeps the first failure, logged with the file it came from.
    void setError(MediaError error, const char* doing, const std::filesystem::path& url);

    std::optional<MediaError> error_;
    std::atomic<bool> cancelled_{false};
};

// Compressed samples of one track, in decode order, as stored.
class TrackPacketReader : public TrackReaderBase {
  public:
    static MediaResult<std::unique_ptr<TrackPacketReader>> open(const MovieAsset& asset,
                                                                int trackID);
    ~TrackPacketReader() override;
    // Times are on the movie's timeline (the track's own time base).
    std::optional<MediaPacket> next();

    struct Impl;

  private:
    TrackPacketReader() = default;
    std::unique_ptr<Impl> impl_;
};

struct DecodedVideoFrame {
    std::shared_ptr<PixelBuffer> pixels;  // coded size (no transform applied)
    MediaTime presentationTime;
};

// The pictures a VideoFrameReader hands out.
enum class DecodedPictureFormat {
    bgra,
    // NV12 video range, copied without colour conversion, for 8-bit 4:2:0 video-range pictures in
    // BT.709 (or untagged, 720 rows or more, as BT.709 is then assumed); BGRA for all others.
    // Lets a consumer that writes BT.709 video-range movies skip two colour conversions.
    bt709NV12OrBGRA,
};

// Decoded pictures of one video track in presentation order.
class VideoFrameReader : public TrackReaderBase {
  public:
    // With `range`, decoding starts at the key frame before its start and frames outside it are
    // skipped. `decoderThreads`: 0 lets the decoder choose (frame threads, one per core and one
    // more); 1 decodes on the caller's thread, which costs far less in all when the caller runs
    // beside other busy stages.
    static MediaResult<std::unique_ptr<VideoFrameReader>> open(
        const MovieAsset& asset, int trackID, std::optional<TimeRange> range = std::nullopt,
        DecodedPictureFormat format = DecodedPictureFormat::bgra, int decoderThreads = 0);
    ~VideoFrameReader() override;
    std::optional<DecodedVideoFrame> next();
    // Stored bytes of the track read so far, the first picture left out (a little ahead of the
    // last frame handed out: the decoder's delay), to judge how busy the picture is while its
    // movie is still written.
    int64_t compressedBytesRead() const;

    struct Impl;

  private:
    VideoFrameReader() = default;
    std::unique_ptr<Impl> impl_;
};

// Several audio tracks decoded, resampled to 48 kHz stereo 32-bit float and summed with a
// volume each. Output chunks are contiguous from the earliest track start.
class AudioMixReader : public TrackReaderBase {
  public:
    struct Input {
        int trackID = 0;
        float volume = 1.0f;
    };
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;

    static MediaResult<std::unique_ptr<AudioMixReader>> open(
        const MovieAsset& asset, const std::vector<Input>& inputs,
        std::optional<TimeRange> range = std::nullopt);
    ~AudioMixReader() override;
    // Interleaved Float32, 48 kHz, 2 channels.
    std::optional<AudioSample> next();
    // For a growing movie, once it is complete (`finished` is the complete movie, opened anew):
    // its tracks' ends and the span to read become known, as when open had them, and sound read
    // past a track's end but not yet handed out is dropped. Only between pulls. Until then a
    // growing movie's sound comes in whole chunks: at its end next() gives nothing, and the
    // rest follows setSpan.
    void setSpan(const MovieAsset& finished, const TimeRange& range);

    struct Impl;

  private:
    AudioMixReader() = default;
    std::unique_ptr<Impl> impl_;
};

// One still picture of a movie's first video track.
class ImageGenerator {
  public:
    explicit ImageGenerator(std::shared_ptr<const MovieAsset> asset) : asset_(std::move(asset)) {}

    // Only the quarter turns and mirroring of the track's transform are applied (as the export
    // does); a transform that also scales or shears leaves the picture as it is coded.
    bool appliesPreferredTrackTransform = true;
    Size maximumSize;  // zero: no limit; otherwise the picture is scaled down to fit, aspect kept
    ReadDeadline deadline;  // past it, copyImage gives up with timedOut

    // The frame shown at `time` (the last one starting at or before it; the first frame when the
    // time is before it), BGRA.
    MediaResult<std::shared_ptr<PixelBuffer>> copyImage(MediaTime time) const;

  private:
    std::shared_ptr<const MovieAsset> asset_;
};

// Writes a BGRA picture as PNG; a file written in part is removed.
MediaResult<void> writePNG(const PixelBuffer& picture, const std::filesystem::path& url);

}  // namespace zimlo::media
