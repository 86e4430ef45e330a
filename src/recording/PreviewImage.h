#pragma once

#include <QImage>

#include "platform/media/MediaSample.h"

namespace zimlo::recording {

// What a picture's alpha means: nothing for captured screens and cameras (X11 leaves it
// undefined), transparency for icons and thumbnails.
enum class PictureAlpha { ignore, keep };

// An image of a picture (BGRA or NV12 in either range); null when the buffer is empty. The
// result owns its pixels, so it may cross threads. NV12 pictures are always opaque.
QImage previewImage(const media::PixelBuffer& pixels, PictureAlpha alpha = PictureAlpha::ignore);

}  // namespace zimlo::recording
