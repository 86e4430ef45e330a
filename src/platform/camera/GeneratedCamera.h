#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/camera/CameraDevice.h"

namespace zimlo::camera {

// A camera without hardware: draws frames at the active format's size and rate. The picture is
// a solid background with a white bar sweeping left to right once a second and a red marker in
// its top-left corner (top-right once mirrored), so tests can find it and see it move. With
// flashes set it also shows all white on a schedule on the monotonic clock, so a measurement
// can set the camera movie against the true instant, as it does the screen.
class GeneratedCamera : public CameraDevice {
  public:
    // From `first` (on the monotonic clock) on, every `period` the picture is white for
    // `length`. An instant covered is one the picture shows white.
    struct Flashes {
        media::MediaTime first;
        media::MediaTime period;
        media::MediaTime length;

        bool cover(media::MediaTime instant) const;
    };

    struct Options {
        std::vector<CameraFormat> formats;     // empty: 640x480 and 1280x720, 1 to 30 fps, YUYV
        uint32_t backgroundBGRA = 0xff806020;  // B=0x20 G=0x60 R=0x80 in memory order B,G,R,A
        bool failsToOpen = false;              // behaves like a camera the process may not use
        std::optional<Flashes> flashes;
    };

    GeneratedCamera();
    explicit GeneratedCamera(Options options);
    ~GeneratedCamera() override;

    std::string uniqueID() const override { return "generated-camera"; }
    std::string localizedName() const override { return "Generated camera"; }
    std::vector<CameraFormat> formats() const override { return options_.formats; }
    Result<void, CameraError> open() override;
    Result<void, CameraError> setActiveFormat(size_t index, double framesPerSecond) override;
    void setMirrored(bool mirrored) override { mirrored_.store(mirrored); }
    Result<void, CameraError> startStreaming(FrameHandler onFrame) override;
    void stopStreaming() override;
    bool isStreaming() const override { return streaming_; }
    void close() override;

    // What was applied last (for tests): format index and rate.
    std::optional<CameraFormatChoice> activeFormat() const;
    int64_t framesDelivered() const { return delivered_.load(); }

    // The picture frame `index` shows at `width` x `height` (unmirrored).
    static std::shared_ptr<media::PixelBuffer> drawFrame(int width, int height, int64_t index,
                                                         double rate, uint32_t backgroundBGRA);
    // An all white picture: a flash.
    static std::shared_ptr<media::PixelBuffer> drawFlash(int width, int height);

  private:
    void run();
    std::thread takeFinishedThread();

    Options options_;
    // guards: opened_, active_, onFrame_, thread_; streaming_ (read anywhere) changes under it,
    // so the frame thread's wait cannot miss a stop
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool opened_ = false;
    std::atomic<bool> streaming_{false};
    std::atomic<bool> mirrored_{false};
    std::optional<CameraFormatChoice> active_;
    FrameHandler onFrame_;
    std::thread thread_;
    std::atomic<int64_t> delivered_{0};
};

}  // namespace zimlo::camera
