#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/media/MediaTime.h"

namespace zimlo::media {

enum class PixelFormat {
    BGRA,            // one plane, 4 bytes per pixel, B G R A in memory
    NV12VideoRange,  // 4:2:0 bi-planar, luma 16-235
    NV12FullRange,   // 4:2:0 bi-planar, luma 0-255
};

// A picture in memory. Planes are owned by the buffer; `stride` is bytes per row.
// Shared read-only between the capture thread, the preview and the writer.
class PixelBuffer {
  public:
    struct Plane {
        std::vector<uint8_t> bytes;
        int stride = 0;
    };

    PixelBuffer(int width, int height, PixelFormat format);

    int width() const { return width_; }
    int height() const { return height_; }
    PixelFormat format() const { return format_; }
    int planeCount() const { return static_cast<int>(planes_.size()); }
    uint8_t* data(int plane = 0) { return planes_[plane].bytes.data(); }
    const uint8_t* data(int plane = 0) const { return planes_[plane].bytes.data(); }
    int stride(int plane = 0) const { return planes_[plane].stride; }

  private:
    int width_;
    int height_;
    PixelFormat format_;
    std::vector<Plane> planes_;
};

// What a capture source says about a delivered frame (attached to the sample).
enum class FrameStatus {
    complete,  // new content
    idle,      // nothing changed since the previous frame
    blank,
    suspended,
    started,
    stopped,
};

struct VideoSample {
    std::shared_ptr<const PixelBuffer> pixels;  // null: the sample has no format information
    MediaTime presentationTime;
    bool dataReady = true;
    std::optional<FrameStatus> status;

    bool hasFormatDescription() const {
        return pixels && pixels->width() > 0 && pixels->height() > 0;
    }
    int width() const { return pixels ? pixels->width() : 0; }
    int height() const { return pixels ? pixels->height() : 0; }
};

enum class SampleFormat {
    Float32,  // interleaved 32-bit float
    Int16,    // interleaved signed 16-bit
    Int32,    // interleaved signed 32-bit
};

int bytesPerSample(SampleFormat format);

// Interleaved PCM with the time of its first frame.
struct AudioSample {
    SampleFormat format = SampleFormat::Float32;
    int sampleRate = 48000;
    int channels = 2;
    std::vector<uint8_t> data;
    MediaTime presentationTime;
    bool dataReady = true;

    int frameCount() const {
        int frameBytes = bytesPerSample(format) * channels;
        return frameBytes > 0 ? static_cast<int>(data.size() / frameBytes) : 0;
    }
    MediaTime duration() const { return MediaTime::make(frameCount(), sampleRate); }
};

}  // namespace zimlo::media
