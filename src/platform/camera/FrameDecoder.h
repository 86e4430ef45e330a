#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/media/MediaSample.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace zimlo::camera {

// Turns camera frames (Motion-JPEG or YUYV 4:2:2) into BGRA pictures, mirrored when asked.
// Not thread-safe: one decoder per capture thread.
class FrameDecoder {
  public:
    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // Decodes one frame of `pixelFormat` (V4L2 code) and `width` x `height`; returns null when
    // the data is damaged or too short (a camera may hand out a torn frame now and then).
    std::shared_ptr<media::PixelBuffer> decode(uint32_t pixelFormat, int width, int height,
                                               const uint8_t* data, size_t size, bool mirrored);

  private:
    std::shared_ptr<media::PixelBuffer> convert(const uint8_t* const planes[], const int strides[],
                                                int sourceFormat, int width, int height,
                                                bool mirrored);

    AVCodecContext* jpeg_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
};

}  // namespace zimlo::camera
