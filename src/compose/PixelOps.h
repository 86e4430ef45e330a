#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "compose/CompositionInstruction.h"
#include "platform/geometry/Geometry.h"
#include "platform/media/MediaSample.h"

struct SwsContext;
class QImage;

namespace zimlo::compose {

// CPU picture operations of the frame compositor. Canvases are NV12 in BT.709 video range, the
// format the exported movie is encoded and tagged in, so pictures go from the decoder to the
// encoder without a round trip through RGB.

// Which part of a source picture goes into which part of the target.
struct Placement {
    PixelRect source;
    PixelRect target;
};

// Aspect fill of a sw × sh picture into the region (x, y, tw, th): centred, the overflow cut.
Placement fillPlacement(int sourceWidth, int sourceHeight, double x, double y, double tw,
                        double th);
// Aspect fit: the whole picture, centred, bands left uncovered.
Placement fitPlacement(int sourceWidth, int sourceHeight, double x, double y, double tw, double th);

// Corner radius of a w × h window for a rounding ratio (fraction of half the shorter side):
// ratios above 1 give half the shorter side, negative or NaN ratios give 0.
double roundedCornerRadius(double width, double height, double cornerRatio);
// Coverage (0-255) of a w × h rectangle with anti-aliased rounded corners of `radius`.
std::vector<uint8_t> roundedRectMask(int width, int height, double radius);

// The picture turned upright, as a new buffer: NV12 video range stays NV12, BGRA and NV12 full
// range become BGRA.
std::shared_ptr<media::PixelBuffer> orientedCopy(const media::PixelBuffer& source,
                                                 ImageOrientation orientation);

// Scales part of a picture into part of another; keeps its scaling context between calls of the
// same shape. Sources: BGRA, NV12 (either range); targets: BGRA, or NV12 video range from BGRA
// and NV12 video range sources, then at even coordinates. YUV is taken and made as BT.709.
class Scaler {
  public:
    Scaler() = default;
    ~Scaler();
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;

    // False when the rectangles are empty or out of bounds, the formats are not supported or
    // swscale fails. The first failure after a success is logged (one line, not one a frame).
    bool scale(const media::PixelBuffer& source, PixelRect from, media::PixelBuffer& target,
               PixelRect to);
    void reset();

  private:
    // Why the picture was not scaled; null when it was.
    const char* convert(const media::PixelBuffer& source, PixelRect from,
                        media::PixelBuffer& target, PixelRect to);

    SwsContext* context_ = nullptr;
    bool failing_ = false;
};

// Opaque black, for BGRA and NV12 video-range canvases.
void fillOpaqueBlack(media::PixelBuffer& canvas);

// Draws `from` of an NV12 video-range layer with its top-left at (x, y) of an NV12 canvas, cut at
// the canvas edges, through an optional coverage mask (one byte a pixel, `from`'s width a row).
// Each chroma sample takes the layer in proportion to how much of its 2 × 2 pixels the layer
// covers. `from` starts on even coordinates.
void drawNV12(media::PixelBuffer& canvas, const media::PixelBuffer& layer, PixelRect from, int x,
              int y, const uint8_t* mask = nullptr);

// A premultiplied RGBA image turned into the canvas's YUV once, for a given position: luma and
// alpha per pixel, chroma and its alpha per 2 × 2 block of the canvas, all premultiplied, so
// drawing it is one multiply-add per sample.
struct YUVAImage {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;
    std::vector<uint8_t> alpha;
    int blockX = 0;  // first chroma block (canvas chroma coordinates)
    int blockY = 0;
    int blocksWide = 0;
    int blocksHigh = 0;
    std::vector<uint8_t> chroma;  // U V interleaved
    std::vector<uint8_t> chromaAlpha;
};
// `image` is Format_RGBA8888_Premultiplied (others are converted).
YUVAImage makeYUVAImage(const QImage& image, int x, int y);
void drawYUVA(media::PixelBuffer& canvas, const YUVAImage& image);

}  // namespace zimlo::compose
