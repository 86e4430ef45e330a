#pragma once

#include <QImage>

#include "platform/media/MediaSample.h"

namespace zimlo::recording {

// An RGB image of a captured picture (BGRA or NV12 in either range); null when the buffer is
// empty. The result owns its pixels, so it may cross threads.
QImage previewImage(const media::PixelBuffer& pixels);

}  // namespace zimlo::recording
