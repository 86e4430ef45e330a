#include "compose/PixelOps.h"

#include <QImage>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/log/Log.h"

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
PixelRect roundedRect(double x, double y, double w, double h) {
    int left = roundi(x);
    int top = roundi(y);
    return {left, top, roundi(x + w) - left, roundi(y + h) - top};
}

bool inside(PixelRect r, int width, int height) {
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
            mask[static_cast<size_t>(y) * width + x] =
                static_cast<uint8_t>(std::lround(coverage * 255));
        }
    }
    return mask;
}

namespace {

// Where the pixel at (x, y) of a picture turned by `orientation` comes from in the w × h source.
inline void orientedSource(ImageOrientation orientation, int w, int h, int x, int y, int& sx,
                           int& sy) {
    sx = x;
    sy = y;
    switch (orientation) {
        case ImageOrientation::up:
            break;
        case ImageOrientation::upMirrored:
            sx = w - 1 - x;
            break;
        case ImageOrientation::down:
            sx = w - 1 - x;
            sy = h - 1 - y;
            break;
        case ImageOrientation::downMirrored:
            sy = h - 1 - y;
            break;
        case ImageOrientation::leftMirrored:
            sx = y;
            sy = x;
            break;
        case ImageOrientation::right:
            sx = y;
            sy = h - 1 - x;
            break;
        case ImageOrientation::rightMirrored:
            sx = w - 1 - y;
            sy = h - 1 - x;
            break;
        case ImageOrientation::left:
            sx = w - 1 - y;
            sy = x;
            break;
    }
}

// Turns one plane of `Sample`-sized elements (4 bytes for BGRA, 1 for luma, 2 for U V pairs).
template <typename Sample>
void orientPlane(const uint8_t* source, int sourceStride, int w, int h, uint8_t* target,
                 int targetStride, ImageOrientation orientation) {
    const bool turned = static_cast<int>(orientation) >= 5;
    const int ow = turned ? h : w;
    const int oh = turned ? w : h;
    for (int y = 0; y < oh; ++y) {
        auto* row = reinterpret_cast<Sample*>(target + static_cast<size_t>(y) * targetStride);
        for (int x = 0; x < ow; ++x) {
            int sx = 0, sy = 0;
            orientedSource(orientation, w, h, x, y, sx, sy);
            row[x] = *reinterpret_cast<const Sample*>(
                source + static_cast<size_t>(sy) * sourceStride + sizeof(Sample) * sx);
        }
    }
}

struct UVPair {
    uint8_t u, v;
};

// Turns the chroma plane of a w × h NV12 picture: each block takes the block under the source
// pixel its lower-right pixel comes from, so odd sizes never pick the half-empty last block of
// the other side.
void orientChroma(const PixelBuffer& source, PixelBuffer& target, ImageOrientation orientation) {
    const int w = source.width(), h = source.height();
    const int ow = target.width(), oh = target.height();
    for (int cy = 0; cy < (oh + 1) / 2; ++cy) {
        auto* row =
            reinterpret_cast<UVPair*>(target.data(1) + static_cast<size_t>(cy) * target.stride(1));
        for (int cx = 0; cx < (ow + 1) / 2; ++cx) {
            int sx = 0, sy = 0;
            orientedSource(orientation, w, h, std::min(2 * cx + 1, ow - 1),
                           std::min(2 * cy + 1, oh - 1), sx, sy);
            row[cx] = *reinterpret_cast<const UVPair*>(
                source.data(1) + static_cast<size_t>(sy / 2) * source.stride(1) + 2 * (sx / 2));
        }
    }
}

inline uint8_t over(unsigned premultiplied, unsigned keep, unsigned beneath) {
    return static_cast<uint8_t>(std::min(255u, premultiplied + (beneath * keep + 127) / 255));
}

}  // namespace

std::shared_ptr<PixelBuffer> orientedCopy(const PixelBuffer& source, ImageOrientation orientation) {
    const bool turned = static_cast<int>(orientation) >= 5;
    const int w = source.width();
    const int h = source.height();
    if (source.format() == PixelFormat::NV12VideoRange) {
        auto out = std::make_shared<PixelBuffer>(turned ? h : w, turned ? w : h,
                                                 PixelFormat::NV12VideoRange);
        orientPlane<uint8_t>(source.data(0), source.stride(0), w, h, out->data(0), out->stride(0),
                             orientation);
        orientChroma(source, *out, orientation);
        return out;
    }
    std::shared_ptr<PixelBuffer> converted;
    const PixelBuffer* bgra = &source;
    if (source.format() != PixelFormat::BGRA) {
        converted = std::make_shared<PixelBuffer>(w, h, PixelFormat::BGRA);
        Scaler scaler;
        if (!scaler.scale(source, {0, 0, w, h}, *converted, {0, 0, w, h})) return nullptr;
        bgra = converted.get();
    }
    auto out = std::make_shared<PixelBuffer>(turned ? h : w, turned ? w : h, PixelFormat::BGRA);
    orientPlane<uint32_t>(bgra->data(), bgra->stride(), w, h, out->data(), out->stride(),
                          orientation);
    return out;
}

Scaler::~Scaler() { reset(); }

void Scaler::reset() {
    sws_freeContext(context_);
    context_ = nullptr;
}

namespace {

const char* formatName(PixelFormat format) {
    switch (format) {
        case PixelFormat::BGRA:
            return "BGRA";
        case PixelFormat::NV12VideoRange:
            return "NV12 (video range)";
        case PixelFormat::NV12FullRange:
            return "NV12 (full range)";
    }
    return "?";
}

std::string text(const PixelRect& rect) {
    return std::to_string(rect.width) + "x" + std::to_string(rect.height) + "+" +
           std::to_string(rect.x) + "+" + std::to_string(rect.y);
}

}  // namespace

bool Scaler::scale(const PixelBuffer& source, PixelRect from, PixelBuffer& target, PixelRect to) {
    const char* problem = convert(source, from, target, to);
    if (!problem) {
        failing_ = false;
        return true;
    }
    if (!failing_) {
        ZIMLO_LOG_WARN("compose") << "scaling " << text(from) << " of a " << source.width() << "x"
                                  << source.height() << " " << formatName(source.format())
                                  << " picture to " << text(to) << " of a " << target.width() << "x"
                                  << target.height() << " " << formatName(target.format())
                                  << " one: " << problem
                                  << " (further failures are not logged until one succeeds)";
    }
    failing_ = true;
    return false;
}

const char* Scaler::convert(const PixelBuffer& source, PixelRect from, PixelBuffer& target,
                            PixelRect to) {
    const bool toNV12 = target.format() == PixelFormat::NV12VideoRange;
    if (target.format() != PixelFormat::BGRA && !toNV12) return "the target format is not drawn";
    if (toNV12 && source.format() == PixelFormat::NV12FullRange)
        return "full-range NV12 is drawn by way of BGRA";
    if (toNV12 && ((to.x & 1) || (to.y & 1))) return "NV12 targets start on even coordinates";
    if (!inside(from, source.width(), source.height()) ||
        !inside(to, target.width(), target.height()))
        return "a rectangle is empty or out of bounds";
    uint8_t* dst[4] = {};
    int dstStride[4] = {};
    if (toNV12) {
        dst[0] = target.data(0) + static_cast<size_t>(to.y) * target.stride(0) + to.x;
        dst[1] = target.data(1) + static_cast<size_t>(to.y / 2) * target.stride(1) + to.x;
        dstStride[0] = target.stride(0);
        dstStride[1] = target.stride(1);
    } else {
        dst[0] = target.data() + static_cast<size_t>(to.y) * target.stride() + 4 * to.x;
        dstStride[0] = target.stride();
    }
    const AVPixelFormat targetFormat = toNV12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA;
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);

    if (source.format() == PixelFormat::BGRA) {
        const uint8_t* origin =
            source.data() + static_cast<size_t>(from.y) * source.stride() + 4 * from.x;
        if (!toNV12 && from.width == to.width && from.height == to.height) {
            for (int y = 0; y < to.height; ++y)
                std::memcpy(dst[0] + static_cast<size_t>(y) * dstStride[0],
                            origin + static_cast<size_t>(y) * source.stride(),
                            4 * static_cast<size_t>(to.width));
            return nullptr;
        }
        context_ =
            sws_getCachedContext(context_, from.width, from.height, AV_PIX_FMT_BGRA, to.width,
                                 to.height, targetFormat, kScaleFlags, nullptr, nullptr, nullptr);
        if (!context_) return "swscale has no conversion for these sizes and formats";
        if (toNV12) sws_setColorspaceDetails(context_, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
        const uint8_t* src[4] = {origin};
        int srcStride[4] = {source.stride()};
        if (sws_scale(context_, src, srcStride, 0, from.height, dst, dstStride) <= 0)
            return "swscale converted nothing";
        return nullptr;
    }

    // NV12: chroma is shared by 2 × 2 pixels, so the crop starts on even coordinates.
    from.x &= ~1;
    from.y &= ~1;
    from.width = std::min(from.width, source.width() - from.x);
    from.height = std::min(from.height, source.height() - from.y);
    // Unscaled to RGB, each pixel takes its own block's chroma: the picture as drawn, without
    // colour bleeding over the edges of regions.
    const bool unscaled = from.width == to.width && from.height == to.height;
    const int flags = !toNV12 && unscaled ? SWS_POINT | SWS_ACCURATE_RND : kScaleFlags;
    context_ = sws_getCachedContext(context_, from.width, from.height, AV_PIX_FMT_NV12, to.width,
                                    to.height, targetFormat, flags, nullptr, nullptr, nullptr);
    if (!context_) return "swscale has no conversion for these sizes and formats";
    if (!toNV12) {
        const bool fullRange = source.format() == PixelFormat::NV12FullRange;
        sws_setColorspaceDetails(context_, bt709, fullRange ? 1 : 0, bt709, 1, 0, 1 << 16, 1 << 16);
    }
    const uint8_t* src[4] = {
        source.data(0) + static_cast<size_t>(from.y) * source.stride(0) + from.x,
        source.data(1) + static_cast<size_t>(from.y / 2) * source.stride(1) + from.x,
    };
    int srcStride[4] = {source.stride(0), source.stride(1)};
    if (sws_scale(context_, src, srcStride, 0, from.height, dst, dstStride) <= 0)
        return "swscale converted nothing";
    return nullptr;
}

void fillOpaqueBlack(PixelBuffer& canvas) {
    if (canvas.format() == PixelFormat::BGRA) {
        for (int y = 0; y < canvas.height(); ++y) {
            auto* row = reinterpret_cast<uint32_t*>(canvas.data() +
                                                    static_cast<size_t>(y) * canvas.stride());
            std::fill(row, row + canvas.width(), 0xFF000000u);  // B G R A = 0 0 0 255
        }
        return;
    }
    // Video-range black: luma 16, neutral chroma.
    for (int y = 0; y < canvas.height(); ++y)
        std::memset(canvas.data(0) + static_cast<size_t>(y) * canvas.stride(0), 16, canvas.width());
    for (int y = 0; y < (canvas.height() + 1) / 2; ++y)
        std::memset(canvas.data(1) + static_cast<size_t>(y) * canvas.stride(1), 128,
                    2 * ((canvas.width() + 1) / 2));
}

namespace {

// The columns [begin, end) of a mask row (within [lo, hi)) where coverage is whole, when they
// are one run and everything outside it is not; an empty run otherwise. Rounded windows have
// such rows: partial coverage only near their edges, so most of a row is copied as it is.
std::pair<int, int> wholeRun(const uint8_t* row, int lo, int hi) {
    int begin = lo;
    while (begin < hi && row[begin] != 255) ++begin;
    int end = hi;
    while (end > begin && row[end - 1] != 255) --end;
    static const std::vector<uint8_t> opaque(4096, 255);
    for (int at = begin; at < end; at += 4096)
        if (std::memcmp(row + at, opaque.data(), std::min(4096, end - at)) != 0) return {lo, lo};
    return {begin, end};
}

}  // namespace

void drawNV12(PixelBuffer& canvas, const PixelBuffer& layer, PixelRect from, int x, int y,
              const uint8_t* mask) {
    const int x0 = std::max(0, x), x1 = std::min(canvas.width(), x + from.width);
    const int y0 = std::max(0, y), y1 = std::min(canvas.height(), y + from.height);
    if (x0 >= x1 || y0 >= y1) return;
    // Coverage of canvas pixel (px, py) by the layer.
    auto coverage = [&](int px, int py) -> unsigned {
        if (px < x0 || px >= x1 || py < y0 || py >= y1) return 0;
        return mask ? mask[static_cast<size_t>(py - y) * from.width + (px - x)] : 255u;
    };
    // Canvas columns of row py the layer covers wholly, as one run (all of [x0, x1) unmasked).
    auto wholeColumns = [&](int py) -> std::pair<int, int> {
        if (!mask) return {x0, x1};
        auto [begin, end] =
            wholeRun(mask + static_cast<size_t>(py - y) * from.width, x0 - x, x1 - x);
        return {begin + x, end + x};
    };

    for (int py = y0; py < y1; ++py) {
        uint8_t* out = canvas.data(0) + static_cast<size_t>(py) * canvas.stride(0);
        const uint8_t* in =
            layer.data(0) + static_cast<size_t>(from.y + py - y) * layer.stride(0) + from.x;
        const auto [wholeFrom, wholeTo] = wholeColumns(py);
        if (wholeTo > wholeFrom)
            std::memcpy(out + wholeFrom, in + (wholeFrom - x),
                        static_cast<size_t>(wholeTo - wholeFrom));
        if (!mask) continue;
        const uint8_t* m = mask + static_cast<size_t>(py - y) * from.width;
        for (int px = x0; px < x1; ++px) {
            if (px == wholeFrom && wholeTo > wholeFrom) px = wholeTo;
            if (px >= x1) break;
            const unsigned a = m[px - x];
            if (a == 0) continue;
            out[px] =
                a == 255 ? in[px - x]
                         : static_cast<uint8_t>((in[px - x] * a + out[px] * (255 - a) + 127) / 255);
        }
    }

    // Chroma: block (bx, by) covers canvas pixels 2bx..2bx+1 × 2by..2by+1 and takes the layer's
    // sample nearest to the same place.
    const int firstColumn = from.x / 2;
    const int lastColumn = (from.x + from.width - 1) / 2;
    const int firstRow = from.y / 2;
    const int lastRow = (from.y + from.height - 1) / 2;
    auto layerColumn = [&](int bx) {
        return std::clamp((from.x + 2 * bx - x) >> 1, firstColumn, lastColumn);
    };
    const int bx0 = x0 / 2, bx1 = (x1 + 1) / 2;
    for (int by = y0 / 2; by < (y1 + 1) / 2; ++by) {
        uint8_t* out = canvas.data(1) + static_cast<size_t>(by) * canvas.stride(1);
        const int row = std::clamp((from.y + 2 * by - y) >> 1, firstRow, lastRow);
        const uint8_t* in = layer.data(1) + static_cast<size_t>(row) * layer.stride(1);
        const int pixelsInCanvas = std::min(2, canvas.height() - 2 * by);
        // Blocks whose four pixels the layer covers wholly: both rows' whole runs, on the canvas.
        int fullX0 = bx1, fullX1 = bx1;
        if (2 * by >= y0 && 2 * by + 1 < y1) {
            const auto [aFrom, aTo] = wholeColumns(2 * by);
            const auto [bFrom, bTo] = wholeColumns(2 * by + 1);
            const int from2 = std::max(aFrom, bFrom), to2 = std::min(aTo, bTo);
            fullX0 = (from2 + 1) / 2;
            fullX1 = std::max(fullX0, to2 / 2);
        }
        int bx = bx0;
        while (bx < bx1) {
            if (bx >= fullX0 && bx < fullX1) {
                // Neighbouring blocks take neighbouring layer samples here, so the run is one
                // copy; the clamp only bites at the layer's own edge.
                const int first = layerColumn(bx), last = layerColumn(fullX1 - 1);
                if (last - first == fullX1 - 1 - bx) {
                    std::memcpy(out + 2 * bx, in + 2 * first, 2 * static_cast<size_t>(fullX1 - bx));
                    bx = fullX1;
                    continue;
                }
            }
            const int columnsInCanvas = std::min(2, canvas.width() - 2 * bx);
            unsigned sum = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) sum += coverage(2 * bx + dx, 2 * by + dy);
            const unsigned whole = 255u * pixelsInCanvas * columnsInCanvas;
            if (sum > 0) {
                const uint8_t* s = in + 2 * layerColumn(bx);
                uint8_t* d = out + 2 * bx;
                if (sum >= whole) {
                    d[0] = s[0];
                    d[1] = s[1];
                } else {
                    for (int c = 0; c < 2; ++c)
                        d[c] = static_cast<uint8_t>(
                            (s[c] * sum + d[c] * (whole - sum) + whole / 2) / whole);
                }
            }
            ++bx;
        }
    }
}

YUVAImage makeYUVAImage(const QImage& source, int x, int y) {
    const QImage image = source.format() == QImage::Format_RGBA8888_Premultiplied
                             ? source
                             : source.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    YUVAImage out;
    out.x = x;
    out.y = y;
    out.width = image.width();
    out.height = image.height();
    if (out.width <= 0 || out.height <= 0) return out;
    const size_t pixels = static_cast<size_t>(out.width) * out.height;
    out.luma.resize(pixels);
    out.alpha.resize(pixels);
    // BT.709 video range, applied to premultiplied colour: the offsets scale with alpha, so the
    // result is the picture composited over black, plus (1 - alpha) of what lies beneath.
    constexpr double kY = 219.0 / 255.0, kC = 224.0 / 255.0;
    auto toY = [](double r, double g, double b) {
        return kY * (0.2126 * r + 0.7152 * g + 0.0722 * b);
    };
    auto toU = [](double r, double g, double b) {
        return kC * (-0.2126 * r - 0.7152 * g + 0.9278 * b) / 1.8556;
    };
    auto toV = [](double r, double g, double b) {
        return kC * (0.7874 * r - 0.7152 * g - 0.0722 * b) / 1.5748;
    };
    for (int py = 0; py < out.height; ++py) {
        const uchar* s = image.constScanLine(py);
        for (int px = 0; px < out.width; ++px, s += 4) {
            const size_t i = static_cast<size_t>(py) * out.width + px;
            out.alpha[i] = s[3];
            out.luma[i] = static_cast<uint8_t>(
                std::clamp(std::lround(16.0 * s[3] / 255.0 + toY(s[0], s[1], s[2])), 0L, 255L));
        }
    }
    // Chroma blocks on the canvas's grid: (x >> 1) rounds towards minus infinity.
    out.blockX = x >> 1;
    out.blockY = y >> 1;
    out.blocksWide = ((x + out.width - 1) >> 1) - out.blockX + 1;
    out.blocksHigh = ((y + out.height - 1) >> 1) - out.blockY + 1;
    out.chroma.resize(2 * static_cast<size_t>(out.blocksWide) * out.blocksHigh);
    out.chromaAlpha.resize(static_cast<size_t>(out.blocksWide) * out.blocksHigh);
    for (int by = 0; by < out.blocksHigh; ++by)
        for (int bx = 0; bx < out.blocksWide; ++bx) {
            double u = 0, v = 0, a = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const int px = 2 * (out.blockX + bx) + dx - x;
                    const int py = 2 * (out.blockY + by) + dy - y;
                    if (px < 0 || py < 0 || px >= out.width || py >= out.height)
                        continue;  // transparent
                    const uchar* s = image.constScanLine(py) + 4 * px;
                    u += 128.0 * s[3] / 255.0 + toU(s[0], s[1], s[2]);
                    v += 128.0 * s[3] / 255.0 + toV(s[0], s[1], s[2]);
                    a += s[3];
                }
            const size_t i = static_cast<size_t>(by) * out.blocksWide + bx;
            out.chroma[2 * i] = static_cast<uint8_t>(std::clamp(std::lround(u / 4), 0L, 255L));
            out.chroma[2 * i + 1] = static_cast<uint8_t>(std::clamp(std::lround(v / 4), 0L, 255L));
            out.chromaAlpha[i] = static_cast<uint8_t>(std::lround(a / 4));
        }
    return out;
}

void drawYUVA(PixelBuffer& canvas, const YUVAImage& image) {
    if (canvas.format() != PixelFormat::NV12VideoRange) return;
    const int x0 = std::max(0, image.x), x1 = std::min(canvas.width(), image.x + image.width);
    const int y0 = std::max(0, image.y), y1 = std::min(canvas.height(), image.y + image.height);
    for (int py = y0; py < y1; ++py) {
        uint8_t* out = canvas.data(0) + static_cast<size_t>(py) * canvas.stride(0);
        const size_t row = static_cast<size_t>(py - image.y) * image.width - image.x;
        for (int px = x0; px < x1; ++px) {
            const unsigned a = image.alpha[row + px];
            if (a != 0) out[px] = over(image.luma[row + px], 255 - a, out[px]);
        }
    }
    const int bx0 = std::max(0, image.blockX),
              bx1 = std::min((canvas.width() + 1) / 2, image.blockX + image.blocksWide);
    const int by0 = std::max(0, image.blockY),
              by1 = std::min((canvas.height() + 1) / 2, image.blockY + image.blocksHigh);
    for (int by = by0; by < by1; ++by) {
        uint8_t* out = canvas.data(1) + static_cast<size_t>(by) * canvas.stride(1);
        const size_t row = static_cast<size_t>(by - image.blockY) * image.blocksWide - image.blockX;
        for (int bx = bx0; bx < bx1; ++bx) {
            const unsigned a = image.chromaAlpha[row + bx];
            if (a == 0) continue;
            out[2 * bx] = over(image.chroma[2 * (row + bx)], 255 - a, out[2 * bx]);
            out[2 * bx + 1] = over(image.chroma[2 * (row + bx) + 1], 255 - a, out[2 * bx + 1]);
        }
    }
}

}  // namespace zimlo::compose
