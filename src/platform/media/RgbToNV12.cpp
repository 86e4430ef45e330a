#include "platform/media/RgbToNV12.h"

#include <cstring>

namespace zimlo::media {
namespace {

// BT.709 video range in 8.8 fixed point (what the encoder tags every movie with):
//   Y = 16 + ( 47 R + 157 G +  16 B) / 256
//   U = 128 + (-26 R -  86 G + 112 B) / 256
//   V = 128 + (112 R - 102 G -  10 B) / 256
// Plain loops over whole 32-bit pixels, which the compiler vectorises.
template <bool kSwap>
inline void channels(uint32_t pixel, int& r, int& g, int& b) {
    const int first = static_cast<int>(pixel & 0xff);
    g = static_cast<int>((pixel >> 8) & 0xff);
    const int third = static_cast<int>((pixel >> 16) & 0xff);
    r = kSwap ? first : third;
    b = kSwap ? third : first;
}

template <bool kSwap>
void lumaRow(const uint8_t* src, uint8_t* luma, int width) {
    for (int x = 0; x < width; ++x) {
        uint32_t pixel;
        std::memcpy(&pixel, src + 4 * x, 4);
        int r, g, b;
        channels<kSwap>(pixel, r, g, b);
        luma[x] = static_cast<uint8_t>((47 * r + 157 * g + 16 * b + 16 * 256 + 128) >> 8);
    }
}

// One chroma row from two picture rows: each pair of chroma bytes from a 2 × 2 block.
template <bool kSwap>
void chromaRow(const uint8_t* top, const uint8_t* bottom, uint8_t* chroma, int width) {
    for (int x = 0; x < width / 2; ++x) {
        uint32_t p[4];
        std::memcpy(&p[0], top + 8 * x, 4);
        std::memcpy(&p[1], top + 8 * x + 4, 4);
        std::memcpy(&p[2], bottom + 8 * x, 4);
        std::memcpy(&p[3], bottom + 8 * x + 4, 4);
        int r = 0, g = 0, b = 0;
        for (uint32_t pixel : p) {
            int pr, pg, pb;
            channels<kSwap>(pixel, pr, pg, pb);
            r += pr;
            g += pg;
            b += pb;
        }
        // Sums of four: divide by 4 × 256; offsets keep the shifted values positive.
        chroma[2 * x] = static_cast<uint8_t>((-26 * r - 86 * g + 112 * b + 128 * 1024 + 512) >> 10);
        chroma[2 * x + 1] =
            static_cast<uint8_t>((112 * r - 102 * g - 10 * b + 128 * 1024 + 512) >> 10);
    }
}

template <bool kSwap>
inline void toNV12(const uint8_t* origin, int sourceStride, int width, int height, PixelBuffer& out,
                   int left, int top) {
    for (int row = 0; row < height; row += 2) {
        const uint8_t* first = origin + static_cast<size_t>(row) * sourceStride;
        // An odd last row is paired with itself.
        const uint8_t* second = row + 1 < height ? first + sourceStride : first;
        uint8_t* luma = out.data(0) + static_cast<size_t>(top + row) * out.stride(0) + left;
        lumaRow<kSwap>(first, luma, width);
        if (row + 1 < height) lumaRow<kSwap>(second, luma + out.stride(0), width);
        chromaRow<kSwap>(first, second,
                         out.data(1) + static_cast<size_t>((top + row) / 2) * out.stride(1) + left,
                         width);
    }
}

// The pixel loops once more for AVX2, picked at run time where the processor has it.
__attribute__((target_clones("avx2", "default"))) void bgrToNV12(const uint8_t* origin,
                                                                 int sourceStride, int width,
                                                                 int height, PixelBuffer& out,
                                                                 int left, int top) {
    toNV12<false>(origin, sourceStride, width, height, out, left, top);
}

__attribute__((target_clones("avx2", "default"))) void rgbToNV12(const uint8_t* origin,
                                                                 int sourceStride, int width,
                                                                 int height, PixelBuffer& out,
                                                                 int left, int top) {
    toNV12<true>(origin, sourceStride, width, height, out, left, top);
}

}  // namespace

void rgbxToNV12(const uint8_t* origin, int sourceStride, int width, int height, PixelBuffer& out,
                int left, int top, bool swapRedBlue) {
    if (swapRedBlue)
        rgbToNV12(origin, sourceStride, width, height, out, left, top);
    else
        bgrToNV12(origin, sourceStride, width, height, out, left, top);
}

}  // namespace zimlo::media
