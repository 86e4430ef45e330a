#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/camera/CameraDevice.h"

namespace zimlo::camera {

// A Video4Linux2 capture device streaming Motion-JPEG or YUYV through memory-mapped buffers.
// Only the newest frame waiting in the driver is decoded; older ones are discarded as late.
//
// Threads: open, setActiveFormat, startStreaming, stopStreaming and close are called from one
// controlling thread at a time. Frames are delivered on the camera's own capture thread; from
// there (inside the frame handler) only stopStreaming may be called: it returns at once and the
// driver stops when the handler has returned. startStreaming there fails, and close only stops.
class V4L2Camera : public CameraDevice {
  public:
    explicit V4L2Camera(std::string path);
    ~V4L2Camera() override;

    // Every /dev/video* that captures video in a format we decode (or that exists but cannot be
    // opened, so that a refused permission shows as such), in device-number order.
    static std::vector<std::shared_ptr<CameraDevice>> findAll();

    std::string uniqueID() const override { return path_; }
    std::string localizedName() const override;
    std::vector<CameraFormat> formats() const override;
    Result<void, CameraError> open() override;
    Result<void, CameraError> setActiveFormat(size_t index, double framesPerSecond) override;
    void setMirrored(bool mirrored) override { mirrored_.store(mirrored); }
    Result<void, CameraError> startStreaming(FrameHandler onFrame) override;
    void stopStreaming() override;
    bool isStreaming() const override { return streaming_.load(); }
    void close() override;

  private:
    Result<void, CameraError> applyFormat();  // mutex_ held
    Result<void, CameraError> startDriver();  // mutex_ held
    void stopDriver();                        // mutex_ held
    void captureLoop();
    bool onCaptureThread() const;
    std::thread takeStoppedThread();

    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };

    std::string path_;
    // guards: fd_, wakeFd_, name_, formats_, active_, activeWidth_, activeHeight_,
    // activePixelFormat_, buffers_, onFrame_, thread_. The capture thread reads fd_, wakeFd_,
    // buffers_, the active size and format and onFrame_ without it: they change only while no
    // capture thread runs.
    mutable std::mutex mutex_;
    int fd_ = -1;
    int wakeFd_ = -1;
    std::string name_;
    std::vector<CameraFormat> formats_;
    std::optional<CameraFormatChoice> active_;
    int activeWidth_ = 0;
    int activeHeight_ = 0;
    uint32_t activePixelFormat_ = 0;
    std::vector<Buffer> buffers_;
    FrameHandler onFrame_;
    std::thread thread_;
    std::atomic<bool> streaming_{false};
    std::atomic<bool> mirrored_{false};
    bool stopWhenLoopEnds_ = false;  // capture thread only
};

}  // namespace zimlo::camera
