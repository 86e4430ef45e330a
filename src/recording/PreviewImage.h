#pragma once

#include <QImage>
#include <QRect>

class QWidget;

#include "platform/media/MediaSample.h"

namespace zimlo::recording {

// What a picture's alpha means: nothing for captured screens and cameras (X11 leaves it
// undefined), transparency for icons and thumbnails.
enum class PictureAlpha { ignore, keep };

// An image of a picture (BGRA or NV12 in either range); null when the buffer is empty. The
// result owns its pixels, so it may cross threads. NV12 pictures are always opaque.
QImage previewImage(const media::PixelBuffer& pixels, PictureAlpha alpha = PictureAlpha::ignore);

// Where an image of `image` size goes in a view of `view` size: centred, scaled to fit or to
// fill (`mode`); empty without an image or a view.
QRect centredImageRect(const QSize& image, const QSize& view, Qt::AspectRatioMode mode);

// A preview's painting: black, and the image (when there is one) smoothly scaled into `target`.
void paintPreview(QWidget& view, const QImage& image, const QRect& target);

}  // namespace zimlo::recording
