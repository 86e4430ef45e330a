#include "platform/media/MediaSample.h"

#include <stdexcept>

namespace zimlo::media {

namespace {

// libswscale's vector code may write a few dozen bytes past the last row of its output; every
// plane carries this much spare room at its end so such writes never leave the allocation.
constexpr size_t kPlaneTailPadding = 64;

PixelBuffer::Plane makePlane(int stride, int rows) {
    PixelBuffer::Plane plane;
    plane.bytes.resize(static_cast<size_t>(stride) * rows + kPlaneTailPadding);
    plane.stride = stride;
    return plane;
}

}  // namespace

PixelBuffer::PixelBuffer(int width, int height, PixelFormat format)
    : width_(width), height_(height), format_(format) {
    if (width <= 0 || height <= 0)
        throw std::invalid_argument("pixel buffer needs a positive size");
    if (format == PixelFormat::BGRA) {
        planes_.push_back(makePlane(width * 4, height));
    } else {
        planes_.push_back(makePlane(width, height));
        planes_.push_back(makePlane(((width + 1) / 2) * 2, (height + 1) / 2));
    }
}

int bytesPerSample(SampleFormat format) {
    switch (format) {
        case SampleFormat::Float32:
            return 4;
        case SampleFormat::Int16:
            return 2;
        case SampleFormat::Int32:
            return 4;
    }
    return 0;
}

}  // namespace zimlo::media
