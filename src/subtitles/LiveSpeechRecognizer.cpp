#include "subtitles/LiveSpeechRecognizer.h"

#include <utility>

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
    // Nobody is left to hear the results: end the audio so the task lets go of its decoder.
    isRunning_ = false;
    if (request_) request_->endAudio();
    if (task_) task_->cancel();
}

double LiveSpeechRecognizer::now() const {
    return clock_ ? clock_() : media::MonotonicClock::nowSeconds();
}

std::shared_ptr<speech::AudioBufferRecognitionRequest> LiveSpeechRecognizer::request() const {
    std::lock_guard lock(requestMutex_);
    return request_;
}

void LiveSpeechRecognizer::appendAudioSampleBuffer(const media::AudioSample& sample) {
    if (auto current = request()) current->appendAudioSampleBuffer(sample);
}

std::optional<double> LiveSpeechRecognizer::startDate() const {
    std::lock_guard lock(stateMutex_);
    return startDate_;
}

double LiveSpeechRecognizer::accumulatedOffset() const {
    std::lock_guard lock(stateMutex_);
    return accumulatedOffset_;
}

std::shared_ptr<speech::RecognitionTask> LiveSpeechRecognizer::task() const {
    std::lock_guard lock(stateMutex_);
    return task_;
}

void LiveSpeechRecognizer::start(double offset) {
    if (!recognizer_ || !recognizer_->isAvailable()) {
        reportUnavailable();
        return;
    }
    uint64_t generation = 0;
    double taskOffset = 0;
    {
        std::lock_guard lock(stateMutex_);
        isRunning_ = true;
        startDate_ = now() - offset;
        accumulatedOffset_ = offset < 0 ? 0 : offset;
        generation = startTaskLocked();
        taskOffset = accumulatedOffset_;
    }
    // Called on the main thread: the task counts as open before anything can look.
    taskOpened(generation, taskOffset);
}

std::optional<double> LiveSpeechRecognizer::pendingSince() const {
    std::optional<double> earliest;
    for (const auto& [generation, offset] : openTasks_)
        if (!earliest || offset < *earliest) earliest = offset;
    return earliest;
}

void LiveSpeechRecognizer::taskOpened(uint64_t generation, double offset) {
    openTasks_[generation] = offset;
}

void LiveSpeechRecognizer::taskClosed(uint64_t generation) { openTasks_.erase(generation); }

void LiveSpeechRecognizer::stop() {
    std::shared_ptr<speech::AudioBufferRecognitionRequest> ended;
    {
        std::lock_guard lock(stateMutex_);
        isRunning_ = false;
        std::lock_guard requestLock(requestMutex_);
        ended.swap(request_);
    }
    // The task stays to deliver its last result; not running, it starts no other.
    if (ended) ended->endAudio();
}

uint64_t LiveSpeechRecognizer::startTaskLocked() {
    auto request = std::make_shared<speech::AudioBufferRecognitionRequest>();
    request->shouldReportPartialResults = true;
    std::shared_ptr<speech::AudioBufferRecognitionRequest> previous;
    {
        std::lock_guard requestLock(requestMutex_);
        previous = std::exchange(request_, request);
    }
    // A start over a running task: end the old audio so that task cannot wait for it forever.
    if (previous) previous->endAudio();

    const uint64_t generation = ++generation_;
    const double taskOffset = accumulatedOffset_;
    auto handler = weakly(
        weak_from_this(),
        [generation, taskOffset](LiveSpeechRecognizer& self,
                                 const std::optional<speech::RecognitionResult>& result,
                                 const std::optional<speech::RecognitionError>& error) {
            bool isFinal = result && result->isFinal;
            if (result) {
                MainQueue::post(
                    weakly(self.weak_from_this(), [text = result->bestTranscription.formattedString,
                                                   isFinal](LiveSpeechRecognizer& owner) {
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
                self.taskEnded(generation,
                               error && error->code == speech::RecognitionError::Code::unavailable);
            }
        });
    task_ = recognizer_->recognitionTask(request, std::move(handler));
    return generation;
}

void LiveSpeechRecognizer::taskEnded(uint64_t generation, bool unavailable) {
    std::lock_guard lock(stateMutex_);
    // Posted after the task's final result, so the main thread has that result before it no
    // longer waits for the task; a restart's task is open in the same turn.
    auto closed = [this, generation](std::optional<std::pair<uint64_t, double>> next) {
        MainQueue::post(weakly(weak_from_this(), [generation, next](LiveSpeechRecognizer& self) {
            self.taskClosed(generation);
            if (next) self.taskOpened(next->first, next->second);
        }));
    };
    // A task replaced by a later start (after a stop) must not restart anything.
    if (generation != generation_) {
        closed(std::nullopt);
        return;
    }
    task_.reset();
    if (isRunning_ && !unavailable) {
        if (startDate_) accumulatedOffset_ = now() - *startDate_;
        // Replaces the request in one exchange: no append falls in a gap.
        const uint64_t next = startTaskLocked();
        closed(std::make_pair(next, accumulatedOffset_));
        return;
    }
    closed(std::nullopt);
    {
        std::lock_guard requestLock(requestMutex_);
        request_.reset();
    }
    if (isRunning_) {
        // The model failed to load after the start: say so once instead of restarting tasks
        // that would fail the same way.
        isRunning_ = false;
        reportUnavailable();
    }
}

void LiveSpeechRecognizer::reportUnavailable() {
    MainQueue::post(weakly(weak_from_this(), [](LiveSpeechRecognizer& owner) {
        if (owner.onText) owner.onText(std::string(kUnavailableText), true);
    }));
}

}  // namespace zimlo
