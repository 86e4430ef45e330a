#pragma once

#include <cstdint>

#include "platform/media/MediaSample.h"

namespace zimlo::media {

// Converts width × height 32-bit pixels (B G R x in memory, or R G B x when `swapRedBlue`) at
// `origin` into `out` (NV12VideoRange, BT.709, what the encoder takes without converting again)
// with the picture's top-left corner at (left, top). The fourth byte is never read: screens are
// opaque. An odd last row is paired with itself; an odd last column is left out. The caller
// keeps the area inside `out`, `left` and `top` even.
void rgbxToNV12(const uint8_t* origin, int sourceStride, int width, int height, PixelBuffer& out,
                int left, int top, bool swapRedBlue = false);

}  // namespace zimlo::media
