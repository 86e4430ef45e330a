#include "platform/x11/Resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zimlo::x11 {

namespace {
constexpr int kBits = 8;  // 8-bit weights keep the vertical pass in 16-bit lanes
constexpr int32_t kOne = 1 << kBits;
}  // namespace

void Resampler::build(Taps& taps, int srcSize, int dstSize) {
    if (taps.srcSize == srcSize && taps.dstSize == dstSize) return;
    taps = Taps{};
    taps.srcSize = srcSize;
    taps.dstSize = dstSize;
    const double scale = static_cast<double>(srcSize) / dstSize;
    std::vector<double> w;
    for (int o = 0; o < dstSize; ++o) {
        w.clear();
        int first = 0;
        if (scale >= 1.0) {
            // Area: each source pixel weighs by how much of it the output pixel covers.
            double begin = o * scale, end = (o + 1) * scale;
            first = static_cast<int>(std::floor(begin));
            int last = std::min(srcSize - 1, static_cast<int>(std::ceil(end)) - 1);
            for (int i = first; i <= last; ++i) {
                w.push_back(std::max(
                    0.0, std::min(end, i + 1.0) - std::max(begin, static_cast<double>(i))));
            }
        } else {
            double centre = (o + 0.5) * scale - 0.5;
            int i0 = static_cast<int>(std::floor(centre));
            double frac = centre - i0;
            if (i0 < 0) {
                i0 = 0;
                frac = 0;
            }
            if (i0 >= srcSize - 1) {
                i0 = srcSize - 1;
                frac = 0;
            }
            first = i0;
            w.push_back(1.0 - frac);
            if (frac > 0) w.push_back(frac);
        }
        double total = 0;
        for (double v : w) total += v;
        taps.start.push_back(first);
        taps.count.push_back(static_cast<int>(w.size()));
        taps.offset.push_back(static_cast<int>(taps.weights.size()));
        int32_t sum = 0;
        for (size_t k = 0; k < w.size(); ++k) {
            auto fixed = static_cast<int32_t>(std::lround(w[k] / total * kOne));
            taps.weights.push_back(fixed);
            sum += fixed;
        }
        // Rounding leftovers go to the largest weight so that flat areas stay exact.
        auto largest =
            std::max_element(taps.weights.end() - static_cast<long>(w.size()), taps.weights.end());
        *largest += kOne - sum;
    }
}

void Resampler::resize(const uint8_t* src, int srcWidth, int srcHeight, int srcStride, uint8_t* dst,
                       int dstWidth, int dstHeight, int dstStride) {
    if (srcWidth == dstWidth && srcHeight == dstHeight) {
        for (int y = 0; y < dstHeight; ++y) {
            auto* out = reinterpret_cast<uint32_t*>(dst + static_cast<size_t>(y) * dstStride);
            const auto* in =
                reinterpret_cast<const uint32_t*>(src + static_cast<size_t>(y) * srcStride);
            for (int x = 0; x < dstWidth; ++x) out[x] = in[x] | 0xff000000u;
        }
        return;
    }
    build(horizontal_, srcWidth, dstWidth);
    build(vertical_, srcHeight, dstHeight);
    const size_t rowValues = static_cast<size_t>(srcWidth) * 4;
    column_.resize(rowValues);
    uint16_t* col = column_.data();
    for (int y = 0; y < dstHeight; ++y) {
        // Vertical pass over whole source rows in 16-bit lanes (vectorises); the result keeps
        // 8 fractional bits.
        const int vFirst = vertical_.start[y], vCount = vertical_.count[y];
        const int32_t* vWeights = vertical_.weights.data() + vertical_.offset[y];
        {
            const uint8_t* row = src + static_cast<size_t>(vFirst) * srcStride;
            const auto weight = static_cast<uint16_t>(vWeights[0]);
            for (size_t i = 0; i < rowValues; ++i) col[i] = static_cast<uint16_t>(weight * row[i]);
        }
        for (int k = 1; k < vCount; ++k) {
            const uint8_t* row = src + static_cast<size_t>(vFirst + k) * srcStride;
            const auto weight = static_cast<uint16_t>(vWeights[k]);
            for (size_t i = 0; i < rowValues; ++i)
                col[i] = static_cast<uint16_t>(col[i] + weight * row[i]);
        }
        // Horizontal pass, three colour channels per output pixel.
        uint8_t* out = dst + static_cast<size_t>(y) * dstStride;
        for (int x = 0; x < dstWidth; ++x) {
            const int hFirst = horizontal_.start[x], hCount = horizontal_.count[x];
            const int32_t* hWeights = horizontal_.weights.data() + horizontal_.offset[x];
            uint32_t b = 0, g = 0, r = 0;
            const uint16_t* p = col + static_cast<size_t>(hFirst) * 4;
            for (int k = 0; k < hCount; ++k, p += 4) {
                const auto weight = static_cast<uint32_t>(hWeights[k]);
                b += weight * p[0];
                g += weight * p[1];
                r += weight * p[2];
            }
            out[x * 4 + 0] = static_cast<uint8_t>((b + (1u << 15)) >> 16);
            out[x * 4 + 1] = static_cast<uint8_t>((g + (1u << 15)) >> 16);
            out[x * 4 + 2] = static_cast<uint8_t>((r + (1u << 15)) >> 16);
            out[x * 4 + 3] = 0xff;
        }
    }
}

}  // namespace zimlo::x11
