#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/geometry/Geometry.h"
#include "platform/media/MediaTime.h"

struct AVCodecParameters;

namespace zimlo::media {

enum class MovieFileType {
    quickTimeMovie,  // ".mov"
    mpeg4,           // ".mp4"
};

enum class MediaType { video, audio, other };

// A 2-D affine transform in the row-vector convention of movie display matrices:
// x' = a·x + c·y + tx, y' = b·x + d·y + ty.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    // Quarter turns only; `size` is the picture the transform is applied to.
    static AffineTransform rotation(int degrees, Size size);
    bool isIdentity() const { return *this == AffineTransform{}; }
    // Angle of the transform in degrees (clockwise on screen, since y points down).
    double rotationDegrees() const { return std::atan2(b, a) * 180.0 / M_PI; }
    bool isMirrored() const { return a * d - b * c < 0; }
    // The size of a `size` picture after the transform (absolute values).
    Size applyToSize(Size size) const {
        return {std::fabs(a * size.width + c * size.height),
                std::fabs(b * size.width + d * size.height)};
    }
    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// What a track holds: codec, picture or sound parameters. Also the "format hint" for a
// pass-through writer input, so it carries the codec's own parameters (extradata) as well.
class FormatDescription {
  public:
    FormatDescription() = default;
    // Copies `parameters`; `timeBase` is the time base the parameters' stream used.
    FormatDescription(const AVCodecParameters* parameters, int timeBaseNum, int timeBaseDen);

    MediaType mediaType() const { return mediaType_; }
    std::string codecName() const { return codecName_; }  // "h264", "aac", ...
    std::string profileName() const { return profile_; }  // "High", "LC", ... or empty
    int width() const { return width_; }
    int height() const { return height_; }
    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    const AVCodecParameters* parameters() const { return parameters_.get(); }
    int timeBaseNum() const { return timeBaseNum_; }
    int timeBaseDen() const { return timeBaseDen_; }
    bool isValid() const { return parameters_ != nullptr; }
    // Whether a decoder for this format is built in.
    bool isDecodable() const;

  private:
    std::shared_ptr<AVCodecParameters> parameters_;
    MediaType mediaType_ = MediaType::other;
    std::string codecName_;
    std::string profile_;
    int width_ = 0, height_ = 0, sampleRate_ = 0, channels_ = 0;
    int timeBaseNum_ = 1, timeBaseDen_ = 1;
};

// One compressed sample of a track, as stored (or to be stored) in a movie.
struct MediaPacket {
    std::vector<uint8_t> data;
    MediaTime presentationTime;
    MediaTime decodeTime;  // invalid: same as the presentation time
    MediaTime duration;
    bool isKeyframe = false;
};

}  // namespace zimlo::media
