#include "platform/x11/ScreenStream.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/Result.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/Threads.h"
#include "platform/x11/FrameGrabber.h"
#include "platform/x11/X11Connection.h"

namespace zimlo::x11 {

struct ScreenStream::Shared {
    Shared() : wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Shared() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    // Wakes the capture thread from a still screen's sleep (-1: no such sleep).
    void poke() const {
        if (wakeFd < 0) return;
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof(one));
    }

    std::mutex mutex;  // guards: configuration, stopRequested, running, thread, onStop
    std::condition_variable wake;
    const int wakeFd;
    ScreenStreamConfiguration configuration;
    bool stopRequested = false;
    bool running = false;
    std::thread thread;

    std::string displayName;
    bool hasDisplayName = false;

    FrameHandler onFrame;
    SerialQueue* queue = nullptr;
    StopHandler onStop;

    // Held while a frame is handed to the handler, so that stopping can wait for it.
    std::recursive_mutex deliveryMutex;
    std::atomic<bool> delivering{false};
    std::atomic<int> pending{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> late{0};  // of the dropped: ticks missed by a capture fallen behind
    std::atomic<uint64_t> delivered{0};
};

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds intervalOf(const ScreenStreamConfiguration& c) {
    double seconds = c.minimumFrameInterval.valid ? c.minimumFrameInterval.seconds() : 1.0 / 30;
    seconds = std::clamp(seconds, 1.0 / 240, 10.0);
    return std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9));
}

// Output buffers are reused once nobody holds them any more.
class BufferPool {
  public:
    std::shared_ptr<media::PixelBuffer> take(int width, int height, media::PixelFormat format,
                                             size_t keep) {
        auto fits = [&](const media::PixelBuffer& b) {
            return b.width() == width && b.height() == height && b.format() == format;
        };
        for (auto& buffer : buffers_) {
            if (buffer.use_count() == 1 && fits(*buffer)) {
                // Pairs with the release in the last holder's reference drop.
                std::atomic_thread_fence(std::memory_order_acquire);
                return buffer;
            }
        }
        auto fresh = std::make_shared<media::PixelBuffer>(width, height, format);
        std::erase_if(buffers_, [&](const auto& b) { return b.use_count() == 1 && !fits(*b); });
        if (buffers_.size() < keep) buffers_.push_back(fresh);
        return fresh;
    }

  private:
    std::vector<std::shared_ptr<media::PixelBuffer>> buffers_;
};

void deliver(const std::shared_ptr<ScreenStream::Shared>& shared, media::VideoSample sample,
             int queueDepth) {
    if (!shared->queue) {
        std::lock_guard lock(shared->deliveryMutex);
        if (!shared->delivering.load()) return;
        shared->delivered.fetch_add(1);
        if (shared->onFrame) shared->onFrame(sample);
        return;
    }
    if (shared->pending.load() >= std::max(1, queueDepth)) {
        shared->dropped.fetch_add(1);
        return;
    }
    shared->pending.fetch_add(1);
    shared->queue->async([shared, sample = std::move(sample)] {
        {
            std::lock_guard lock(shared->deliveryMutex);
            if (shared->delivering.load()) {
                shared->delivered.fetch_add(1);
                if (shared->onFrame) shared->onFrame(sample);
            }
        }
        shared->pending.fetch_sub(1);
    });
}

// NV12 where asked for and the size allows it (chroma covers 2 × 2 pixels), else BGRA.
media::PixelFormat deliveredFormat(const ScreenStreamConfiguration& config, int width, int height) {
    return config.pixelFormat == media::PixelFormat::NV12VideoRange && width % 2 == 0 &&
                   height % 2 == 0
               ? media::PixelFormat::NV12VideoRange
               : media::PixelFormat::BGRA;
}

// The X connection and the grabber of one stream (which goes first).
struct Grab {
    std::unique_ptr<Connection> connection;
    std::unique_ptr<FrameGrabber> grabber;
};

// Opens the stream's connection and grabber; when they cannot be had, the stream has ended.
Result<Grab, screen::CaptureError> openGrab(const std::shared_ptr<ScreenStream::Shared>& shared,
                                            const ContentFilter& filter,
                                            const ScreenStreamConfiguration& config) {
    Grab grab;
    try {
        grab.connection = std::make_unique<Connection>(
            shared->hasDisplayName ? shared->displayName.c_str() : nullptr);
        grab.grabber = std::make_unique<FrameGrabber>(grab.connection->get(), filter,
                                                      config.excludesCurrentProcessWindows);
        return grab;
    } catch (const std::exception& error) {
        grab.grabber.reset();
        grab.connection.reset();
        {
            std::lock_guard lock(shared->mutex);
            shared->running = false;
        }
        shared->delivering.store(false);
        auto* known = dynamic_cast<const screen::CaptureError*>(&error);
        screen::CaptureError failure =
            known ? *known : screen::CaptureError(screen::CaptureError::Kind::other, error.what());
        ZIMLO_LOG_WARN("x11") << "starting the screen stream: " << failure.what();
        return fail(std::move(failure));
    }
}

// The stream has stopped: it says so, and why when it was not asked to.
void endStream(const std::shared_ptr<ScreenStream::Shared>& shared,
               const std::optional<screen::CaptureError>& stopError) {
    // The handler is copied under the lock: setStopHandler may replace it meanwhile. It runs
    // outside, free to stop or restart the stream.
    ScreenStream::StopHandler onStop;
    bool notify = false;
    {
        std::lock_guard lock(shared->mutex);
        shared->running = false;
        notify = stopError.has_value() && !shared->stopRequested;
        if (notify) onStop = shared->onStop;
    }
    if (notify) {
        {
            std::lock_guard lock(shared->deliveryMutex);
            shared->delivering.store(false);
        }
        if (onStop) onStop(*stopError);
    }
}

void captureLoop(const std::shared_ptr<ScreenStream::Shared>& shared, const ContentFilter& filter,
                 const ScreenStream::Completion& completion) {
    ScreenStreamConfiguration config;
    {
        std::lock_guard lock(shared->mutex);
        config = shared->configuration;
    }
    auto opened = openGrab(shared, filter, config);
    if (!opened) {
        if (completion) completion(opened.error());
        return;
    }
    if (completion) completion(std::nullopt);
    std::optional<Grab> grab(std::move(opened).value());
    FrameGrabber* grabber = grab->grabber.get();

    BufferPool pool;
    std::shared_ptr<const media::PixelBuffer> last;
    media::MediaTime lastComplete = media::MediaTime::invalid();
    auto interval = intervalOf(config);
    auto next = Clock::now();
    auto lastCompleteAt = next;
    bool wasChanging = false;
    bool still = false;  // the last tick found nothing new
    std::optional<screen::CaptureError> stopError;

    while (true) {
        if (still && shared->wakeFd >= 0) {
            // A still screen: instead of waking at every tick for nothing, sleep until the X
            // server has news (damage, pointer motion), a request comes, the picture is due
            // again to cover the timeline, or the grabber must look anyway; then carry on at
            // the first tick after.
            const auto until = std::min(lastCompleteAt + std::chrono::seconds(1),
                                        grabber->nextLookAt(config.showsCursor));
            if (until > next) {
                grabber->sleepUntilEvent(shared->wakeFd, until);
                uint64_t pokes = 0;
                [[maybe_unused]] auto drained = ::read(shared->wakeFd, &pokes, sizeof(pokes));
                const auto woke = Clock::now();
                if (woke > next) next += interval * ((woke - next) / interval + 1);
            }
        }
        {
            std::unique_lock lock(shared->mutex);
            shared->wake.wait_until(lock, next, [&] { return shared->stopRequested; });
            if (shared->stopRequested) break;
            config = shared->configuration;
        }
        interval = intervalOf(config);
        const int width = std::max(2, config.width), height = std::max(2, config.height);

        bool changed = grabber->poll(config.showsCursor);
        // Content that changed at the last tick mostly goes on changing at its own pace, which
        // drifts against ours: a drawing that lands just after this tick is waited for (up to
        // half a tick) instead of leaving a hole in the movie until the next one.
        if (!changed && wasChanging)
            changed = grabber->waitForChange(config.showsCursor, interval / 2);
        wasChanging = changed;
        if (grabber->targetGone()) {
            stopError = screen::CaptureError(screen::CaptureError::Kind::windowClosed,
                                             "window " + std::to_string(filter.windowId));
            ZIMLO_LOG_WARN("x11") << "recording: " << stopError->what();
            break;
        }
        media::MediaTime now = media::MonotonicClock::now();
        const auto format = deliveredFormat(config, width, height);
        bool sizeChanged =
            !last || last->width() != width || last->height() != height || last->format() != format;
        media::VideoSample sample;
        sample.presentationTime = now;
        if (changed || sizeChanged) {
            grabber->grab(config.showsCursor);
            auto buffer = pool.take(width, height, format,
                                    static_cast<size_t>(std::max(2, config.queueDepth)) + 2);
            grabber->render(*buffer, true);
            last = buffer;
            sample.status = media::FrameStatus::complete;
            lastComplete = now;
            lastCompleteAt = Clock::now();
        } else if (!lastComplete.valid || (now - lastComplete).seconds() >= 1.0) {
            // Still content: one complete frame a second keeps a recording's timeline covered.
            sample.status = media::FrameStatus::complete;
            lastComplete = now;
            lastCompleteAt = Clock::now();
        }
        still = !changed && !sizeChanged;
        // A tick with nothing new ends here: such a frame is neither shown, measured nor
        // recorded, and handing it on would wake the consumer for nothing.
        if (sample.status) {
            sample.pixels = last;
            deliver(shared, std::move(sample), config.queueDepth);
        }

        next += interval;
        auto after = Clock::now();
        if (after > next) {
            // Fell behind (a slow grab or a busy machine): skip the ticks that were missed.
            auto missed = (after - next) / interval;
            if (missed > 0) {
                shared->dropped.fetch_add(static_cast<uint64_t>(missed));
                shared->late.fetch_add(static_cast<uint64_t>(missed));
                next += interval * missed;
            }
        }
    }

    grab.reset();
    endStream(shared, stopError);
}

}  // namespace

ScreenStream::ScreenStream(ContentFilter filter, ScreenStreamConfiguration configuration,
                           const char* displayName)
    : filter_(std::move(filter)), shared_(std::make_shared<Shared>()) {
    shared_->configuration = std::move(configuration);
    if (displayName) {
        shared_->displayName = displayName;
        shared_->hasDisplayName = true;
    }
}

ScreenStream::~ScreenStream() { stopCapture(); }

void ScreenStream::setFrameHandler(FrameHandler handler, SerialQueue* queue) {
    std::lock_guard lock(shared_->deliveryMutex);
    shared_->onFrame = std::move(handler);
    shared_->queue = queue;
}

void ScreenStream::setStopHandler(StopHandler handler) {
    std::lock_guard lock(shared_->mutex);
    shared_->onStop = std::move(handler);
}

void ScreenStream::startCapture(Completion completion) {
    std::thread previous;
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->running) {
            if (completion) completion(std::nullopt);
            return;
        }
        // A thread that ended on its own (error) is collected before a new start.
        previous = std::move(shared_->thread);
    }
    if (previous.joinable()) previous.join();
    std::lock_guard lock(shared_->mutex);
    shared_->running = true;
    shared_->stopRequested = false;
    shared_->delivering.store(true);
    shared_->thread = startThread("x11-capture", [shared = shared_, filter = filter_,
                                                  completion = std::move(completion)]() mutable {
        captureLoop(shared, filter, completion);
    });
}

void ScreenStream::stopCapture(Completion completion) {
    std::thread thread;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopRequested = true;
        thread = std::move(shared_->thread);
    }
    shared_->wake.notify_all();
    shared_->poke();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            letGo(
                std::move(thread));  // stopped from its own handler; the loop ends after this frame
        } else {
            thread.join();
        }
    }
    {
        // Waits for a frame being handled on another thread.
        std::lock_guard lock(shared_->deliveryMutex);
        shared_->delivering.store(false);
    }
    if (completion) completion(std::nullopt);
}

void ScreenStream::updateConfiguration(const ScreenStreamConfiguration& configuration) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->configuration = configuration;
    }
    shared_->poke();  // a still screen's sleep ends: the new settings apply at the next tick
}

ScreenStreamConfiguration ScreenStream::configuration() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->configuration;
}

bool ScreenStream::isRunning() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->running;
}

uint64_t ScreenStream::droppedFrameCount() const { return shared_->dropped.load(); }
uint64_t ScreenStream::lateFrameCount() const { return shared_->late.load(); }
uint64_t ScreenStream::deliveredFrameCount() const { return shared_->delivered.load(); }

Result<std::shared_ptr<media::PixelBuffer>, screen::CaptureError> captureImage(
    const ContentFilter& filter, int width, int height, bool showsCursor, bool preservesAspectRatio,
    const char* displayName) {
    // The connection and grabber cannot be built without a display or a target to capture.
    std::optional<Connection> connection;
    std::optional<FrameGrabber> built;
    try {
        connection.emplace(displayName);
        built.emplace(connection->get(), filter, true);
    } catch (const screen::CaptureError& error) {
        return fail(error);
    }
    FrameGrabber& grabber = *built;
    grabber.poll(showsCursor);
    using Kind = screen::CaptureError::Kind;
    if (grabber.targetGone()) return fail(screen::CaptureError(Kind::windowClosed));
    if (!grabber.grab(showsCursor)) return fail(screen::CaptureError(Kind::windowNotVisible));
    if (grabber.justRedirected()) {
        // Windows under ours were just given pixmaps of their own; let their owners repaint.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        grabber.poll(showsCursor);
        grabber.grab(showsCursor);
    }
    auto image = std::make_shared<media::PixelBuffer>(std::max(1, width), std::max(1, height),
                                                      media::PixelFormat::BGRA);
    grabber.render(*image, preservesAspectRatio);
    return image;
}

}  // namespace zimlo::x11
