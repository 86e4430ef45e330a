#include "platform/portal/FrameConverter.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

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

void fillBlack(media::PixelBuffer& out, int x, int y, int width, int height) {
    for (int row = y; row < y + height; ++row) {
        uint8_t* p = out.data() + static_cast<size_t>(row) * out.stride() + 4 * x;
        for (int i = 0; i < width; ++i) {
            p[4 * i + 0] = p[4 * i + 1] = p[4 * i + 2] = 0;
            p[4 * i + 3] = 0xff;
        }
    }
}

}  // namespace

CropRect visibleArea(int width, int height, const std::optional<CropRect>& crop) {
    CropRect whole{0, 0, width, height};
    if (!crop || crop->width <= 0 || crop->height <= 0) return whole;
    int x0 = std::clamp(crop->x, 0, width), y0 = std::clamp(crop->y, 0, height);
    int x1 = std::clamp(crop->x + crop->width, 0, width);
    int y1 = std::clamp(crop->y + crop->height, 0, height);
    if (x1 <= x0 || y1 <= y0) return whole;
    return {x0, y0, x1 - x0, y1 - y0};
}

FrameConverter::~FrameConverter() { sws_freeContext(scaler_); }

bool FrameConverter::convert(const SourcePicture& source, const std::optional<CropRect>& crop,
                             media::PixelBuffer& out) {
    if (!source.data || source.width <= 0 || source.height <= 0 ||
        source.stride < source.width * 4 || out.format() != media::PixelFormat::BGRA ||
        out.width() <= 0 || out.height() <= 0)
        return false;
    const CropRect area = visibleArea(source.width, source.height, crop);
    const uint8_t* origin =
        source.data + static_cast<size_t>(area.y) * source.stride + static_cast<size_t>(area.x) * 4;

    // Where the content goes: the whole frame, or a centred rectangle of the same shape.
    const double scale = std::min(static_cast<double>(out.width()) / area.width,
                                  static_cast<double>(out.height()) / area.height);
    int width = std::clamp(static_cast<int>(std::lround(area.width * scale)), 1, out.width());
    int height = std::clamp(static_cast<int>(std::lround(area.height * scale)), 1, out.height());
    const int left = (out.width() - width) / 2;
    const int top = (out.height() - height) / 2;
    if (top > 0) fillBlack(out, 0, 0, out.width(), top);
    if (top + height < out.height())
        fillBlack(out, 0, top + height, out.width(), out.height() - top - height);
    if (left > 0) fillBlack(out, 0, top, left, height);
    if (left + width < out.width())
        fillBlack(out, left + width, top, out.width() - left - width, height);
    uint8_t* target = out.data() + static_cast<size_t>(top) * out.stride() + 4 * left;

    const bool swap = swapsRedBlue(source.format);
    if (width == area.width && height == area.height) {
        for (int row = 0; row < height; ++row)
            copyRow(origin + static_cast<size_t>(row) * source.stride,
                    target + static_cast<size_t>(row) * out.stride(), width, swap);
        return true;
    }
    // The fourth byte is never read as alpha: screens are opaque.
    const AVPixelFormat input = swap ? AV_PIX_FMT_RGB0 : AV_PIX_FMT_BGR0;
    scaler_ = sws_getCachedContext(scaler_, area.width, area.height, input, width, height,
                                   AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr);
    if (!scaler_) return false;
    const uint8_t* planes[4] = {origin, nullptr, nullptr, nullptr};
    const int strides[4] = {source.stride, 0, 0, 0};
    uint8_t* targets[4] = {target, nullptr, nullptr, nullptr};
    const int targetStrides[4] = {out.stride(), 0, 0, 0};
    sws_scale(scaler_, planes, strides, 0, area.height, targets, targetStrides);
    return true;
}

}  // namespace zimlo::portal
