#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/media/MediaSample.h"
#include "platform/media/MediaTime.h"
#include "platform/runtime/Result.h"
#include "platform/screen/CaptureStream.h"
#include "platform/x11/X11Types.h"

namespace zimlo {
class SerialQueue;
}

namespace zimlo::x11 {

using ScreenStreamConfiguration = screen::CaptureStreamConfiguration;

// A screen capture stream on X11: a capture thread of its own with a private X connection grabs
// the filter's display (XShm) or window (XComposite pixmap) at the frame interval, blends the
// cursor (XFixes), scales to the configured size (area averaging) and delivers BGRA samples, or
// NV12 (BT.709 video range) when so configured and the size is even, stamped with
// media::MonotonicClock.
//
// Frames: the first frame, every frame whose content changed (XDamage, cursor moves included)
// and one frame per second of still content (sharing the previous frame's pixels, no grab) are
// delivered, all `complete`; the other ticks deliver nothing. The pixel buffers of delivered
// samples are never written again (the stream reuses a buffer only once every sample
// referencing it is gone).
//
// Threads: `onFrame` runs on the queue given to setFrameHandler (frames are posted with
// SerialQueue::async), or on the capture thread when no queue is given. Completions of
// startCapture/stopCapture and `onStop` run on the capture thread or on the caller's thread as
// documented below — never on the main queue; re-post where needed.
//
// Display frames never show this process's windows or the filter's excluded windows: where
// they overlap the display, that part of the frame is composed from the other windows'
// composite pixmaps in stacking order over the root background.
class ScreenStream : public screen::CaptureStream {
  public:
    // `displayName` null: $DISPLAY.
    ScreenStream(ContentFilter filter, ScreenStreamConfiguration configuration,
                 const char* displayName = nullptr);
    ~ScreenStream() override;  // stops capturing (waits for the capture thread)

    ScreenStream(const ScreenStream&) = delete;
    ScreenStream& operator=(const ScreenStream&) = delete;

    // Set before startCapture. `queue` may be null (deliver on the capture thread); it must
    // outlive the stream or the stream's stop.
    void setFrameHandler(FrameHandler handler, SerialQueue* queue) override;
    void setStopHandler(StopHandler handler) override;

    // Starts the capture thread; the completion runs on it once the X set-up succeeded (frames
    // follow) or failed (the thread has ended). Starting a running stream completes at once
    // with success, on the caller's thread.
    void startCapture(Completion completion) override;
    // Stops the capture thread and waits for it; the completion then runs on the caller's
    // thread before stopCapture returns. No frame is delivered to the handler after that, even
    // one already posted to the queue.
    void stopCapture(Completion completion = {}) override;
    // Takes effect from the next frame (size, interval, cursor, queue depth).
    void updateConfiguration(const ScreenStreamConfiguration& configuration) override;

    ScreenStreamConfiguration configuration() const override;
    const ContentFilter& filter() const { return filter_; }
    bool isRunning() const override;

    // Frames lost because the delivery queue was full or the capture fell behind its interval.
    uint64_t droppedFrameCount() const override;
    uint64_t lateFrameCount() const override;
    uint64_t deliveredFrameCount() const override;

    struct Shared;  // state shared with the capture thread and posted frames

  private:
    ContentFilter filter_;
    std::shared_ptr<Shared> shared_;
};

// One picture of the filter's content, scaled to fit width × height (aspect kept when
// `preservesAspectRatio`, centred on black), as ScreenStream would deliver it. Runs on the
// calling thread with a connection of its own.
Result<std::shared_ptr<media::PixelBuffer>, screen::CaptureError> captureImage(
    const ContentFilter& filter, int width, int height, bool showsCursor,
    bool preservesAspectRatio = true, const char* displayName = nullptr);

}  // namespace zimlo::x11
