#include "platform/audio/ReconnectingCapture.h"

#include <chrono>

#include "platform/log/Log.h"
#include "platform/runtime/Threads.h"
#include "platform/runtime/WeakOwner.h"

namespace zimlo::audio {

namespace {
constexpr auto kWatchInterval = std::chrono::milliseconds(200);
}  // namespace

// What the capture threads touch: the sample handler and the error the stream reported.
// Outlives a stopped capture whose thread is still winding down.
struct ReconnectingCapture::Shared {
    PulseCapture::SampleHandler onSample;
    std::mutex mutex;  // guards: streamError
    std::optional<AudioError> streamError;
};

ReconnectingCapture::ReconnectingCapture(Starter starter, PulseCapture::SampleHandler onSample,
                                         StatusHandler onStatus, Timing timing)
    : starter_(std::move(starter)),
      onStatus_(std::move(onStatus)),
      timing_(timing),
      shared_(std::make_shared<Shared>()) {
    shared_->onSample = std::move(onSample);
    connect(false);
    watcher_ = startThread("pulse-reconnect", [this] { watch(); });
}

ReconnectingCapture::~ReconnectingCapture() { stop(); }

void ReconnectingCapture::stop() {
    // Two stops at once (the owner's and the destructor's, say) would both join the watcher;
    // the second waits here and then finds nothing left to do.
    std::lock_guard stopping(stopMutex_);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    if (capture_) capture_->stop();
    capture_.reset();
}

bool ReconnectingCapture::isConnected() const {
    std::lock_guard lock(mutex_);
    return !problem_;
}

std::optional<AudioError> ReconnectingCapture::problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

// Tries once; reports a change of state when `report`.
void ReconnectingCapture::connect(bool report) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->streamError.reset();
    }
    std::weak_ptr<Shared> weak = shared_;
    auto started = starter_(
        // Moved on, not copied: a lambda of its own rather than weakly().
        [weak](media::AudioSample sample) {
            auto shared = weak.lock();
            if (shared && shared->onSample) shared->onSample(std::move(sample));
        },
        weakly(weak, [](Shared& shared, const AudioError& error) {
            std::lock_guard lock(shared.mutex);
            shared.streamError = error;
        }));
    if (!started) {
        capture_.reset();
        if (report) {
            lose(started.error());
        } else {
            std::lock_guard lock(mutex_);
            problem_ = started.error();
        }
        return;
    }
    capture_ = std::move(started).value();
    bool restored = false;
    {
        std::lock_guard lock(mutex_);
        restored = problem_.has_value();
        problem_.reset();
    }
    if (restored && report) {
        ZIMLO_LOG_INFO("audio") << "sound flows again";
        if (onStatus_) onStatus_(std::nullopt);
    }
}

void ReconnectingCapture::lose(const AudioError& why) {
    if (capture_) capture_->stop();
    capture_.reset();
    bool reported = false;
    {
        std::lock_guard lock(mutex_);
        reported = problem_.has_value();
        if (!reported) problem_ = why;
    }
    if (reported) return;
    ZIMLO_LOG_WARN("audio") << "sound lost, trying to reconnect: " << why.what();
    if (onStatus_) onStatus_(why);
}

void ReconnectingCapture::watch() {
    using Clock = std::chrono::steady_clock;
    auto after = [](double seconds) {
        return Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    auto nextAttempt = after(timing_.retrySeconds);
    auto nextCheck = after(timing_.checkSeconds);
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, kWatchInterval, [&] { return stopping_; })) return;
        }
        if (!capture_) {
            if (Clock::now() < nextAttempt) continue;
            nextAttempt = after(timing_.retrySeconds);
            connect(true);
            nextCheck = after(timing_.checkSeconds);
            continue;
        }
        std::optional<AudioError> error;
        {
            std::lock_guard lock(shared_->mutex);
            error = shared_->streamError;
        }
        if (error) {
            lose(*error);  // the server went away, or dropped the stream
        } else if (Clock::now() >= nextCheck) {
            // A frozen server sends nothing and says nothing: only a question tells.
            if (!capture_->serverAnswers(timing_.answerSeconds))
                lose(AudioError(AudioError::Kind::serverNotAnswering));
            nextCheck = after(timing_.checkSeconds);
        }
        if (!capture_) nextAttempt = Clock::now();  // try again right away: a restart is quick
    }
}

}  // namespace zimlo::audio
