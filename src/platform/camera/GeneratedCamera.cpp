#include "platform/camera/GeneratedCamera.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/media/MonotonicClock.h"
#include "platform/runtime/Threads.h"

namespace zimlo::camera {

GeneratedCamera::GeneratedCamera() : GeneratedCamera(Options{}) {}

GeneratedCamera::GeneratedCamera(Options options) : options_(std::move(options)) {
    if (options_.formats.empty()) {
        options_.formats = {{640, 480, V4L2_PIX_FMT_YUYV, {{1, 30}}},
                            {1280, 720, V4L2_PIX_FMT_YUYV, {{1, 30}}}};
    }
}

GeneratedCamera::~GeneratedCamera() { close(); }

Result<void, CameraError> GeneratedCamera::open() {
    if (options_.failsToOpen)
        return fail(CameraError(CameraError::Kind::cannotOpen, uniqueID(), EACCES));
    std::lock_guard lock(mutex_);
    opened_ = true;
    return {};
}

Result<void, CameraError> GeneratedCamera::setActiveFormat(size_t index, double framesPerSecond) {
    std::lock_guard lock(mutex_);
    if (!opened_) return fail(CameraError(CameraError::Kind::notOpen));
    if (index >= options_.formats.size() || !(framesPerSecond > 0))
        return fail(CameraError(CameraError::Kind::unsupportedFormat));
    active_ = CameraFormatChoice{index, framesPerSecond};
    return {};
}

std::optional<CameraFormatChoice> GeneratedCamera::activeFormat() const {
    std::lock_guard lock(mutex_);
    return active_;
}

Result<void, CameraError> GeneratedCamera::startStreaming(FrameHandler onFrame) {
    // A loop stopped from its own frame handler is collected before another starts.
    std::thread previous = takeFinishedThread();
    if (previous.joinable()) previous.join();
    std::lock_guard lock(mutex_);
    if (streaming_) return {};
    if (!opened_) return fail(CameraError(CameraError::Kind::notOpen));
    if (!active_)
        active_ = CameraFormatChoice{0, options_.formats.front().frameRates.front().maximum};
    onFrame_ = std::move(onFrame);
    streaming_ = true;
    thread_ = startThread("generated-cam", [this] { run(); });
    return {};
}

void GeneratedCamera::stopStreaming() {
    {
        std::lock_guard lock(mutex_);
        if (!streaming_) return;
        streaming_ = false;
    }
    wake_.notify_all();
    std::thread finished = takeFinishedThread();
    if (finished.joinable()) finished.join();
    std::lock_guard lock(mutex_);
    onFrame_ = nullptr;
}

void GeneratedCamera::close() {
    stopStreaming();
    std::thread finished = takeFinishedThread();
    if (finished.joinable()) finished.join();
    std::lock_guard lock(mutex_);
    opened_ = false;
}

// thread_ is taken out under the lock and joined outside it: a concurrent start or stop must
// not see it half moved, and the loop needs the lock to end. The frame thread itself cannot
// join itself: it stays until the next start or close collects it.
std::thread GeneratedCamera::takeFinishedThread() {
    std::lock_guard lock(mutex_);
    if (streaming_ || !thread_.joinable() || thread_.get_id() == std::this_thread::get_id())
        return {};
    return std::move(thread_);
}

void GeneratedCamera::run() {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now();
    int64_t index = 0;
    for (;;) {
        int width, height;
        double rate;
        FrameHandler handler;
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, next, [this] { return !streaming_; })) return;
            const auto& format = options_.formats[active_->formatIndex];
            width = format.width;
            height = format.height;
            rate = active_->frameRate;
            handler = onFrame_;
        }
        // The picture is what the camera saw at this instant, and it is stamped with it: a
        // flash shows in the frames whose stamps fall in it, however long drawing takes.
        const media::MediaTime instant = media::MonotonicClock::now();
        std::shared_ptr<media::PixelBuffer> picture;
        if (options_.flashes && options_.flashes->cover(instant)) {
            picture = drawFlash(width, height);
            ++index;
        } else {
            picture = drawFrame(width, height, index++, rate, options_.backgroundBGRA);
            if (mirrored_.load()) mirrorHorizontally(*picture);
        }
        media::VideoSample sample;
        sample.pixels = std::move(picture);
        sample.presentationTime = instant;
        if (handler) handler(std::move(sample));
        delivered_.fetch_add(1);
        next += std::chrono::nanoseconds(static_cast<int64_t>(1e9 / rate));
        // After a stall, continue from now rather than bursting to catch up.
        if (next < Clock::now()) next = Clock::now();
    }
}

bool GeneratedCamera::Flashes::cover(media::MediaTime instant) const {
    const auto ns = [](media::MediaTime t) {
        return t.convertedTo(media::MonotonicClock::kTimescale).value;
    };
    if (!instant.valid || !first.valid || !period.valid || !length.valid || ns(period) <= 0 ||
        instant < first)
        return false;
    return (ns(instant) - ns(first)) % ns(period) < ns(length);
}

std::shared_ptr<media::PixelBuffer> GeneratedCamera::drawFlash(int width, int height) {
    auto picture = std::make_shared<media::PixelBuffer>(width, height, media::PixelFormat::BGRA);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(picture->data() +
                                                static_cast<size_t>(y) * picture->stride());
        std::fill(row, row + width, 0xffffffffu);
    }
    return picture;
}

std::shared_ptr<media::PixelBuffer> GeneratedCamera::drawFrame(int width, int height, int64_t index,
                                                               double rate,
                                                               uint32_t backgroundBGRA) {
    auto picture = std::make_shared<media::PixelBuffer>(width, height, media::PixelFormat::BGRA);
    const int barWidth = std::max(2, width / 16);
    const int framesPerSweep = std::max(1, static_cast<int>(std::lround(rate)));
    const int barX = static_cast<int>((index % framesPerSweep) * (width - barWidth) /
                                      std::max(1, framesPerSweep - 1));
    const int marker = std::max(2, std::min(width, height) / 8);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(picture->data() +
                                                static_cast<size_t>(y) * picture->stride());
        for (int x = 0; x < width; ++x) row[x] = backgroundBGRA;
        for (int x = barX; x < barX + barWidth && x < width; ++x) row[x] = 0xffffffff;
        if (y < marker)
            for (int x = 0; x < marker; ++x) row[x] = 0xffff0000;  // red (B,G,R,A = 00,00,ff,ff)
    }
    return picture;
}

}  // namespace zimlo::camera
