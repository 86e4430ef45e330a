#pragma once

// Inside the media readers: decoded frames into the pictures the readers hand out (NV12 copied
// as it is, anything else converted to BGRA).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/media/AssetReader.h"
#include "platform/media/FFmpegSupport.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media::detail {

// The matrix a decoded frame's YUV is in; untagged pictures are taken as HD (BT.709) from 720
// rows up and as SD (BT.601) below.
inline int colourMatrixOf(const AVFrame* frame) {
    return frame->colorspace == AVCOL_SPC_UNSPECIFIED
               ? (frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601)
               : static_cast<int>(frame->colorspace);
}

// Copies 8-bit 4:2:0 BT.709 video-range frames into NV12 buffers as they are (no colour
// conversion). Buffers come back to a small pool when their last user lets go, so a long run
// neither allocates nor clears a picture per frame.
class NV12Copier {
  public:
    static bool accepts(const AVFrame* frame) {
        const auto format = static_cast<AVPixelFormat>(frame->format);
        return (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_NV12) &&
               frame->color_range != AVCOL_RANGE_JPEG && colourMatrixOf(frame) == SWS_CS_ITU709 &&
               frame->width > 0 && frame->height > 0;
    }

    std::shared_ptr<PixelBuffer> copy(const AVFrame* frame) {
        auto pixels = take(frame->width, frame->height);
        if (!pixels) return nullptr;
        const int w = frame->width;
        const int h = frame->height;
        for (int y = 0; y < h; ++y)
            std::memcpy(pixels->data(0) + static_cast<size_t>(y) * pixels->stride(0),
                        frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0], w);
        const int cw = (w + 1) / 2;
        const int ch = (h + 1) / 2;
        for (int y = 0; y < ch; ++y) {
            uint8_t* out = pixels->data(1) + static_cast<size_t>(y) * pixels->stride(1);
            if (frame->format == AV_PIX_FMT_NV12) {
                std::memcpy(out, frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1],
                            2 * static_cast<size_t>(cw));
                continue;
            }
            const uint8_t* u = frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1];
            const uint8_t* v = frame->data[2] + static_cast<ptrdiff_t>(y) * frame->linesize[2];
            int x = 0;
#ifdef __SSE2__
            for (; x + 16 <= cw; x += 16) {
                const __m128i us = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x));
                const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x),
                                 _mm_unpacklo_epi8(us, vs));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x + 16),
                                 _mm_unpackhi_epi8(us, vs));
            }
#endif
            for (; x < cw; ++x) {
                out[2 * x] = u[x];
                out[2 * x + 1] = v[x];
            }
        }
        return pixels;
    }

  private:
    static constexpr size_t kPoolSize = 16;
    struct Pool {
        std::mutex mutex;  // guards: free
        std::vector<std::unique_ptr<PixelBuffer>> free;
    };

    std::shared_ptr<PixelBuffer> take(int width, int height) {
        std::unique_ptr<PixelBuffer> buffer;
        {
            std::lock_guard lock(pool_->mutex);
            while (!pool_->free.empty() && !buffer) {
                buffer = std::move(pool_->free.back());
                pool_->free.pop_back();
                if (buffer->width() != width || buffer->height() != height)
                    buffer.reset();  // size changed
            }
        }
        if (!buffer) {
            try {
                buffer = std::make_unique<PixelBuffer>(width, height, PixelFormat::NV12VideoRange);
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        // The pool outlives the reader while pictures are out.
        return std::shared_ptr<PixelBuffer>(buffer.release(),
                                            [pool = pool_](PixelBuffer* returned) {
                                                std::unique_ptr<PixelBuffer> owned(returned);
                                                std::lock_guard lock(pool->mutex);
                                                if (pool->free.size() < kPoolSize)
                                                    pool->free.push_back(std::move(owned));
                                            });
    }

    std::shared_ptr<Pool> pool_ = std::make_shared<Pool>();
};

// Converts decoded frames to BGRA of a given size.
class BGRAConverter {
  public:
    ~BGRAConverter() { sws_freeContext(scaler_); }

    std::shared_ptr<PixelBuffer> convert(const AVFrame* frame, int width, int height) {
        auto format = static_cast<AVPixelFormat>(frame->format);
        scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, format, width, height,
                                       AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!scaler_) return nullptr;
        const int* coefficients = sws_getCoefficients(colourMatrixOf(frame));
        int sourceRange = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
        if (format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
            format == AV_PIX_FMT_YUVJ444P)
            sourceRange = 1;
        sws_setColorspaceDetails(scaler_, coefficients, sourceRange, coefficients, 1, 0, 1 << 16,
                                 1 << 16);
        auto pixels = std::make_shared<PixelBuffer>(width, height, PixelFormat::BGRA);
        uint8_t* planes[4] = {pixels->data(0), nullptr, nullptr, nullptr};
        int strides[4] = {pixels->stride(0), 0, 0, 0};
        sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, planes, strides);
        return pixels;
    }

  private:
    SwsContext* scaler_ = nullptr;
};

}  // namespace zimlo::media::detail
