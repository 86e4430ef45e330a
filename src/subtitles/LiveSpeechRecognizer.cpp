#include "subtitles/LiveSpeechRecognizer.h"

#include <algorithm>
#include <utility>

#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"

namespace zimlo {

std::string_view rawValue(Language language) {
    switch (language) {
        case Language::chinese:
            return "zh-CN";
        case Language::english:
            return "en-US";
    }
    return "";
}

std::optional<Language> languageFromRawValue(std::string_view raw) {
    if (raw == "zh-CN") return Language::chinese;
    if (raw == "en-US") return Language::english;
    return std::nullopt;
}

std::shared_ptr<LiveSpeechRecognizer> LiveSpeechRecognizer::create(Language language) {
    return create(speech::SpeechRecognizer::shared(std::string(rawValue(language))));
}

std::shared_ptr<LiveSpeechRecognizer> LiveSpeechRecognizer::create(
    std::shared_ptr<speech::SpeechRecognizer> recognizer, Clock clock) {
    return std::make_shared<LiveSpeechRecognizer>(Private{}, std::move(recognizer),
                                                  std::move(clock));
}

LiveSpeechRecognizer::LiveSpeechRecognizer(Private,
                                           std::shared_ptr<speech::SpeechRecognizer> recognizer,
                                           Clock clock)
    : recognizer_(std::move(recognizer)), clock_(std::move(clock)) {}

LiveSpeechRecognizer::~LiveSpeechRecognizer() {
    // Nobody is left to hear the results: end the audio so the tasks let go of their decoders.
    isRunning_ = false;
    std::vector<std::shared_ptr<Run>> runs = finishingRuns_;
    if (run_) runs.push_back(run_);
    for (const auto& run : runs) {
        if (run->request) run->request->endAudio();
        if (run->task) run->task->cancel();
    }
}

double LiveSpeechRecognizer::now() const {
    return clock_ ? clock_() : media::MonotonicClock::nowSeconds();
}

std::shared_ptr<speech::AudioBufferRecognitionRequest> LiveSpeechRecognizer::request() const {
    std::lock_guard lock(requestMutex_);
    return request_;
}

void LiveSpeechRecognizer::appendAudioSample(const media::AudioSample& sample) {
    if (auto current = request()) current->appendAudioSample(sample);
}

std::optional<double> LiveSpeechRecognizer::startDate() const {
    std::lock_guard lock(stateMutex_);
    if (!run_) return std::nullopt;
    return run_->startDate;
}

double LiveSpeechRecognizer::accumulatedOffset() const {
    std::lock_guard lock(stateMutex_);
    return run_ ? run_->accumulatedOffset : 0;
}

std::shared_ptr<speech::RecognitionTask> LiveSpeechRecognizer::task() const {
    std::lock_guard lock(stateMutex_);
    return run_ ? run_->task : nullptr;
}

std::optional<double> LiveSpeechRecognizer::recordingTime(media::MediaTime captured,
                                                          double startDate) {
    if (!captured.valid) return std::nullopt;
    return captured.seconds() - startDate;
}

bool LiveSpeechRecognizer::isFinishing() const {
    std::lock_guard lock(stateMutex_);
    return !finishingRuns_.empty() || (run_ && run_->finishingUntil);
}

void LiveSpeechRecognizer::start(double offset) {
    if (!recognizer_ || !recognizer_->isAvailable()) {
        reportUnavailable(recognizer_ ? "no speech model for " + recognizer_->locale() + " loads"
                                      : std::string("no speech recognizer"));
        return;
    }
    pendingPartial_.reset();
    std::lock_guard lock(stateMutex_);
    if (run_ && run_->finishingUntil) {
        // The finish goes on with the audio it has; what comes from now on is the new run's.
        finishingRuns_.push_back(run_);
        if (run_->request) run_->request->endAudio();
    } else if (run_ && run_->running) {
        // A start over a running task: end the old audio so that task cannot wait for it
        // forever; it starts no other.
        run_->running = false;
        if (run_->request) run_->request->endAudio();
    }
    auto run = std::make_shared<Run>();
    run->running = true;
    run->startDate = now() - offset;
    run->startOffset = offset < 0 ? 0 : offset;
    run->accumulatedOffset = run->startOffset;
    run_ = run;
    isRunning_ = true;
    startTaskLocked(run, false);
}

bool LiveSpeechRecognizer::reloadModel() {
    if (!recognizer_) return false;
    auto fresh = speech::SpeechRecognizer::shared(recognizer_->locale());
    std::lock_guard lock(stateMutex_);
    // A run's tasks restart on its recogniser; one may not change under them.
    if (!finishingRuns_.empty() || (run_ && (run_->running || run_->finishingUntil))) return false;
    recognizer_ = std::move(fresh);
    return true;
}

void LiveSpeechRecognizer::stop() {
    std::vector<std::shared_ptr<speech::AudioBufferRecognitionRequest>> ended;
    {
        std::lock_guard lock(stateMutex_);
        isRunning_ = false;
        std::vector<std::shared_ptr<Run>> runs = std::move(finishingRuns_);
        finishingRuns_.clear();
        if (run_) runs.push_back(run_);
        for (const auto& run : runs) {
            run->running = false;
            run->finishingUntil.reset();
            if (run->request) ended.push_back(run->request);
        }
        std::lock_guard requestLock(requestMutex_);
        request_.reset();
    }
    // The tasks stay to deliver their last results; not running, they start no others.
    for (const auto& request : ended) request->endAudio();
}

std::optional<double> LiveSpeechRecognizer::finish() {
    std::shared_ptr<speech::AudioBufferRecognitionRequest> current;
    double end = 0;
    double until = 0;
    {
        std::lock_guard lock(stateMutex_);
        if (!run_ || !run_->running) return std::nullopt;
        run_->running = false;
        isRunning_ = false;
        end = now();
        until = std::max(end - run_->startDate, run_->startOffset);
        run_->finishingUntil = until;
        current = run_->request;
    }
    // The request stays where audio goes: what was captured before the end may still be on its
    // way.
    if (current)
        current->endAudioAt(media::MediaTime::fromSeconds(end, media::MonotonicClock::kTimescale));
    return until;
}

void LiveSpeechRecognizer::startTaskLocked(const std::shared_ptr<Run>& run, bool continuing) {
    auto request = std::make_shared<speech::AudioBufferRecognitionRequest>();
    request->shouldReportPartialResults = true;
    if (run->request) {
        // Before the new request takes audio, so what the last task left comes first.
        if (continuing)
            run->request->handOverTo(request);
        else
            run->request->endAudio();
    }
    run->request = request;
    if (run == run_) {
        std::lock_guard requestLock(requestMutex_);
        request_ = request;
    }

    const uint64_t generation = ++run->generation;
    // Where the task lies on the recording timeline: when its first sample was captured; for
    // audio without times, the recording time reached when it began.
    const double fallbackOffset = run->accumulatedOffset;
    const double startDate = run->startDate;
    const double earliest = run->startOffset;
    std::weak_ptr<Run> weakRun = run;
    std::weak_ptr<speech::AudioBufferRecognitionRequest> weakRequest = request;
    // The task's place on the timeline as its results are placed, so no word lands before it.
    auto taskOffset = [fallbackOffset, startDate,
                       earliest](const std::shared_ptr<speech::AudioBufferRecognitionRequest>& r) {
        if (r) {
            if (auto t = recordingTime(r->firstPresentationTime(), startDate))
                return std::max(*t, earliest);
        }
        return fallbackOffset;
    };
    request->onProgress = [weakSelf = weak_from_this(), weakRun, generation, weakRequest,
                           taskOffset](double seconds) {
        if (auto self = weakSelf.lock())
            self->taskProgressed(weakRun, generation, taskOffset(weakRequest.lock()) + seconds);
    };
    auto handler =
        weakly(weak_from_this(), [weakRun, generation, weakRequest, offsetOf = taskOffset](
                                     LiveSpeechRecognizer& self,
                                     const std::optional<speech::RecognitionResult>& result,
                                     const std::optional<speech::RecognitionError>& error) {
            auto taskRequest = weakRequest.lock();
            const double taskOffset = offsetOf(taskRequest);
            bool isFinal = result && result->isFinal;
            if (result) {
                MainQueue::post(
                    weakly(self.weak_from_this(),
                           [text = result->bestTranscription.formattedString,
                            partial = isFinal ? Transcription{} : result->bestTranscription,
                            isFinal, taskOffset](LiveSpeechRecognizer& owner) {
                               if (isFinal)
                                   owner.pendingPartial_.reset();
                               else
                                   owner.pendingPartial_ = PendingPartial{partial, taskOffset};
                               if (owner.onText) owner.onText(text, isFinal);
                           }));
                if (isFinal) {
                    MainQueue::post(
                        weakly(self.weak_from_this(), [transcription = result->bestTranscription,
                                                       taskOffset](LiveSpeechRecognizer& owner) {
                            if (owner.onFinalTranscription)
                                owner.onFinalTranscription(transcription, taskOffset);
                        }));
                }
            }
            if (error || isFinal) {
                self.taskEnded(weakRun, generation,
                               error && error->code == speech::RecognitionError::Code::unavailable,
                               taskRequest);
            }
        });
    run->task = recognizer_->recognitionTask(request, std::move(handler));
}

void LiveSpeechRecognizer::taskEnded(
    const std::weak_ptr<Run>& weakRun, uint64_t generation, bool unavailable,
    const std::shared_ptr<speech::AudioBufferRecognitionRequest>& request) {
    auto run = weakRun.lock();
    if (!run) return;
    std::lock_guard lock(stateMutex_);
    // A task replaced by a later one of its run must not go on.
    if (generation != run->generation) return;
    run->task.reset();
    // A finish goes on while audio from before its end is left or may still come.
    const bool audioLeft = request && !request->isExhausted();
    if (!unavailable && (run->running || (run->finishingUntil && audioLeft))) {
        std::optional<double> reached;
        if (request) reached = recordingTime(request->decodedUntil(), run->startDate);
        run->accumulatedOffset =
            reached ? std::max(*reached, run->startOffset) : now() - run->startDate;
        startTaskLocked(run, true);  // replaces the request in one exchange: no append is lost
        if (reached)
            postSettled(run->finishingUntil ? std::min(run->accumulatedOffset, *run->finishingUntil)
                                            : run->accumulatedOffset);
        return;
    }
    // The run is over.
    run->request.reset();
    if (run == run_) {
        std::lock_guard requestLock(requestMutex_);
        request_.reset();
    }
    std::erase(finishingRuns_, run);
    if (run->finishingUntil) {
        postSettled(*run->finishingUntil);
        run->finishingUntil.reset();
    }
    if (run->running) {
        // The model failed to load after the start: say so once instead of restarting tasks
        // that would fail the same way.
        run->running = false;
        if (run == run_) isRunning_ = false;
        reportUnavailable("the speech model did not load");
    }
}

void LiveSpeechRecognizer::taskProgressed(const std::weak_ptr<Run>& weakRun, uint64_t generation,
                                          double time) {
    auto run = weakRun.lock();
    if (!run) return;
    std::lock_guard lock(stateMutex_);
    if (generation != run->generation || !(run->running || run->finishingUntil)) return;
    if (run->finishingUntil) time = std::min(time, *run->finishingUntil);
    // The run's own start is where a finish before a pause ends: that time is the finish's.
    if (time > run->startOffset) postSettled(time);
}

void LiveSpeechRecognizer::postSettled(double time) {
    MainQueue::post(weakly(weak_from_this(), [time](LiveSpeechRecognizer& owner) {
        if (owner.onSettled) owner.onSettled(time);
    }));
}

void LiveSpeechRecognizer::reportUnavailable(const std::string& reason) {
    ZIMLO_LOG_INFO("subtitles") << "live subtitles are off: " << reason;
    MainQueue::post(weakly(weak_from_this(), [](LiveSpeechRecognizer& owner) {
        if (owner.onText) owner.onText(std::string(kUnavailableText), true);
    }));
}

}  // namespace zimlo
