#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "compose/CompositionInstruction.h"
#include "platform/media/MediaSample.h"

struct SwsContext;
class QImage;

namespace zimlo::compose {

// CPU picture operations of the frame compositor. Canvases are opaque BGRA.

struct IntRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const IntRect&, const IntRect&) = default;
};

// Which part of a source picture goes into which part of the target.
struct Placement {
    IntRect source;
    IntRect target;
};

// Aspect fill of a sw × sh picture into the region (x, y, tw, th): centred, the overflow cut.
Placement fillPlacement(int sourceWidth, int sourceHeight, double x, double y, double tw, double th);
// Aspect fit: the whole picture, centred, bands left uncovered.
Placement fitPlacement(int sourceWidth, int sourceHeight, double x, double y, double tw, double th);

// Corner radius of a w × h window for a rounding ratio (fraction of half the shorter side):
// ratios above 1 give half the shorter side, negative or NaN ratios give 0.
double roundedCornerRadius(double width, double height, double cornerRatio);
// Coverage (0-255) of a w × h rectangle with anti-aliased rounded corners of `radius`.
std::vector<uint8_t> roundedRectMask(int width, int height, double radius);

// The picture turned upright, as a new BGRA buffer (BGRA or NV12 sources).
std::shared_ptr<media::PixelBuffer> orientedCopy(const media::PixelBuffer& source,
                                                 ImageOrientation orientation);

// Scales part of a BGRA or NV12 picture into part of a BGRA picture; keeps its scaling context
// between calls of the same shape.
class Scaler {
public:
    Scaler() = default;
    ~Scaler();
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;

    // False when the rectangles are empty or out of bounds, or the formats are not supported.
    bool scale(const media::PixelBuffer& source, IntRect from, media::PixelBuffer& target, IntRect to);
    void reset();

private:
    SwsContext* context_ = nullptr;
};

void fillOpaqueBlack(media::PixelBuffer& canvas);
// Draws an opaque BGRA window at (x, y) through a coverage mask, cut at the canvas edges.
void blendThroughMask(media::PixelBuffer& canvas, const media::PixelBuffer& window,
                      const std::vector<uint8_t>& mask, int x, int y);
// Draws a premultiplied RGBA image at (x, y), cut at the canvas edges.
void blendPremultipliedRGBA(media::PixelBuffer& canvas, const QImage& image, int x, int y);

}  // namespace zimlo::compose
