#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/media/MediaSample.h"
#include "platform/speech/SpeechRecognizer.h"
#include "platform/speech/Transcription.h"

namespace zimlo {

enum class Language {
    chinese,  // "zh-CN"
    english,  // "en-US"
};

std::string_view rawValue(Language language);
std::optional<Language> languageFromRawValue(std::string_view raw);

// Turns the microphone audio of a running recording into text, one streaming recognition task
// at a time, starting a fresh task after each final result or error for as long as it runs.
// A task that ends with an utterance hands the audio it did not decode to the next one, so a
// recogniser that fell behind loses nothing. Times handed out are seconds on the recording
// timeline; a task's place on it is when its first sample was captured, so the samples must be
// stamped on the recogniser's clock (those without a time count from when the task began).
//
// Start, stop and finish are called on the main thread; audio is appended from any thread
// through the current `request()`. Callbacks arrive on the main thread.
class LiveSpeechRecognizer : public std::enable_shared_from_this<LiveSpeechRecognizer> {
    struct Private {};

  public:
    using Clock = std::function<double()>;  // seconds on any steady scale

    static std::shared_ptr<LiveSpeechRecognizer> create(Language language);
    // With a given recogniser (a model elsewhere) and, for producers that are not bound to real
    // time, a clock that says how far the recording has got.
    static std::shared_ptr<LiveSpeechRecognizer> create(
        std::shared_ptr<speech::SpeechRecognizer> recognizer, Clock clock = {});

    LiveSpeechRecognizer(Private, std::shared_ptr<speech::SpeechRecognizer> recognizer,
                         Clock clock);
    ~LiveSpeechRecognizer();
    LiveSpeechRecognizer(const LiveSpeechRecognizer&) = delete;
    LiveSpeechRecognizer& operator=(const LiveSpeechRecognizer&) = delete;

    std::function<void(const std::string& text, bool isFinal)> onText;
    std::function<void(const Transcription& transcription, double offset)> onFinalTranscription;
    // Every final transcription with words before recording time `time` has been delivered: no
    // later callback places words before it. Called as each task ends, while a task decodes
    // (the start of the utterance it hears, or how far it has got in silence) and, after
    // finish(), once with the time the audio ended at.
    std::function<void(double time)> onSettled;

    // offset: the recording time in seconds at which recognition starts.
    void start(double offset);
    // Ends recognition at once; audio not decoded yet is dropped.
    void stop();
    // Ends recognition at this moment without losing what was said before it: audio captured
    // until now is still decoded, also what arrives later, and later audio is not; the last
    // task delivers its final result and onSettled follows with the returned recording time.
    // Nothing when not running.
    std::optional<double> finish();
    // Between finish() and the onSettled that ends it. A start meanwhile lets the finish go
    // on with the audio it has.
    bool isFinishing() const;

    // The newest partial result whose final has not come yet, with its task's recording time
    // (main thread; none after a final result and at each start).
    struct PendingPartial {
        Transcription transcription;
        double offset = 0;
    };
    const std::optional<PendingPartial>& pendingPartial() const { return pendingPartial_; }

    // The current task's audio request; none when stopped. Append microphone samples to it;
    // what arrives while there is none is dropped.
    std::shared_ptr<speech::AudioBufferRecognitionRequest> request() const;
    // Appends to the current request, if any.
    void appendAudioSample(const media::AudioSample& sample);

    bool isRunning() const { return isRunning_.load(); }
    // Whether a model was found for the recogniser's language (it may still fail to load).
    bool hasModel() const { return recognizer_ && recognizer_->hasModel(); }
    // Looks for the language's model again, as after one was installed, and takes the recogniser
    // that uses it. Only while nothing runs or finishes (false otherwise, changing nothing).
    // Main thread.
    bool reloadModel();
    // The clock reading that corresponds to recording time 0; none until started.
    std::optional<double> startDate() const;
    double accumulatedOffset() const;
    const std::shared_ptr<speech::SpeechRecognizer>& recognizer() const { return recognizer_; }
    std::shared_ptr<speech::RecognitionTask> task() const;

    // not translated: part of the subtitle track, which subtitle files keep as recognised.
    static constexpr std::string_view kUnavailableText = "[语音识别不可用]";

  private:
    // One start's recognition: its tasks, one after the other, until it is stopped, or finished
    // and all its audio decoded. A finish may still be decoding while the next start runs.
    struct Run {
        double startDate = 0;          // the clock reading of recording time 0
        double startOffset = 0;        // where the run began; no task lies before it
        double accumulatedOffset = 0;  // where the current task began, by the clock
        bool running = false;
        std::optional<double> finishingUntil;  // set by finish() until its audio is decoded
        uint64_t generation = 0;               // counts its tasks; only the newest goes on
        std::shared_ptr<speech::AudioBufferRecognitionRequest> request;
        std::shared_ptr<speech::RecognitionTask> task;
    };

    // With stateMutex_ held. `continuing`: the audio the run's last task left goes on to this
    // one.
    void startTaskLocked(const std::shared_ptr<Run>& run, bool continuing);
    void taskEnded(const std::weak_ptr<Run>& weakRun, uint64_t generation, bool unavailable,
                   const std::shared_ptr<speech::AudioBufferRecognitionRequest>& request);
    // Says the subtitles are off (in the log with `reason`, and to onText).
    void reportUnavailable(const std::string& reason);
    // A task decoded on: nothing it has still to say begins before `time`.
    void taskProgressed(const std::weak_ptr<Run>& weakRun, uint64_t generation, double time);
    void postSettled(double time);
    double now() const;
    // The recording time of a capture time of the samples, none for a sample without one.
    static std::optional<double> recordingTime(media::MediaTime captured, double startDate);

    std::shared_ptr<speech::SpeechRecognizer> recognizer_;
    Clock clock_;
    std::atomic<bool> isRunning_{false};

    // guards: run_, finishingRuns_ and the fields of their runs; also keeps a restart on the
    // recogniser's queue from slipping in after a stop
    mutable std::mutex stateMutex_;
    std::shared_ptr<Run> run_;  // the newest; its request is the one audio goes to
    std::vector<std::shared_ptr<Run>> finishingRuns_;  // earlier runs still finishing

    std::optional<PendingPartial> pendingPartial_;  // main thread

    // guards: request_, swapped whole under it so an append on the microphone queue never meets
    // a request half-replaced by a restart on the recogniser's queue. Taken inside stateMutex_
    // when both are held.
    mutable std::mutex requestMutex_;
    std::shared_ptr<speech::AudioBufferRecognitionRequest> request_;
};

}  // namespace zimlo
