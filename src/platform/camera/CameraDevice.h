#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/media/MediaSample.h"
#include "platform/runtime/Result.h"

namespace zimlo::camera {

// A camera failure: what went wrong, on which device, and the system's error number where
// there is one. The layers that show it put it in words; what() is for the log.
class CameraError : public std::runtime_error {
  public:
    enum class Kind {
        cannotOpen,             // device, system error
        notACamera,             // device
        noUsableFormat,         // device
        notOpen,                // used before open()
        unsupportedFormat,      // the chosen format cannot be used
        cannotSetFormat,        // system error
        busy,                   // system error: the driver gives no buffers (another program)
        cannotAllocateBuffers,  // system error
        cannotMapBuffers,       // system error
        cannotQueueBuffers,     // system error
        cannotStart,            // system error
    };

    explicit CameraError(Kind kind, std::string device = {}, int systemError = 0);

    Kind kind() const { return kind_; }
    const std::string& device() const { return device_; }
    int systemError() const { return systemError_; }  // errno, 0 when none

    friend bool operator==(const CameraError& a, const CameraError& b) {
        return a.kind_ == b.kind_ && a.device_ == b.device_ && a.systemError_ == b.systemError_;
    }

  private:
    Kind kind_;
    std::string device_;
    int systemError_;
};

// Frame rates a format supports, in frames per second (a single rate has minimum == maximum).
struct FrameRateRange {
    double minimum = 0;
    double maximum = 0;
};

// One capture format of a device: a picture size in a pixel encoding, with its frame rates.
struct CameraFormat {
    int width = 0;
    int height = 0;
    uint32_t pixelFormat = 0;  // V4L2 four-character code
    std::vector<FrameRateRange> frameRates;
};

struct CameraFormatChoice {
    size_t formatIndex = 0;
    double frameRate = 0;
    friend bool operator==(const CameraFormatChoice&, const CameraFormatChoice&) = default;
};

// The format closest to a requested size and rate: formats at least as long as the request
// first (all of them when none is), then the smallest long-side difference, the area closest to
// the requested one, the rate closest to the desired one, the higher rate; earlier formats win
// ties. Nothing when no format has a usable size and rate.
std::optional<CameraFormatChoice> chooseCameraFormat(const std::vector<CameraFormat>& formats,
                                                     int width, int height, double framesPerSecond);

// A camera the capture source can open, format and stream from. The V4L2 camera and the
// generated test camera implement it.
class CameraDevice {
  public:
    // Called on the device's own capture thread with a BGRA frame stamped with the monotonic
    // clock at capture.
    using FrameHandler = std::function<void(media::VideoSample)>;

    virtual ~CameraDevice() = default;

    virtual std::string uniqueID() const = 0;
    virtual std::string localizedName() const = 0;
    virtual std::vector<CameraFormat> formats() const = 0;

    // Takes the device for this process. Each failure below is logged where it happens.
    virtual Result<void, CameraError> open() = 0;
    // Applies formats()[index] at `framesPerSecond`; allowed while streaming.
    virtual Result<void, CameraError> setActiveFormat(size_t index, double framesPerSecond) = 0;
    // Mirrors frames horizontally from the next frame on.
    virtual void setMirrored(bool mirrored) = 0;
    // Starts delivering frames. No handler runs after stopStreaming returns.
    virtual Result<void, CameraError> startStreaming(FrameHandler onFrame) = 0;
    virtual void stopStreaming() = 0;
    virtual bool isStreaming() const = 0;
    // Gives the device back.
    virtual void close() = 0;
};

// Finds the camera to use: the first capture device, or null when there is none.
using CameraDiscovery = std::function<std::shared_ptr<CameraDevice>()>;

// The camera the capture layer uses: the discovery installed by setCameraDiscovery (tests and
// demos install a generated camera), else the first V4L2 capture device.
std::shared_ptr<CameraDevice> defaultCameraDevice();
void setCameraDiscovery(CameraDiscovery discovery);

// Whether the camera can be used, as the permission layer reports it.
enum class CameraAccess {
    noDevice,    // no camera at all
    denied,      // a camera exists but cannot be opened (permissions, busy)
    authorized,  // a camera exists and opens
};
CameraAccess cameraAccess();

// Reverses every row of a BGRA picture in place.
void mirrorHorizontally(media::PixelBuffer& picture);

}  // namespace zimlo::camera
