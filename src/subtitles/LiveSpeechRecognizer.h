#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

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
// Times handed out are seconds on the recording timeline.
//
// Start and stop are called on the main thread; audio is appended from any thread through the
// current `request()`. Callbacks arrive on the main thread.
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

    // offset: the recording time in seconds at which recognition starts.
    void start(double offset);
    void stop();

    // The current task's audio request; none when stopped. Append microphone samples to it;
    // what arrives while there is none is dropped.
    std::shared_ptr<speech::AudioBufferRecognitionRequest> request() const;
    // Appends to the current request, if any.
    void appendAudioSampleBuffer(const media::AudioSample& sample);

    bool isRunning() const { return isRunning_.load(); }
    // The clock reading that corresponds to recording time 0; none until started.
    std::optional<double> startDate() const;
    double accumulatedOffset() const;
    const std::shared_ptr<speech::SpeechRecognizer>& recognizer() const { return recognizer_; }
    std::shared_ptr<speech::RecognitionTask> task() const;

    // Recording time from which results may still come: the start of the earliest recognition
    // task whose final result (or its end without one) has not reached the main thread yet;
    // none when every task started so far has delivered. Everything heard before it is in the
    // final results already delivered. Main thread.
    std::optional<double> pendingSince() const;

    static constexpr std::string_view kUnavailableText = "[语音识别不可用]";

  private:
    // With stateMutex_ held; returns the new task's generation.
    uint64_t startTaskLocked();
    void taskEnded(uint64_t generation, bool unavailable);
    // Main thread: task `generation`, starting at `offset`, may deliver; or it has delivered.
    void taskOpened(uint64_t generation, double offset);
    void taskClosed(uint64_t generation);
    void reportUnavailable();
    double now() const;

    std::shared_ptr<speech::SpeechRecognizer> recognizer_;
    Clock clock_;
    std::atomic<bool> isRunning_{false};

    // startDate_, accumulatedOffset_, task_ and generation_; also keeps a restart on the
    // recogniser's queue from slipping in after a stop.
    mutable std::mutex stateMutex_;
    uint64_t generation_ = 0;  // counts started tasks; only the newest may restart
    std::optional<double> startDate_;
    double accumulatedOffset_ = 0;
    std::shared_ptr<speech::RecognitionTask> task_;

    // Swapped whole under its own lock, so an append on the microphone queue never meets a
    // request half-replaced by a restart on the recogniser's queue.
    mutable std::mutex requestMutex_;
    std::shared_ptr<speech::AudioBufferRecognitionRequest> request_;

    // Main thread: the tasks that have not delivered yet, by generation, with their offsets.
    std::map<uint64_t, double> openTasks_;
};

}  // namespace zimlo
