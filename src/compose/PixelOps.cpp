#include "compose/PixelOps.h"

#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

namespace zimlo::compose {
namespace {

using media::PixelBuffer;
using media::PixelFormat;

// Accurate rounding also keeps swscale's fast YUV-to-RGB path from writing past the end of rows
// whose width is not a multiple of 16.
constexpr int kScaleFlags = SWS_BILINEAR | SWS_ACCURATE_RND;

int roundi(double v) { return static_cast<int>(std::lround(v)); }

// Edges are rounded, not sizes, so neighbouring regions meet without gaps.
IntRect roundedRect(double x, double y, double w, double h) {
    int left = roundi(x);
    int top = roundi(y);
    return {left, top, roundi(x + w) - left, roundi(y + h) - top};
}

bool inside(IntRect r, int width, int height) {
    return r.width > 0 && r.height > 0 && r.x >= 0 && r.y >= 0 && r.x + r.width <= width &&
           r.y + r.height <= height;
}

}  // namespace

Placement fillPlacement(int sw, int sh, double x, double y, double tw, double th) {
    Placement p;
    p.target = roundedRect(x, y, tw, th);
    if (sw <= 0 || sh <= 0 || !(tw > 0) || !(th > 0)) return p;
    const double s = std::max(tw / sw, th / sh);
    const double vw = std::min(tw / s, static_cast<double>(sw));
    const double vh = std::min(th / s, static_cast<double>(sh));
    p.source = roundedRect((sw - vw) / 2, (sh - vh) / 2, vw, vh);
    p.source.width = std::max(1, std::min(p.source.width, sw - p.source.x));
    p.source.height = std::max(1, std::min(p.source.height, sh - p.source.y));
    return p;
}

Placement fitPlacement(int sw, int sh, double x, double y, double tw, double th) {
    Placement p;
    if (sw <= 0 || sh <= 0 || !(tw > 0) || !(th > 0)) return p;
    const double s = std::min(tw / sw, th / sh);
    const double w = sw * s;
    const double h = sh * s;
    p.source = {0, 0, sw, sh};
    p.target = roundedRect(x + (tw - w) / 2, y + (th - h) / 2, w, h);
    return p;
}

double roundedCornerRadius(double width, double height, double cornerRatio) {
    const double half = std::min(width, height) * 0.5;
    if (std::isnan(cornerRatio) || cornerRatio < 0) return 0;
    if (cornerRatio > 1) return half;
    return half * cornerRatio;
}

std::vector<uint8_t> roundedRectMask(int width, int height, double radius) {
    std::vector<uint8_t> mask(static_cast<size_t>(std::max(width, 0)) * std::max(height, 0), 255);
    if (radius <= 0.5) return mask;
    radius = std::min(radius, std::min(width, height) * 0.5);
    const int reach = static_cast<int>(std::ceil(radius));
    for (int y = 0; y < height; ++y) {
        const bool topBand = y < reach;
        const bool bottomBand = y >= height - reach;
        if (!topBand && !bottomBand) continue;
        const double py = y + 0.5;
        const double cy = topBand ? radius : height - radius;
        for (int x = 0; x < width; ++x) {
            const bool leftBand = x < reach;
            const bool rightBand = x >= width - reach;
            if (!leftBand && !rightBand) continue;
            const double px = x + 0.5;
            const double cx = leftBand ? radius : width - radius;
            // Only pixels beyond the circle's centre on both axes are in the corner.
            const bool inCornerX = leftBand ? px < cx : px > cx;
            const bool inCornerY = topBand ? py < cy : py > cy;
            if (!inCornerX || !inCornerY) continue;
            const double distance = std::hypot(px - cx, py - cy) - radius;
            const double coverage = std::clamp(0.5 - distance, 0.0, 1.0);
            mask[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(std::lround(coverage * 255));
        }
    }
    return mask;
}

std::shared_ptr<PixelBuffer> orientedCopy(const PixelBuffer& source, ImageOrientation orientation) {
    std::shared_ptr<PixelBuffer> converted;
    const PixelBuffer* bgra = &source;
    if (source.format() != PixelFormat::BGRA) {
        converted = std::make_shared<PixelBuffer>(source.width(), source.height(), PixelFormat::BGRA);
        Scaler scaler;
        if (!scaler.scale(source, {0, 0, source.width(), source.height()}, *converted,
                          {0, 0, source.width(), source.height()}))
            return nullptr;
        bgra = converted.get();
    }
    const int w = bgra->width();
    const int h = bgra->height();
    const int o = static_cast<int>(orientation);
    const bool turned = o >= 5;
    const int ow = turned ? h : w;
    const int oh = turned ? w : h;
    auto out = std::make_shared<PixelBuffer>(ow, oh, PixelFormat::BGRA);
    const auto* src = reinterpret_cast<const uint32_t*>(bgra->data());
    const int srcPitch = bgra->stride() / 4;
    for (int y = 0; y < oh; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(out->data() + static_cast<size_t>(y) * out->stride());
        for (int x = 0; x < ow; ++x) {
            int sx = x;
            int sy = y;
            switch (orientation) {
                case ImageOrientation::up: break;
                case ImageOrientation::upMirrored: sx = w - 1 - x; break;
                case ImageOrientation::down: sx = w - 1 - x; sy = h - 1 - y; break;
                case ImageOrientation::downMirrored: sy = h - 1 - y; break;
                case ImageOrientation::leftMirrored: sx = y; sy = x; break;
                case ImageOrientation::right: sx = y; sy = h - 1 - x; break;
                case ImageOrientation::rightMirrored: sx = w - 1 - y; sy = h - 1 - x; break;
                case ImageOrientation::left: sx = w - 1 - y; sy = x; break;
            }
            row[x] = src[static_cast<size_t>(sy) * srcPitch + sx];
        }
    }
    return out;
}

Scaler::~Scaler() { reset(); }

void Scaler::reset() {
    sws_freeContext(context_);
    context_ = nullptr;
}

bool Scaler::scale(const PixelBuffer& source, IntRect from, PixelBuffer& target, IntRect to) {
    if (target.format() != PixelFormat::BGRA) return false;
    if (!inside(from, source.width(), source.height()) || !inside(to, target.width(), target.height()))
        return false;
    uint8_t* dst[4] = {target.data() + static_cast<size_t>(to.y) * target.stride() + 4 * to.x};
    int dstStride[4] = {target.stride()};

    if (source.format() == PixelFormat::BGRA) {
        const uint8_t* origin = source.data() + static_cast<size_t>(from.y) * source.stride() + 4 * from.x;
        if (from.width == to.width && from.height == to.height) {
            for (int y = 0; y < to.height; ++y)
                std::memcpy(dst[0] + static_cast<size_t>(y) * dstStride[0],
                            origin + static_cast<size_t>(y) * source.stride(), 4 * static_cast<size_t>(to.width));
            return true;
        }
        context_ = sws_getCachedContext(context_, from.width, from.height, AV_PIX_FMT_BGRA, to.width,
                                        to.height, AV_PIX_FMT_BGRA, kScaleFlags, nullptr, nullptr, nullptr);
        if (!context_) return false;
        const uint8_t* src[4] = {origin};
        int srcStride[4] = {source.stride()};
        return sws_scale(context_, src, srcStride, 0, from.height, dst, dstStride) > 0;
    }

    // NV12: chroma is shared by 2 × 2 pixels, so the crop starts on even coordinates.
    from.x &= ~1;
    from.y &= ~1;
    from.width = std::min(from.width, source.width() - from.x);
    from.height = std::min(from.height, source.height() - from.y);
    context_ = sws_getCachedContext(context_, from.width, from.height, AV_PIX_FMT_NV12, to.width,
                                    to.height, AV_PIX_FMT_BGRA, kScaleFlags, nullptr, nullptr, nullptr);
    if (!context_) return false;
    const bool fullRange = source.format() == PixelFormat::NV12FullRange;
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context_, coefficients, fullRange ? 1 : 0, coefficients, 1, 0,
                             1 << 16, 1 << 16);
    const uint8_t* src[4] = {
        source.data(0) + static_cast<size_t>(from.y) * source.stride(0) + from.x,
        source.data(1) + static_cast<size_t>(from.y / 2) * source.stride(1) + from.x,
    };
    int srcStride[4] = {source.stride(0), source.stride(1)};
    return sws_scale(context_, src, srcStride, 0, from.height, dst, dstStride) > 0;
}

void fillOpaqueBlack(PixelBuffer& canvas) {
    for (int y = 0; y < canvas.height(); ++y) {
        auto* row = reinterpret_cast<uint32_t*>(canvas.data() + static_cast<size_t>(y) * canvas.stride());
        std::fill(row, row + canvas.width(), 0xFF000000u);  // B G R A = 0 0 0 255
    }
}

void blendThroughMask(PixelBuffer& canvas, const PixelBuffer& window, const std::vector<uint8_t>& mask,
                      int x, int y) {
    const int w = window.width();
    const int h = window.height();
    const int x0 = std::max(0, x), x1 = std::min(canvas.width(), x + w);
    const int y0 = std::max(0, y), y1 = std::min(canvas.height(), y + h);
    for (int cy = y0; cy < y1; ++cy) {
        uint8_t* out = canvas.data() + static_cast<size_t>(cy) * canvas.stride();
        const uint8_t* in = window.data() + static_cast<size_t>(cy - y) * window.stride();
        const uint8_t* coverage = mask.data() + static_cast<size_t>(cy - y) * w;
        for (int cx = x0; cx < x1; ++cx) {
            const int wx = cx - x;
            const unsigned a = coverage[wx];
            if (a == 0) continue;
            uint8_t* d = out + 4 * cx;
            const uint8_t* s = in + 4 * wx;
            if (a == 255) {
                d[0] = s[0];
                d[1] = s[1];
                d[2] = s[2];
            } else {
                for (int c = 0; c < 3; ++c) d[c] = static_cast<uint8_t>((s[c] * a + d[c] * (255 - a) + 127) / 255);
            }
            d[3] = 255;
        }
    }
}

void blendPremultipliedRGBA(PixelBuffer& canvas, const QImage& image, int x, int y) {
    const int w = image.width();
    const int h = image.height();
    const int x0 = std::max(0, x), x1 = std::min(canvas.width(), x + w);
    const int y0 = std::max(0, y), y1 = std::min(canvas.height(), y + h);
    for (int cy = y0; cy < y1; ++cy) {
        uint8_t* out = canvas.data() + static_cast<size_t>(cy) * canvas.stride();
        const uchar* in = image.constScanLine(cy - y);
        for (int cx = x0; cx < x1; ++cx) {
            const uchar* s = in + 4 * (cx - x);  // R G B A, premultiplied
            const unsigned a = s[3];
            if (a == 0) continue;
            uint8_t* d = out + 4 * cx;  // B G R A
            const unsigned keep = 255 - a;
            d[0] = static_cast<uint8_t>(std::min(255u, s[2] + (d[0] * keep + 127) / 255));
            d[1] = static_cast<uint8_t>(std::min(255u, s[1] + (d[1] * keep + 127) / 255));
            d[2] = static_cast<uint8_t>(std::min(255u, s[0] + (d[2] * keep + 127) / 255));
            d[3] = 255;
        }
    }
}

}  // namespace zimlo::compose
