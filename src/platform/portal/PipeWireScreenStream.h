#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/portal/ScreenCastPortal.h"
#include "platform/screen/CaptureStream.h"

namespace zimlo::portal {

// The screen on a Wayland desktop: frames of a portal ScreenCast session, read from PipeWire in
// shared memory (MemFd or MemPtr; DMA-BUF is never asked for, the frames are encoded on the CPU)
// as BGRx, BGRA, RGBx or RGBA, with the crop the compositor marks, and delivered as BGRA (or
// NV12 in BT.709 video range when the configuration asks for it) at the
// stream's size (the first frame's visible size through `sizeForSource`, kept for the stream's
// life: a later size change of the source is fitted into it, centred on black).
//
// Timestamps: the buffer's own presentation time where the compositor gives one on the
// monotonic clock every capture source uses (checked against the arrival time), else the
// arrival time. The compositor sends frames only when something changed; on a still screen
// the last picture is delivered again once a second, so a recording keeps its timeline. Frames
// beyond the configured frame rate are skipped.
//
// startCapture opens the session on a thread of its own (the system chooser may be shown; a
// refusal or a cancelled chooser fails the start (portalRefused), stopCapture cancels a
// pending chooser), connects to PipeWire and completes once the stream runs. When the desktop
// ends the screen share, `onStop` reports it.
class PipeWireScreenStream : public screen::CaptureStream {
  public:
    // Opens (or hands out an already open) portal session, or says why not; blocks while the
    // user chooses. Runs on the stream's start thread.
    using SessionSource =
        std::function<Result<std::shared_ptr<ScreenCastSession>, screen::CaptureError>(
            std::shared_ptr<OpenCancellation>)>;

    PipeWireScreenStream(SessionSource sessionSource,
                         screen::CaptureStreamConfiguration configuration);
    ~PipeWireScreenStream() override;  // stops capturing
    PipeWireScreenStream(const PipeWireScreenStream&) = delete;
    PipeWireScreenStream& operator=(const PipeWireScreenStream&) = delete;

    void setFrameHandler(FrameHandler handler, SerialQueue* queue) override;
    void setStopHandler(StopHandler handler) override;
    void startCapture(Completion completion) override;
    void stopCapture(Completion completion = {}) override;
    void updateConfiguration(const screen::CaptureStreamConfiguration& configuration) override;
    screen::CaptureStreamConfiguration configuration() const override;
    bool isRunning() const override;
    uint64_t droppedFrameCount() const override;
    uint64_t lateFrameCount() const override;
    uint64_t deliveredFrameCount() const override;
    // What the PipeWire stream handed over and what became of it (see StreamTally).
    std::vector<screen::SourceCount> sourceCounts() const override;

    // Frames stamped with the compositor's own presentation time (the others: arrival time).
    uint64_t compositorStampedFrameCount() const;
    // The session the running stream reads; empty before the start completed.
    std::shared_ptr<ScreenCastSession> session() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace zimlo::portal
