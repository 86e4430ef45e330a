#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "compose/CompositionInstruction.h"
#include "compose/PixelOps.h"
#include "compose/SubtitleRenderer.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MediaTime.h"
#include "platform/runtime/SerialQueue.h"

namespace zimlo::compose {

// Why a composition request failed: a domain and a code, nothing else.
struct CompositionRequestError {
    std::string domain;
    int code = 0;
    friend bool operator==(const CompositionRequestError&,
                           const CompositionRequestError&) = default;
};
// The request carried no picture-in-picture instruction, or no output buffer could be had.
inline const CompositionRequestError kRenderRequestFailed{"Zimlo", -20};

// Output buffers of one render size. Buffers come back to a small pool when their last user
// lets go, so a long export reuses a handful of pictures. Thread-safe.
class RenderContext : public std::enable_shared_from_this<RenderContext> {
  public:
    // `maximumBuffers`: how many may be out at once; beyond that newPixelBuffer gives null.
    // `format`: BGRA (pictures to look at) or NV12 video range (pictures for the encoder).
    static std::shared_ptr<RenderContext> make(
        int width, int height, int maximumBuffers = 16,
        media::PixelFormat format = media::PixelFormat::BGRA);

    int width() const { return width_; }
    int height() const { return height_; }
    media::PixelFormat format() const { return format_; }
    // A buffer of the render size and format with unspecified content, or null.
    std::shared_ptr<media::PixelBuffer> newPixelBuffer();
    int outstandingBuffers() const;

  private:
    RenderContext(int width, int height, int maximumBuffers, media::PixelFormat format);
    struct Pool;
    int width_;
    int height_;
    media::PixelFormat format_;
    std::shared_ptr<Pool> pool_;
};

// One output frame asked of the compositor. Finishes exactly once, with a frame or an error;
// the completion runs on the render queue.
class VideoCompositionRequest {
  public:
    struct Result {
        std::shared_ptr<media::PixelBuffer> frame;  // set on success
        std::optional<CompositionRequestError> error;
    };
    using Completion = std::function<void(Result)>;

    VideoCompositionRequest(
        media::MediaTime compositionTime,
        std::shared_ptr<const VideoCompositionInstruction> instruction,
        std::shared_ptr<RenderContext> renderContext,
        std::map<TrackID, std::shared_ptr<const media::PixelBuffer>> sourceFrames,
        Completion completion);

    media::MediaTime compositionTime() const { return compositionTime_; }
    const VideoCompositionInstruction* videoCompositionInstruction() const {
        return instruction_.get();
    }
    RenderContext* renderContext() const { return renderContext_.get(); }
    // Null when the track has no frame at this time.
    std::shared_ptr<const media::PixelBuffer> sourceFrameByTrackID(TrackID track) const;

    void finishWithComposedVideoFrame(std::shared_ptr<media::PixelBuffer> frame);
    void finishWithError(CompositionRequestError error);

  private:
    void finish(Result result);

    media::MediaTime compositionTime_;
    std::shared_ptr<const VideoCompositionInstruction> instruction_;
    std::shared_ptr<RenderContext> renderContext_;
    std::map<TrackID, std::shared_ptr<const media::PixelBuffer>> sourceFrames_;
    Completion completion_;
    std::atomic<bool> finished_{false};
};

// Draws every frame of an exported movie on the CPU: the main picture (filled, or fitted and
// letterboxed), the camera picture in a rounded window or one region of a split screen, then
// the active subtitle. Requests are rendered one at a time, in arrival order, on a serial queue.
// Drawing happens in NV12 (BT.709 video range), the encoder's format, so NV12 sources of that
// kind are never turned into RGB; BGRA output buffers get the finished picture converted.
class PiPVideoCompositor {
  public:
    PiPVideoCompositor();
    explicit PiPVideoCompositor(EmphasisFunction emphasis);
    // Renders what is already queued, then stops.
    ~PiPVideoCompositor();

    PiPVideoCompositor(const PiPVideoCompositor&) = delete;
    PiPVideoCompositor& operator=(const PiPVideoCompositor&) = delete;

    // Formats accepted as source frames, and the default of output frames (NV12 video range is
    // the other one a render context may have).
    static std::vector<media::PixelFormat> sourcePixelFormats();
    static media::PixelFormat requiredPixelFormat() { return media::PixelFormat::BGRA; }

    // Empties the subtitle cache and the scratch caches and restarts the frame count.
    void renderContextChanged(const std::shared_ptr<RenderContext>& context);
    // Queues the request and returns at once.
    void startVideoCompositionRequest(std::shared_ptr<VideoCompositionRequest> request);

    const std::string& renderQueueLabel() const { return renderQueue_.label(); }
    // Read on the render queue, after whatever was queued before.
    int renderedFrameCount();
    std::size_t subtitleCacheSize();
    int cacheClearCount();

  private:
    // What rendering keeps between frames besides subtitles; dropped every few frames so that
    // memory stays flat.
    struct Caches {
        Scaler mainScaler;
        Scaler cameraScaler;
        Scaler outputScaler;
        std::unique_ptr<media::PixelBuffer> canvas;  // drawn here when the output is BGRA
        std::unique_ptr<media::PixelBuffer> mainLayer;
        std::unique_ptr<media::PixelBuffer> window;
        std::vector<uint8_t> mask;
        int maskWidth = 0;
        int maskHeight = 0;
        double maskRadius = -1;
        void clear();
    };

    void handle(const std::shared_ptr<VideoCompositionRequest>& request);
    void render(const VideoCompositionRequest& request,
                const PiPCompositionInstruction& instruction, media::PixelBuffer& canvas);
    std::shared_ptr<const media::PixelBuffer> sourcePicture(
        const VideoCompositionRequest& request, TrackID track,
        const std::optional<VideoTrackTransform>& transform);
    // Scales (or copies) a picture into its place on the canvas; false when nothing was drawn.
    bool drawPicture(const media::PixelBuffer& picture, const Placement& placement, Scaler& scaler,
                     std::unique_ptr<media::PixelBuffer>& layer, media::PixelBuffer& canvas);
    void drawFilled(const media::PixelBuffer& picture, Scaler& scaler,
                    std::unique_ptr<media::PixelBuffer>& layer, media::PixelBuffer& canvas,
                    double x, double y, double width, double height);
    void drawCameraWindow(const media::PixelBuffer& picture,
                          const PiPCompositionInstruction& instruction, const PiPKeyframe& keyframe,
                          media::PixelBuffer& canvas);
    void drawSubtitle(const PiPCompositionInstruction& instruction, double t,
                      media::PixelBuffer& canvas);

    SubtitleRenderer subtitles_;
    // The subtitle image last drawn, in YUV; lives as long as the subtitle cache.
    std::optional<YUVAImage> subtitleLayer_;
    int64_t subtitleLayerKey_ = 0;
    Caches caches_;
    int renderedFrameCount_ = 0;
    int cacheClearCount_ = 0;
    SerialQueue renderQueue_;  // last: stops (and drains) before the state above goes away
};

}  // namespace zimlo::compose
