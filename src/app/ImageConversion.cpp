#include "app/ImageConversion.h"

#include <QPainter>
#include <QPainterPath>

#include "recording/PreviewImage.h"

namespace zimlo::app {
namespace {

// "desktopcomputer": a monitor on a stand.
void drawDesktopComputer(QPainter& p, double s) {
    QPen pen(Qt::black, s * 0.075, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(s * 0.10, s * 0.16, s * 0.80, s * 0.52), s * 0.07, s * 0.07);
    p.drawLine(QPointF(s * 0.50, s * 0.68), QPointF(s * 0.50, s * 0.82));
    p.drawLine(QPointF(s * 0.32, s * 0.84), QPointF(s * 0.68, s * 0.84));
}

// "app.dashed": a rounded square outlined with dashes.
void drawAppDashed(QPainter& p, double s) {
    QPen pen(Qt::black, s * 0.07, Qt::CustomDashLine, Qt::RoundCap, Qt::RoundJoin);
    pen.setDashPattern({1.6, 1.9});
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(s * 0.14, s * 0.14, s * 0.72, s * 0.72), s * 0.18, s * 0.18);
}

// "video.badge.plus": a video camera with a plus badge at its top right.
void drawVideoBadgePlus(QPainter& p, double s) {
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawRoundedRect(QRectF(s * 0.04, s * 0.30, s * 0.60, s * 0.50), s * 0.10, s * 0.10);
    QPainterPath lens;
    lens.moveTo(s * 0.68, s * 0.48);
    lens.lineTo(s * 0.96, s * 0.32);
    lens.lineTo(s * 0.96, s * 0.80);
    lens.lineTo(s * 0.68, s * 0.64);
    lens.closeSubpath();
    p.drawPath(lens);
    // Punch the badge out of the body, then draw the plus inside it.
    const QRectF badge(s * 0.40, s * 0.02, s * 0.42, s * 0.42);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawEllipse(badge.adjusted(-s * 0.05, -s * 0.05, s * 0.05, s * 0.05));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.drawEllipse(badge);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    const double c = s * 0.61, r = s * 0.13, w = s * 0.055;
    p.drawRect(QRectF(c - r, s * 0.23 - w / 2, 2 * r, w));
    p.drawRect(QRectF(c - w / 2, s * 0.23 - r, w, 2 * r));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

}  // namespace

QImage symbolImage(const std::string& name, int size, const QColor& tint) {
    const int dpr = 2;
    QImage canvas(size * dpr, size * dpr, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter p(&canvas);
        p.setRenderHint(QPainter::Antialiasing);
        if (name == "desktopcomputer") {
            drawDesktopComputer(p, size * dpr);
        } else if (name == "video.badge.plus") {
            drawVideoBadgePlus(p, size * dpr);
        } else {
            drawAppDashed(p, size * dpr);
        }
    }
    QImage result = tinted(canvas, tint);
    result.setDevicePixelRatio(dpr);
    return result;
}

QImage toQImage(const media::PixelBuffer& pixels) {
    return recording::previewImage(pixels, recording::PictureAlpha::keep);
}

QImage toQImage(const capture::TargetImage& image, int size, const QColor& tint) {
    if (!image.isSymbol()) return toQImage(*image.pixels);
    return symbolImage(image.symbolName, size, tint);
}

QImage tinted(const QImage& templateImage, const QColor& color) {
    QImage result = templateImage.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter p(&result);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(result.rect(), color);
    p.end();
    result.setDevicePixelRatio(templateImage.devicePixelRatio());
    return result;
}

}  // namespace zimlo::app
