#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/media/AssetDecoding.h"
#include "platform/media/AssetReader.h"
#include "platform/media/FFmpegSupport.h"
#include "platform/media/PictureConverters.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media {

using namespace detail;

namespace {

// The quarter turn and mirroring a transform stands for: its linear part rounded to 0 and ±1 in
// one of the eight arrangements. Anything else (a scale, a shear, a stray angle) is ignored, as
// the export ignores it; mapped through as it is, a scale of 30000 once made a 4 GB picture.
AffineTransform orientationOf(const AffineTransform& transform) {
    double entries[4] = {transform.a, transform.b, transform.c, transform.d};
    for (double& entry : entries) {
        if (!(std::fabs(entry) < 1.5)) return {};  // also NaN
        entry = std::round(entry);
    }
    const auto [a, b, c, d] = entries;
    const bool upright = b == 0 && c == 0 && std::fabs(a) == 1 && std::fabs(d) == 1;
    const bool turned = a == 0 && d == 0 && std::fabs(b) == 1 && std::fabs(c) == 1;
    if (!upright && !turned) return {};
    return AffineTransform{a, b, c, d, 0, 0};
}

bool expired(const ReadDeadline& deadline) {
    return deadline && std::chrono::steady_clock::now() >= *deadline;
}

}  // namespace

MediaResult<std::shared_ptr<PixelBuffer>> ImageGenerator::copyImage(MediaTime time) const {
    constexpr const char* doing = "taking a picture from";
    using Kind = MediaError::Kind;
    if (!asset_) return logged(MediaError::of(Kind::noMovie), doing, {});
    auto videoTracks = asset_->tracks(MediaType::video);
    if (videoTracks.empty())
        return logged(MediaError::of(Kind::noVideoTrack), doing, asset_->url());
    const AssetTrack& track = videoTracks.front();
    VideoDecoder decoder;
    if (auto opened = decoder.open(*asset_, track.trackID, 0, deadline); !opened)
        return logged(std::move(opened).error(), doing, asset_->url());
    decoder.seek(time);
    FramePtr chosen(av_frame_alloc());
    bool haveFrame = false;
    std::optional<MediaError> decodeError;
    for (;;) {
        if (expired(deadline)) return logged(MediaError::of(Kind::timedOut), doing, asset_->url());
        auto decoded = decoder.next();
        AVFrame* frame = decoded.valueOr(nullptr);
        if (!decoded) decodeError = std::move(decoded).error();
        if (!frame) break;
        MediaTime frameTime = decoder.timeOf(frame);
        if (haveFrame && frameTime.valid && time.valid && frameTime > time) break;
        av_frame_unref(chosen.get());
        av_frame_ref(chosen.get(), frame);
        haveFrame = true;
        if (!time.valid || (frameTime.valid && frameTime >= time)) break;
    }
    if (!haveFrame)
        return logged(decodeError ? *decodeError : MediaError::of(Kind::noPicture), doing,
                      asset_->url());

    // Only the linear part matters: the picture is placed at the origin of its bounding box.
    const AffineTransform transform = appliesPreferredTrackTransform
                                          ? orientationOf(track.preferredTransform)
                                          : AffineTransform{};
    Size natural{static_cast<double>(chosen->width), static_cast<double>(chosen->height)};
    Size shown = transform.applyToSize(natural);
    double scale = 1;
    if (maximumSize.width > 0 && maximumSize.height > 0 && shown.width > 0 && shown.height > 0)
        scale = std::min({1.0, maximumSize.width / shown.width, maximumSize.height / shown.height});
    int scaledWidth = std::max(1, static_cast<int>(std::lround(natural.width * scale)));
    int scaledHeight = std::max(1, static_cast<int>(std::lround(natural.height * scale)));
    BGRAConverter converter;
    auto scaled = converter.convert(chosen.get(), scaledWidth, scaledHeight);
    if (!scaled) return logged(MediaError::of(Kind::pictureConversion), doing, asset_->url());
    if (transform.isIdentity()) return scaled;

    // Turn (and mirror) by mapping each output pixel back into the scaled picture.
    double corners[4][2] = {{0, 0},
                            {double(scaledWidth), 0},
                            {0, double(scaledHeight)},
                            {double(scaledWidth), double(scaledHeight)}};
    double minX = 1e18, minY = 1e18, maxX = -1e18, maxY = -1e18;
    for (auto& p : corners) {
        double x = transform.a * p[0] + transform.c * p[1];
        double y = transform.b * p[0] + transform.d * p[1];
        minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y),
        maxY = std::max(maxY, y);
    }
    int outWidth = std::max(1, static_cast<int>(std::lround(maxX - minX)));
    int outHeight = std::max(1, static_cast<int>(std::lround(maxY - minY)));
    double det = transform.a * transform.d - transform.b * transform.c;
    if (std::fabs(det) < 1e-9)
        return logged(MediaError::of(Kind::invalidTransform), doing, asset_->url());
    auto out = std::make_shared<PixelBuffer>(outWidth, outHeight, PixelFormat::BGRA);
    for (int y = 0; y < outHeight; ++y) {
        uint8_t* row = out->data() + static_cast<size_t>(y) * out->stride();
        for (int x = 0; x < outWidth; ++x) {
            double px = x + 0.5 + minX, py = y + 0.5 + minY;
            double sx = (transform.d * px - transform.c * py) / det;
            double sy = (-transform.b * px + transform.a * py) / det;
            int ix = std::clamp(static_cast<int>(std::floor(sx)), 0, scaledWidth - 1);
            int iy = std::clamp(static_cast<int>(std::floor(sy)), 0, scaledHeight - 1);
            std::memcpy(row + x * 4,
                        scaled->data() + static_cast<size_t>(iy) * scaled->stride() + ix * 4, 4);
        }
    }
    return out;
}

}  // namespace zimlo::media
