#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/media/MediaSample.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/speech/SpeechModel.h"
#include "platform/speech/Transcription.h"

namespace zimlo::speech {

// Audio for one recognition task. Samples may be appended from any thread (the microphone
// queue); the task takes them on the recognizer's queue. Once the audio is ended, or the task
// has finished with it, further samples are ignored.
class AudioBufferRecognitionRequest {
  public:
    bool shouldReportPartialResults = true;  // read when the task starts
    // Called on the recognizer's queue as the task decodes on without ending its utterance,
    // with the seconds of this request's audio before which no word the task has still to
    // report can begin: where the speech it hears began, or with none heard how far it has
    // decoded, less the lead-in the speech detector may still give a word. Read when the task
    // starts.
    std::function<void(double seconds)> onProgress;
    static constexpr double kSpeechLeadInSeconds = 0.5;

    void appendAudioSample(const media::AudioSample& sample);
    void appendAudioSample(media::AudioSample&& sample);
    // No more audio: the task finishes with what it has.
    void endAudio();
    // The audio ends at `end`, a time on the clock the samples are stamped with: what was
    // captured before it is still taken, also when it arrives later; the first sample that
    // reaches `end` is cut there and ends the audio. Samples without a time are taken as they
    // come until then.
    void endAudioAt(media::MediaTime end);
    // The task of this request is over but recognition goes on: the samples it did not decode,
    // every later append and the end of the audio go to `next`, in their order.
    void handOverTo(const std::shared_ptr<AudioBufferRecognitionRequest>& next);

    // True while appended audio has not been decoded yet (or been set aside by a finished
    // task). Lets a producer that is not bound to real time feed at the decoder's pace.
    bool hasPendingAudio() const;
    // Waits until no appended audio is pending; false when `seconds` ran out first.
    bool waitUntilDecoded(double seconds) const;
    bool isAudioEnded() const;
    // The audio has ended and nothing of it waits to be taken.
    bool isExhausted() const;
    // Audio frames (at their own rates) taken by this request so far.
    int64_t appendedFrameCount() const;
    // When the first sample taken was captured; invalid before one, or when it had no time.
    media::MediaTime firstPresentationTime() const;
    // When the audio the task has decoded so far ends; invalid before it decoded timed audio.
    media::MediaTime decodedUntil() const;

    // --- used by the recognition task ---
    struct Batch {
        std::deque<media::AudioSample> samples;
        bool ended = false;
    };
    // Takes every sample appended so far. The samples stay "pending" until `markDone`.
    Batch take();
    void markDone(size_t sampleCount);
    // Audio the task took but did not decode (it ended with an utterance): goes back in front
    // of what came since, for whoever takes the audio over.
    void putBack(std::deque<media::AudioSample> unused);
    void setDecodedUntil(media::MediaTime end);
    // Called (outside the request's lock) after an append when nothing is scheduled yet.
    void setWakeup(std::function<void()> wakeup);
    // The task is done with this request: drop what is left and refuse further audio.
    void close();

  private:
    void wake(std::unique_lock<std::mutex>& lock);
    // Takes `sample` (under the lock), cut at the end of the audio when it reaches it.
    void takeLocked(media::AudioSample&& sample);

    // guards: samples_, pending_, appendedFrames_, anyTaken_, firstTime_, lastEnd_,
    // decodedUntil_, endAt_, ended_, closed_, wakeScheduled_, wakeup_, next_
    mutable std::mutex mutex_;
    mutable std::condition_variable decoded_;
    std::deque<media::AudioSample> samples_;
    size_t pending_ = 0;  // appended and not yet done with
    int64_t appendedFrames_ = 0;
    bool anyTaken_ = false;
    media::MediaTime firstTime_;
    media::MediaTime lastEnd_;  // of the last timed sample taken
    media::MediaTime decodedUntil_;
    media::MediaTime endAt_;  // valid once the audio is to end at a time
    bool ended_ = false;
    bool closed_ = false;
    bool wakeScheduled_ = false;
    std::function<void()> wakeup_;
    // Set once the audio went on to a later request.
    std::shared_ptr<AudioBufferRecognitionRequest> next_;
};

struct RecognitionResult {
    Transcription bestTranscription;
    bool isFinal = false;
};

struct RecognitionError {
    enum class Code {
        noSpeech,     // the audio ended (or the task's time ran out) without recognised words
        unavailable,  // the model could not be loaded
        cancelled,
    };
    Code code = Code::noSpeech;
    std::string message;
};

// Called on the recognizer's queue: partial results (if asked for), then either one final
// result or one error. Nothing follows the final result or the error.
using RecognitionHandler = std::function<void(const std::optional<RecognitionResult>&,
                                              const std::optional<RecognitionError>&)>;

class RecognitionTask;

// A streaming recogniser for one locale. An utterance ends when the decoder's voice-activity
// detection hears a pause after speech, when the task has taken 30 s of audio, or when the
// audio is ended; the task then reports its final transcription and finishes.
class SpeechRecognizer : public std::enable_shared_from_this<SpeechRecognizer> {
  public:
    static constexpr double kMaximumTaskAudioSeconds = 30.0;

    // The process-wide recogniser for a locale ("en-US", "zh-CN"), with the model found by
    // `findModel` at this call. Its model starts loading in the background at once.
    static std::shared_ptr<SpeechRecognizer> shared(const std::string& locale);
    // The process-wide recogniser for a locale with the model at `paths` (nothing: no model).
    static std::shared_ptr<SpeechRecognizer> shared(const std::string& locale,
                                                    const std::optional<ModelPaths>& paths);

    const std::string& locale() const { return locale_; }
    // False without a model, or once loading it has failed. True while a load is under way.
    bool isAvailable() const;
    // Whether a model was found for it (it may still fail to load).
    bool hasModel() const { return model_ != nullptr; }
    // Waits for the model to load: true when it is ready, false without one, after a failed
    // load, or when `seconds` ran out. Never needed for correctness (tasks wait themselves);
    // lets a caller keep the load out of a measurement.
    bool waitUntilLoaded(double seconds);
    // Results and decoding run here.
    SerialQueue& queue() { return *queue_; }

    std::shared_ptr<RecognitionTask> recognitionTask(
        const std::shared_ptr<AudioBufferRecognitionRequest>& request, RecognitionHandler handler);

    // For the constructor only (created through `shared`).
    SpeechRecognizer(std::string locale, std::shared_ptr<SpeechModel> model);

  private:
    std::string locale_;
    std::shared_ptr<SpeechModel> model_;
    std::unique_ptr<SerialQueue> queue_;
};

class RecognitionTask : public std::enable_shared_from_this<RecognitionTask> {
  public:
    // Stops decoding; the handler gets a `cancelled` error unless the task already finished.
    void cancel();
    bool isFinished() const;

    // For SpeechRecognizer only.
    RecognitionTask(std::shared_ptr<SpeechRecognizer> recognizer,
                    std::shared_ptr<SpeechModel> model,
                    std::shared_ptr<AudioBufferRecognitionRequest> request,
                    RecognitionHandler handler);
    ~RecognitionTask();
    // Decodes what the request holds; runs on the recognizer's queue.
    void pump();

  private:
    struct Decoding;
    bool startDecoding(size_t taken);
    bool decode(AudioBufferRecognitionRequest::Batch& batch);
    void endUtterance(size_t taken);
    void reportProgress();
    void finish(const std::optional<RecognitionResult>& result,
                const std::optional<RecognitionError>& error, size_t samplesTaken);
    // Decodes up to `count` values; returns how many it took, fewer when the utterance ended.
    size_t feed(const int16_t* pcm, size_t count);
    Transcription hypothesis(bool final);

    std::shared_ptr<SpeechRecognizer> recognizer_;
    std::shared_ptr<SpeechModel> model_;
    std::shared_ptr<AudioBufferRecognitionRequest> request_;
    RecognitionHandler handler_;
    std::unique_ptr<Decoding> decoding_;  // queue only
    mutable std::mutex mutex_;            // guards: finished_
    bool finished_ = false;
};

// Reads a WAV file (PCM 16/24/32-bit or 32-bit float, any rate and channel count) into one
// sample; 24-bit audio becomes 32-bit. Otherwise why not (unreadableAudio), naming the file.
Result<media::AudioSample, SpeechError> readWavFile(const std::string& path);

// Cuts a sample into pieces of `seconds` (the last may be shorter), with their times.
std::vector<media::AudioSample> splitAudio(const media::AudioSample& sample, double seconds);

}  // namespace zimlo::speech
