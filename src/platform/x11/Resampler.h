#pragma once

// Internal: resizes 32-bit BGRX pictures. Shrinking averages the source area each output pixel
// covers (no aliasing on text and thin lines); growing interpolates bilinearly. About three
// times cheaper than libswscale's RGB path, which converts through YUV.

#include <cstdint>
#include <vector>

namespace zimlo::x11 {

class Resampler {
  public:
    // The output is opaque BGRA.
    void resize(const uint8_t* src, int srcWidth, int srcHeight, int srcStride, uint8_t* dst,
                int dstWidth, int dstHeight, int dstStride);

  private:
    struct Taps {
        int srcSize = 0, dstSize = 0;
        std::vector<int> start;        // first source index per output index
        std::vector<int> count;        // number of source samples per output index
        std::vector<int> offset;       // into weights
        std::vector<int32_t> weights;  // 8-bit fixed point, each run sums to 256
    };
    static void build(Taps& taps, int srcSize, int dstSize);

    Taps horizontal_, vertical_;
    std::vector<uint16_t> column_;
};

}  // namespace zimlo::x11
