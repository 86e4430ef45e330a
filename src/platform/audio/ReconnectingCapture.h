#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/audio/PulseCapture.h"

namespace zimlo::audio {

// A recording that outlives its sound server. PipeWire and PulseAudio restart by themselves on a
// desktop; when the server dies, drops the stream or stops delivering (frozen), the capture
// says so, keeps trying to connect and says so again when sound flows once more. Samples keep the
// monotonic clock's stamps throughout, so whoever writes them fills the gap with silence. With no
// server at the start it keeps trying too.
class ReconnectingCapture {
  public:
    // Opens a stream (PulseCapture::startSystemAudio, say), or says why it cannot.
    using Starter = std::function<PulseCapture::Started(PulseCapture::SampleHandler,
                                                        PulseCapture::ErrorHandler)>;
    // On the supervising thread: the problem while sound is lost, none once it flows again.
    using StatusHandler = std::function<void(std::optional<AudioError> problem)>;

    struct Timing {
        double checkSeconds = 1.0;   // how often the server is asked whether it still answers
        double answerSeconds = 2.0;  // no answer within this: the server is taken as frozen
        double retrySeconds = 1.0;   // between attempts to connect
    };

    // Connects at once (on the calling thread) and then watches on a thread of its own. How the
    // first attempt went is read from problem(); `onStatus` reports the changes after it.
    ReconnectingCapture(Starter starter, PulseCapture::SampleHandler onSample,
                        StatusHandler onStatus, Timing timing);
    ReconnectingCapture(Starter starter, PulseCapture::SampleHandler onSample,
                        StatusHandler onStatus)
        : ReconnectingCapture(std::move(starter), std::move(onSample), std::move(onStatus),
                              Timing{}) {}
    ~ReconnectingCapture();
    ReconnectingCapture(const ReconnectingCapture&) = delete;
    ReconnectingCapture& operator=(const ReconnectingCapture&) = delete;

    // Stops recording and watching; no handler runs after it returns. Safe to call twice.
    void stop();
    // Sound is flowing (or at least the stream is open and not yet stalled).
    bool isConnected() const;
    // Why there is no sound now; none while connected.
    std::optional<AudioError> problem() const;

  private:
    struct Shared;
    void connect(bool report);
    void watch();
    void lose(const AudioError& why);

    Starter starter_;
    StatusHandler onStatus_;
    Timing timing_;
    std::shared_ptr<Shared> shared_;         // reached from the capture threads' handlers
    std::unique_ptr<PulseCapture> capture_;  // supervising thread (and constructor) only

    // guards: watcher_'s join and capture_ once the watcher is gone (stop and the destructor)
    std::mutex stopMutex_;

    mutable std::mutex mutex_;  // guards: stopping_, problem_
    std::condition_variable wake_;
    bool stopping_ = false;
    std::optional<AudioError> problem_;
    std::thread watcher_;
};

}  // namespace zimlo::audio
