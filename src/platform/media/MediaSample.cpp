#include "platform/media/MediaSample.h"

#include <stdexcept>

namespace zimlo::media {

PixelBuffer::PixelBuffer(int width, int height, PixelFormat format)
    : width_(width), height_(height), format_(format) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("pixel buffer needs a positive size");
    if (format == PixelFormat::BGRA) {
        planes_.push_back(Plane{std::vector<uint8_t>(static_cast<size_t>(width) * 4 * height), width * 4});
    } else {
        int chromaRows = (height + 1) / 2;
        int chromaStride = ((width + 1) / 2) * 2;
        planes_.push_back(Plane{std::vector<uint8_t>(static_cast<size_t>(width) * height), width});
        planes_.push_back(Plane{std::vector<uint8_t>(static_cast<size_t>(chromaStride) * chromaRows),
                                chromaStride});
    }
}

int bytesPerSample(SampleFormat format) {
    switch (format) {
        case SampleFormat::Float32: return 4;
        case SampleFormat::Int16: return 2;
        case SampleFormat::Int32: return 4;
    }
    return 0;
}

}  // namespace zimlo::media
