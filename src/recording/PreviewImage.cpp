#include "recording/PreviewImage.h"

#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <cstring>

namespace zimlo::recording {
namespace {

uint8_t clampByte(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// BT.709 in 16.16 fixed point; the screen path and the camera decoder both produce 709.
QImage fromNV12(const media::PixelBuffer& pixels, bool fullRange) {
    const int w = pixels.width();
    const int h = pixels.height();
    QImage image(w, h, QImage::Format_RGB32);
    const uint8_t* luma = pixels.data(0);
    const uint8_t* chroma = pixels.data(1);
    for (int y = 0; y < h; ++y) {
        const uint8_t* yRow = luma + static_cast<size_t>(y) * pixels.stride(0);
        const uint8_t* cRow = chroma + static_cast<size_t>(y / 2) * pixels.stride(1);
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            int l = yRow[x];
            const int cb = cRow[(x & ~1)] - 128;
            const int cr = cRow[(x & ~1) + 1] - 128;
            int yScaled;
            int crScale, cbScaleG, crScaleG, cbScale;
            if (fullRange) {
                yScaled = l << 16;
                crScale = 103206;
                cbScaleG = 12276;
                crScaleG = 30679;
                cbScale = 121609;
            } else {
                l -= 16;
                yScaled = l * 76309;
                crScale = 117489;
                cbScaleG = 13975;
                crScaleG = 34925;
                cbScale = 138438;
            }
            const int r = (yScaled + crScale * cr + 32768) >> 16;
            const int g = (yScaled - cbScaleG * cb - crScaleG * cr + 32768) >> 16;
            const int b = (yScaled + cbScale * cb + 32768) >> 16;
            out[x] = qRgb(clampByte(r), clampByte(g), clampByte(b));
        }
    }
    return image;
}

}  // namespace

QImage previewImage(const media::PixelBuffer& pixels, PictureAlpha alpha) {
    if (pixels.width() <= 0 || pixels.height() <= 0) return {};
    switch (pixels.format()) {
        case media::PixelFormat::BGRA: {
            // B G R A in memory is Qt's 32-bit (A)RGB on a little-endian machine.
            QImage image(
                pixels.width(), pixels.height(),
                alpha == PictureAlpha::keep ? QImage::Format_ARGB32 : QImage::Format_RGB32);
            const size_t rowBytes = static_cast<size_t>(pixels.width()) * 4;
            for (int y = 0; y < pixels.height(); ++y) {
                std::memcpy(image.scanLine(y),
                            pixels.data(0) + static_cast<size_t>(y) * pixels.stride(0), rowBytes);
            }
            return image;
        }
        case media::PixelFormat::NV12VideoRange:
            return fromNV12(pixels, false);
        case media::PixelFormat::NV12FullRange:
            return fromNV12(pixels, true);
    }
    return {};
}

QRect centredImageRect(const QSize& image, const QSize& view, Qt::AspectRatioMode mode) {
    if (image.isEmpty() || view.isEmpty()) return {};
    const QSize scaled = image.scaled(view, mode);
    return {QPoint((view.width() - scaled.width()) / 2, (view.height() - scaled.height()) / 2),
            scaled};
}

void paintPreview(QWidget& view, const QImage& image, const QRect& target) {
    QPainter painter(&view);
    painter.fillRect(view.rect(), Qt::black);
    if (image.isNull()) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image);
}

}  // namespace zimlo::recording
