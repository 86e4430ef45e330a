#pragma once

#include <cstdint>
#include <optional>

#include "platform/geometry/Geometry.h"
#include "platform/media/MediaSample.h"

struct SwsContext;

namespace zimlo::portal {

// The 32-bit layouts a screen cast may use (byte order in memory).
enum class SourcePixelFormat { BGRx, BGRA, RGBx, RGBA };

struct SourcePicture {
    const uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
    SourcePixelFormat format = SourcePixelFormat::BGRx;
};

// The part of a picture that holds content: `crop` clamped to the picture, or the whole picture
// when there is no crop or it lies outside. Never empty for a non-empty picture.
PixelRect visibleArea(int width, int height, const std::optional<PixelRect>& crop);

// Turns shared-memory screen-cast pictures into the frames the capture layer delivers: opaque
// BGRA, or NV12 in BT.709 video range (what the encoder takes without converting again). The
// visible area is taken as it is when it has the frame's size, otherwise scaled to fit with its
// aspect ratio kept and centred on black. Any alpha the source carries is dropped (a screen is
// opaque). One converter per stream; not thread-safe.
class FrameConverter {
  public:
    FrameConverter() = default;
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // False when the picture cannot be read (no data, bad stride) or the output is empty, of
    // another format, or NV12 of an odd size.
    bool convert(const SourcePicture& source, const std::optional<PixelRect>& crop,
                 media::PixelBuffer& out);

  private:
    SwsContext* scaler_ = nullptr;
};

}  // namespace zimlo::portal
