#include "platform/portal/FrameConverter.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/media/RgbToNV12.h"

namespace zimlo::portal {
namespace {

bool swapsRedBlue(SourcePixelFormat format) {
    return format == SourcePixelFormat::RGBx || format == SourcePixelFormat::RGBA;
}

// Copies one row to BGRA with full alpha.
void copyRow(const uint8_t* src, uint8_t* dst, int pixels, bool swap) {
    if (swap) {
        for (int x = 0; x < pixels; ++x) {
            dst[4 * x + 0] = src[4 * x + 2];
            dst[4 * x + 1] = src[4 * x + 1];
            dst[4 * x + 2] = src[4 * x + 0];
            dst[4 * x + 3] = 0xff;
        }
    } else {
        uint32_t row;
        for (int x = 0; x < pixels; ++x) {
            std::memcpy(&row, src + 4 * x, 4);
            row |= 0xff000000u;  // little-endian: the fourth byte is alpha
            std::memcpy(dst + 4 * x, &row, 4);
        }
    }
}

bool isNV12(const media::PixelBuffer& out) {
    return out.format() == media::PixelFormat::NV12VideoRange;
}

void fillBlack(media::PixelBuffer& out, int x, int y, int width, int height) {
    if (width <= 0 || height <= 0) return;
    if (isNV12(out)) {
        // Video-range black: luma 16, neutral chroma; the caller keeps x, y, width, height even.
        for (int row = y; row < y + height; ++row)
            std::memset(out.data(0) + static_cast<size_t>(row) * out.stride(0) + x, 16, width);
        for (int row = y / 2; row < (y + height) / 2; ++row)
            std::memset(out.data(1) + static_cast<size_t>(row) * out.stride(1) + x, 128, width);
        return;
    }
    for (int row = y; row < y + height; ++row) {
        uint8_t* p = out.data() + static_cast<size_t>(row) * out.stride() + 4 * x;
        for (int i = 0; i < width; ++i) {
            p[4 * i + 0] = p[4 * i + 1] = p[4 * i + 2] = 0;
            p[4 * i + 3] = 0xff;
        }
    }
}

}  // namespace

PixelRect visibleArea(int width, int height, const std::optional<PixelRect>& crop) {
    PixelRect whole{0, 0, width, height};
    if (!crop || crop->width <= 0 || crop->height <= 0) return whole;
    int x0 = std::clamp(crop->x, 0, width), y0 = std::clamp(crop->y, 0, height);
    int x1 = std::clamp(crop->x + crop->width, 0, width);
    int y1 = std::clamp(crop->y + crop->height, 0, height);
    if (x1 <= x0 || y1 <= y0) return whole;
    return {x0, y0, x1 - x0, y1 - y0};
}

FrameConverter::~FrameConverter() { sws_freeContext(scaler_); }

bool FrameConverter::convert(const SourcePicture& source, const std::optional<PixelRect>& crop,
                             media::PixelBuffer& out) {
    const bool nv12 = isNV12(out);
    if (!source.data || source.width <= 0 || source.height <= 0 ||
        source.stride < source.width * 4 || (out.format() != media::PixelFormat::BGRA && !nv12) ||
        out.width() <= 0 || out.height() <= 0 || (nv12 && ((out.width() | out.height()) & 1)))
        return false;
    const PixelRect area = visibleArea(source.width, source.height, crop);
    const uint8_t* origin =
        source.data + static_cast<size_t>(area.y) * source.stride + static_cast<size_t>(area.x) * 4;

    // Where the content goes: the whole frame, or a centred rectangle of the same shape (on
    // even coordinates and sizes for NV12, whose chroma covers 2 × 2 pixels).
    const double scale = std::min(static_cast<double>(out.width()) / area.width,
                                  static_cast<double>(out.height()) / area.height);
    int width = std::clamp(static_cast<int>(std::lround(area.width * scale)), 1, out.width());
    int height = std::clamp(static_cast<int>(std::lround(area.height * scale)), 1, out.height());
    int left = (out.width() - width) / 2;
    int top = (out.height() - height) / 2;
    const bool unscaled = width == area.width && height == area.height;
    if (nv12) {
        width = std::max(2, width & ~1);
        height = std::max(2, height & ~1);
        left &= ~1;
        top &= ~1;
    }
    fillBlack(out, 0, 0, out.width(), top);
    fillBlack(out, 0, top + height, out.width(), out.height() - top - height);
    fillBlack(out, 0, top, left, height);
    fillBlack(out, left + width, top, out.width() - left - width, height);

    const bool swap = swapsRedBlue(source.format);
    if (unscaled && nv12) {
        // An odd-sized area loses its last column or row.
        media::rgbxToNV12(origin, source.stride, width, height, out, left, top, swap);
        return true;
    }
    if (unscaled) {
        uint8_t* target = out.data() + static_cast<size_t>(top) * out.stride() + 4 * left;
        for (int row = 0; row < height; ++row)
            copyRow(origin + static_cast<size_t>(row) * source.stride,
                    target + static_cast<size_t>(row) * out.stride(), width, swap);
        return true;
    }
    // The fourth byte is never read as alpha: screens are opaque. Shrinking averages the area
    // each output pixel covers (no aliasing on text); growing interpolates.
    const AVPixelFormat input = swap ? AV_PIX_FMT_RGB0 : AV_PIX_FMT_BGR0;
    const int flags = scale < 1.0 ? SWS_AREA : SWS_BILINEAR;
    scaler_ = sws_getCachedContext(scaler_, area.width, area.height, input, width, height,
                                   nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA, flags, nullptr,
                                   nullptr, nullptr);
    if (!scaler_) return false;
    const uint8_t* planes[4] = {origin, nullptr, nullptr, nullptr};
    const int strides[4] = {source.stride, 0, 0, 0};
    uint8_t* targets[4] = {};
    int targetStrides[4] = {};
    if (nv12) {
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(scaler_, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
        targets[0] = out.data(0) + static_cast<size_t>(top) * out.stride(0) + left;
        targets[1] = out.data(1) + static_cast<size_t>(top / 2) * out.stride(1) + left;
        targetStrides[0] = out.stride(0);
        targetStrides[1] = out.stride(1);
    } else {
        targets[0] = out.data() + static_cast<size_t>(top) * out.stride() + 4 * left;
        targetStrides[0] = out.stride();
    }
    sws_scale(scaler_, planes, strides, 0, area.height, targets, targetStrides);
    return true;
}

}  // namespace zimlo::portal
