#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry/Geometry.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MediaTime.h"
#include "platform/screen/CaptureError.h"

namespace zimlo {
class SerialQueue;
}

namespace zimlo::screen {

struct CaptureStreamConfiguration {
    int width = 1920;   // size of delivered frames (the capture size); content keeps its aspect
    int height = 1080;  // ratio and is centred on black when the shapes differ
    // Back ends that learn the source's size only from its first frame (the desktop portal)
    // derive the delivered size from it with this rule, once per stream; width and height are
    // then only used when it is empty.
    std::function<PixelSize(PixelSize source)> sizeForSource;
    // BGRA, or NV12VideoRange (BT.709) where the back end offers it (the portal; X11 at even
    // sizes), so the encoder takes the frames without converting them again.
    media::PixelFormat pixelFormat = media::PixelFormat::BGRA;
    media::MediaTime minimumFrameInterval = media::MediaTime::make(1, 30);
    bool showsCursor = true;
    // Frames handed to the delivery queue and not yet taken by the handler; a frame that would
    // exceed it is dropped (counted in droppedFrameCount), so capture never waits for a consumer.
    int queueDepth = 5;
    // Leave out every window of this process too, including ones created after the start
    // (where the back end can; on Wayland the compositor decides).
    bool excludesCurrentProcessWindows = true;
};

// One of a back end's own counters, by name (what its source handed over, say).
struct SourceCount {
    std::string name;
    uint64_t value = 0;
    bool operator==(const SourceCount&) const = default;
};

// A running screen capture: samples (BGRA unless configured otherwise) stamped with
// media::MonotonicClock, delivered on a serial queue. Every back end keeps the same contract:
// - frames with new content are `complete`; on still content at least one `complete` frame a
//   second repeats the last picture, so a recording's timeline stays covered;
// - the pixel buffers of delivered samples are never written again;
// - `onFrame` runs on the queue given to setFrameHandler (or on a thread of the stream's own
//   when none is given); completions and `onStop` never run on the main queue.
class CaptureStream {
  public:
    using FrameHandler = std::function<void(const media::VideoSample&)>;
    // The stream stopped by itself (the captured window was closed, the desktop ended the
    // screen share).
    using StopHandler = std::function<void(const CaptureError& error)>;
    // Empty optional: success.
    using Completion = std::function<void(std::optional<CaptureError> error)>;

    virtual ~CaptureStream() = default;

    // Set before startCapture. `queue` may be null; it must outlive the stream or its stop.
    virtual void setFrameHandler(FrameHandler handler, SerialQueue* queue) = 0;
    virtual void setStopHandler(StopHandler handler) = 0;
    // Starts capturing in the background; the completion runs once frames can follow or the
    // start failed. Starting a running stream completes at once with success.
    virtual void startCapture(Completion completion) = 0;
    // Stops and waits; the completion then runs on the caller's thread before this returns.
    // No frame reaches the handler afterwards.
    virtual void stopCapture(Completion completion = {}) = 0;
    // Takes effect from the next frame.
    virtual void updateConfiguration(const CaptureStreamConfiguration& configuration) = 0;
    virtual CaptureStreamConfiguration configuration() const = 0;
    virtual bool isRunning() const = 0;

    // Frames lost because the delivery queue was full or the capture fell behind.
    virtual uint64_t droppedFrameCount() const = 0;
    // Of those, the ones lost because the capture fell behind its interval (a slow grab or a
    // busy machine); the rest found the delivery queue full.
    virtual uint64_t lateFrameCount() const { return 0; }
    virtual uint64_t deliveredFrameCount() const = 0;
    // The back end's own counters, for tools and benchmarks; none by default.
    virtual std::vector<SourceCount> sourceCounts() const { return {}; }
};

}  // namespace zimlo::screen
