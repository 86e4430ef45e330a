#include "platform/speech/SpeechRecognizer.h"

#include <pocketsphinx.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>

#include "platform/log/Log.h"
#include "platform/runtime/AppIdentity.h"
#include "platform/speech/AudioConverter.h"
#include "platform/speech/WordText.h"
#include "platform/storage/BoundedFile.h"

namespace zimlo::speech {

// ---------------------------------------------------------------------------------------------
// AudioBufferRecognitionRequest

void AudioBufferRecognitionRequest::appendAudioSample(const media::AudioSample& sample) {
    appendAudioSample(media::AudioSample(sample));
}

void AudioBufferRecognitionRequest::appendAudioSample(media::AudioSample&& sample) {
    std::unique_lock lock(mutex_);
    if (next_) {
        // Still under our lock: nothing overtakes what was handed over.
        next_->appendAudioSample(std::move(sample));
        return;
    }
    if (ended_ || closed_) return;
    takeLocked(std::move(sample));
    wake(lock);
}

void AudioBufferRecognitionRequest::takeLocked(media::AudioSample&& sample) {
    const media::MediaTime start = sample.presentationTime;
    if (endAt_.valid && start.valid) {
        if (start >= endAt_) {
            ended_ = true;
            return;
        }
        if (start + sample.duration() >= endAt_) {
            const int frameBytes = media::bytesPerSample(sample.format) * sample.channels;
            const double kept = (endAt_ - start).seconds() * sample.sampleRate;
            const auto frames = std::clamp<int64_t>(std::llround(kept), 0, sample.frameCount());
            sample.data.resize(static_cast<size_t>(frames) * static_cast<size_t>(frameBytes));
            ended_ = true;
            if (frames == 0) return;
        }
    }
    if (!anyTaken_) {
        anyTaken_ = true;
        firstTime_ = start;
    }
    if (start.valid) lastEnd_ = start + sample.duration();
    appendedFrames_ += sample.frameCount();
    samples_.push_back(std::move(sample));
    ++pending_;
}

void AudioBufferRecognitionRequest::endAudio() {
    std::unique_lock lock(mutex_);
    if (next_) {
        next_->endAudio();
        return;
    }
    if (ended_ || closed_) return;
    ended_ = true;
    wake(lock);
}

void AudioBufferRecognitionRequest::endAudioAt(media::MediaTime end) {
    std::unique_lock lock(mutex_);
    if (next_) {
        next_->endAudioAt(end);
        return;
    }
    if (ended_ || closed_) return;
    if (!end.valid) {
        ended_ = true;
    } else {
        endAt_ = end;
        // Audio that reaches the end has come already: nothing more is waited for.
        if (lastEnd_.valid && lastEnd_ >= end) ended_ = true;
    }
    if (ended_) wake(lock);
}

void AudioBufferRecognitionRequest::handOverTo(
    const std::shared_ptr<AudioBufferRecognitionRequest>& next) {
    std::unique_lock lock(mutex_);
    if (next_ || !next || next.get() == this) return;
    next_ = next;
    std::deque<media::AudioSample> moved;
    moved.swap(samples_);
    if (endAt_.valid) next->endAudioAt(endAt_);
    for (auto& sample : moved) next->appendAudioSample(std::move(sample));
    if (ended_) next->endAudio();
    // Still pending until the task lets go of this request (close): a producer waiting for it
    // then finds the next request in place.
}

void AudioBufferRecognitionRequest::wake(std::unique_lock<std::mutex>& lock) {
    if (!wakeup_ || wakeScheduled_) return;
    wakeScheduled_ = true;
    auto wakeup = wakeup_;
    lock.unlock();
    wakeup();
}

bool AudioBufferRecognitionRequest::hasPendingAudio() const {
    std::lock_guard lock(mutex_);
    return pending_ > 0;
}

bool AudioBufferRecognitionRequest::waitUntilDecoded(double seconds) const {
    std::unique_lock lock(mutex_);
    return decoded_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return pending_ == 0; });
}

bool AudioBufferRecognitionRequest::isAudioEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

int64_t AudioBufferRecognitionRequest::appendedFrameCount() const {
    std::lock_guard lock(mutex_);
    return appendedFrames_;
}

media::MediaTime AudioBufferRecognitionRequest::firstPresentationTime() const {
    std::lock_guard lock(mutex_);
    return firstTime_;
}

media::MediaTime AudioBufferRecognitionRequest::decodedUntil() const {
    std::lock_guard lock(mutex_);
    return decodedUntil_;
}

AudioBufferRecognitionRequest::Batch AudioBufferRecognitionRequest::take() {
    std::lock_guard lock(mutex_);
    wakeScheduled_ = false;
    Batch batch;
    batch.samples.swap(samples_);
    batch.ended = ended_;
    return batch;
}

void AudioBufferRecognitionRequest::markDone(size_t sampleCount) {
    std::lock_guard lock(mutex_);
    pending_ -= std::min(sampleCount, pending_);
    if (pending_ == 0) decoded_.notify_all();
}

void AudioBufferRecognitionRequest::putBack(std::deque<media::AudioSample> unused) {
    // Still pending: they were counted when they came, and stay so until handed over.
    std::lock_guard lock(mutex_);
    samples_.insert(samples_.begin(), std::make_move_iterator(unused.begin()),
                    std::make_move_iterator(unused.end()));
}

bool AudioBufferRecognitionRequest::isExhausted() const {
    std::lock_guard lock(mutex_);
    return ended_ && samples_.empty();
}

void AudioBufferRecognitionRequest::setDecodedUntil(media::MediaTime end) {
    std::lock_guard lock(mutex_);
    decodedUntil_ = end;
}

void AudioBufferRecognitionRequest::setWakeup(std::function<void()> wakeup) {
    std::lock_guard lock(mutex_);
    wakeup_ = std::move(wakeup);
    // The task schedules its first pass itself, which takes whatever is here by then.
    wakeScheduled_ = true;
}

void AudioBufferRecognitionRequest::close() {
    std::function<void()> dropped;
    std::deque<media::AudioSample> left;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        pending_ = 0;
        left.swap(samples_);
        dropped.swap(wakeup_);  // it holds the task: let both go
    }
    decoded_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// SpeechRecognizer

std::shared_ptr<SpeechRecognizer> SpeechRecognizer::shared(const std::string& locale) {
    return shared(locale, findModel(locale));
}

std::shared_ptr<SpeechRecognizer> SpeechRecognizer::shared(const std::string& locale,
                                                           const std::optional<ModelPaths>& paths) {
    // Recognisers live as long as the process: their queues must never be torn down by a task
    // running on them, and a model is loaded once.
    static auto* mutex = new std::mutex;  // guards: registry
    static auto* registry = new std::map<std::string, std::shared_ptr<SpeechRecognizer>>;
    std::string key = locale;
    if (paths) {
        key += '\n' + paths->acousticModel.string() + '\n' + paths->dictionary.string() + '\n' +
               paths->languageModel.string();
    }
    std::lock_guard lock(*mutex);
    auto& slot = (*registry)[key];
    if (!slot) {
        if (!paths) {
            std::string searched;
            for (const auto& directory : modelSearchDirectories(locale))
                searched += (searched.empty() ? "" : ", ") + directory.string();
            ZIMLO_LOG_WARN("speech")
                << "no speech model for " << locale << " (looked in " << searched << ")";
        }
        slot = std::make_shared<SpeechRecognizer>(locale,
                                                  paths ? SpeechModel::shared(*paths) : nullptr);
    }
    if (slot->model_) slot->model_->preload();
    return slot;
}

SpeechRecognizer::SpeechRecognizer(std::string locale, std::shared_ptr<SpeechModel> model)
    : locale_(std::move(locale)),
      model_(std::move(model)),
      queue_(std::make_unique<SerialQueue>(".speech." + locale_)) {}

bool SpeechRecognizer::isAvailable() const { return model_ && !model_->hasFailed(); }

bool SpeechRecognizer::waitUntilLoaded(double seconds) {
    return model_ && model_->waitUntilLoaded(seconds);
}

std::shared_ptr<RecognitionTask> SpeechRecognizer::recognitionTask(
    const std::shared_ptr<AudioBufferRecognitionRequest>& request, RecognitionHandler handler) {
    auto task =
        std::make_shared<RecognitionTask>(shared_from_this(), model_, request, std::move(handler));
    SerialQueue* queue = queue_.get();
    request->setWakeup([queue, task] { queue->async([task] { task->pump(); }); });
    queue->async([task] { task->pump(); });
    return task;
}

// ---------------------------------------------------------------------------------------------
// RecognitionTask

struct RecognitionTask::Decoding {
    SpeechModel::Lease lease;
    AudioConverter converter;
    std::vector<int16_t> pcm;
    int64_t samplesFed = 0;
    int frameRate = 100;
    bool utteranceOpen = false;
    bool speechSeen = false;
    bool utteranceEnded = false;
    bool reportPartials = true;
    std::string lastPartial;
    int64_t speechStartFed = 0;  // samplesFed where the speech of the utterance was first heard
    std::function<void(double)> progress;
    double lastProgress = 0;
};

RecognitionTask::RecognitionTask(std::shared_ptr<SpeechRecognizer> recognizer,
                                 std::shared_ptr<SpeechModel> model,
                                 std::shared_ptr<AudioBufferRecognitionRequest> request,
                                 RecognitionHandler handler)
    : recognizer_(std::move(recognizer)),
      model_(std::move(model)),
      request_(std::move(request)),
      handler_(std::move(handler)) {}

RecognitionTask::~RecognitionTask() = default;

bool RecognitionTask::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void RecognitionTask::cancel() {
    recognizer_->queue().async([self = shared_from_this()] {
        self->finish(std::nullopt, RecognitionError{RecognitionError::Code::cancelled, "cancelled"},
                     0);
    });
}

void RecognitionTask::pump() {
    if (isFinished()) return;
    auto batch = request_->take();
    const size_t taken = batch.samples.size();
    if (!decoding_ && !startDecoding(taken)) return;
    if (decode(batch)) {
        endUtterance(taken);
        return;
    }
    if (taken > 0) reportProgress();
    request_->markDone(taken);
}

// The decoder for this task, leased from the model; false when there is none (the task is
// finished with the reason).
bool RecognitionTask::startDecoding(size_t taken) {
    decoding_ = std::make_unique<Decoding>();
    std::string error = "no speech model for " + recognizer_->locale();
    if (model_) {
        auto lease = SpeechModel::acquire(model_);
        if (lease.ok())
            decoding_->lease = std::move(lease).value();
        else
            error = lease.error().message;
    }
    if (!decoding_->lease) {
        finish(std::nullopt, RecognitionError{RecognitionError::Code::unavailable, error}, taken);
        return false;
    }
    ps_decoder_t* ps = decoding_->lease.get();
    // Each task is a stream of its own: word times count from the start of its audio.
    ps_start_stream(ps);
    if (ps_start_utt(ps) < 0) {
        ZIMLO_LOG_ERROR("speech") << "the decoder refused to start an utterance";
        finish(std::nullopt,
               RecognitionError{RecognitionError::Code::unavailable, "decoder refused to start"},
               taken);
        return false;
    }
    decoding_->utteranceOpen = true;
    decoding_->frameRate =
        std::max(1, static_cast<int>(cmd_ln_int32_r(ps_get_config(ps), "-frate")));
    decoding_->reportPartials = request_->shouldReportPartialResults;
    decoding_->progress = request_->onProgress;
    return true;
}

// Feeds the batch to the decoder; true when the utterance ended in it (or with the audio).
bool RecognitionTask::decode(AudioBufferRecognitionRequest::Batch& batch) {
    bool endOfUtterance = false;
    // What the utterance's end left over: the rest of the sample it ended in and the samples
    // after that. They go back to the request, so that a following task decodes them.
    std::deque<media::AudioSample> unused;
    media::MediaTime decodedUntil = request_->decodedUntil();
    for (size_t i = 0; i < batch.samples.size(); ++i) {
        media::AudioSample& sample = batch.samples[i];
        decoding_->pcm.clear();
        decoding_->converter.convert(sample, decoding_->pcm);  // unconvertible samples are skipped
        const size_t fed = feed(decoding_->pcm.data(), decoding_->pcm.size());
        const bool timed = sample.presentationTime.valid;
        if (fed == decoding_->pcm.size() && !decoding_->utteranceEnded) {
            if (timed) decodedUntil = sample.presentationTime + sample.duration();
            continue;
        }
        endOfUtterance = true;
        const auto fedTime =
            media::MediaTime::make(static_cast<int64_t>(fed), AudioConverter::kOutputRate);
        if (timed) decodedUntil = sample.presentationTime + fedTime;
        if (fed < decoding_->pcm.size()) {
            media::AudioSample rest;
            rest.format = media::SampleFormat::Int16;
            rest.sampleRate = AudioConverter::kOutputRate;
            rest.channels = 1;
            const auto* first = reinterpret_cast<const uint8_t*>(decoding_->pcm.data() + fed);
            rest.data.assign(first, first + (decoding_->pcm.size() - fed) * sizeof(int16_t));
            rest.presentationTime =
                timed ? sample.presentationTime + fedTime : sample.presentationTime;
            unused.push_back(std::move(rest));
        }
        for (size_t j = i + 1; j < batch.samples.size(); ++j)
            unused.push_back(std::move(batch.samples[j]));
        break;
    }
    if (!endOfUtterance && batch.ended) {
        decoding_->pcm.clear();
        decoding_->converter.flush(decoding_->pcm);
        feed(decoding_->pcm.data(), decoding_->pcm.size());
        endOfUtterance = true;
    }
    request_->setDecodedUntil(decodedUntil);
    if (!unused.empty()) request_->putBack(std::move(unused));
    return endOfUtterance;
}

void RecognitionTask::endUtterance(size_t taken) {
    ps_end_utt(decoding_->lease.get());
    decoding_->utteranceOpen = false;
    Transcription words = hypothesis(true);
    if (words.segments.empty()) {
        finish(std::nullopt,
               RecognitionError{RecognitionError::Code::noSpeech, "no speech detected"}, taken);
    } else {
        finish(RecognitionResult{std::move(words), true}, std::nullopt, taken);
    }
}

// The newest partial result and how far the words reach, for the listeners that asked.
void RecognitionTask::reportProgress() {
    if (decoding_->reportPartials && decoding_->speechSeen) {
        Transcription partial = hypothesis(false);
        if (!partial.formattedString.empty() && partial.formattedString != decoding_->lastPartial) {
            decoding_->lastPartial = partial.formattedString;
            handler_(RecognitionResult{std::move(partial), false}, std::nullopt);
        }
    }
    if (decoding_->progress) {
        // Words of an open utterance lie after the start of its speech; with none open, after
        // what was decoded, but for what the detector holds back before it hears speech.
        const int64_t open =
            decoding_->speechSeen ? decoding_->speechStartFed : decoding_->samplesFed;
        const double seconds = static_cast<double>(open) / AudioConverter::kOutputRate -
                               AudioBufferRecognitionRequest::kSpeechLeadInSeconds;
        // A tenth of a second at a time: the listener's thread is the user interface's.
        if (seconds >= decoding_->lastProgress + 0.1) {
            decoding_->lastProgress = seconds;
            decoding_->progress(seconds);
        }
    }
}

size_t RecognitionTask::feed(const int16_t* pcm, size_t count) {
    ps_decoder_t* ps = decoding_->lease.get();
    const auto limit = static_cast<int64_t>(SpeechRecognizer::kMaximumTaskAudioSeconds *
                                            AudioConverter::kOutputRate);
    // 10 ms steps, so that the end of speech is found where it happens rather than at the end
    // of a long buffer whose rest would then be decoded into the wrong utterance.
    constexpr size_t kStep = AudioConverter::kOutputRate / 100;
    for (size_t at = 0; at < count; at += kStep) {
        size_t n = std::min(kStep, count - at);
        ps_process_raw(ps, pcm + at, n, FALSE, FALSE);
        decoding_->samplesFed += static_cast<int64_t>(n);
        bool inSpeech = ps_get_in_speech(ps) != 0;
        if (inSpeech && !decoding_->speechSeen) {
            decoding_->speechSeen = true;
            decoding_->speechStartFed = decoding_->samplesFed - static_cast<int64_t>(n);
        }
        if ((decoding_->speechSeen && !inSpeech) || decoding_->samplesFed >= limit) {
            decoding_->utteranceEnded = true;
            return at + n;
        }
    }
    return count;
}

Transcription RecognitionTask::hypothesis(bool /*final*/) {
    ps_decoder_t* ps = decoding_->lease.get();
    Transcription transcription;
    std::vector<std::string> words;
    const double frameSeconds = 1.0 / decoding_->frameRate;
    for (ps_seg_t* seg = ps_seg_iter(ps); seg; seg = ps_seg_next(seg)) {
        const char* word = ps_seg_word(seg);
        auto spoken = spokenWord(word ? word : "");
        if (!spoken) continue;
        int startFrame = 0, endFrame = 0;
        ps_seg_frames(seg, &startFrame, &endFrame);
        TranscriptionSegment segment;
        segment.substring = *spoken;
        segment.timestamp = startFrame * frameSeconds;
        segment.duration = std::max(1, endFrame - startFrame + 1) * frameSeconds;
        words.push_back(*spoken);
        transcription.segments.push_back(std::move(segment));
    }
    transcription.formattedString = joinWords(words);
    return transcription;
}

void RecognitionTask::finish(const std::optional<RecognitionResult>& result,
                             const std::optional<RecognitionError>& error,
                             size_t /*samplesTaken*/) {
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        finished_ = true;
    }
    if (decoding_) {
        if (decoding_->utteranceOpen) ps_end_utt(decoding_->lease.get());
        decoding_.reset();  // the decoder goes back to the pool
    }
    auto handler = std::move(handler_);
    handler_ = nullptr;
    if (handler) handler(result, error);
    // Only now does the request stop counting as pending: a producer waiting for it sees the
    // handler's effects (such as a follow-up task) in place.
    request_->close();
}

// ---------------------------------------------------------------------------------------------
// WAV files

namespace {

uint32_t le32(const char* p) {
    return static_cast<uint32_t>(static_cast<unsigned char>(p[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(p[1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(p[2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(p[3])) << 24;
}
uint16_t le16(const char* p) {
    return static_cast<uint16_t>(static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1])
                                                                        << 8);
}

}  // namespace

constexpr size_t kLargestWavFile = size_t{1} << 32;

Result<media::AudioSample, SpeechError> readWavFile(const std::string& path) {
    auto refuse = [&](std::string why) {
        return fail(SpeechError{SpeechError::Kind::unreadableAudio, path, std::move(why)});
    };
    // WAV sizes are 32-bit fields; a FIFO or a device (/dev/zero) is refused unread.
    auto read = readRegularFile(path, kLargestWavFile);
    if (!read) {
        if (read.error().code == std::errc::no_such_file_or_directory ||
            read.error().code == std::errc::permission_denied)
            return refuse("cannot open " + path);
        return refuse(read.error().text());
    }
    const std::string bytes = std::move(read).value();
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        return refuse(path + " is not a WAV file");
    int formatTag = 0, channels = 0, rate = 0, bits = 0;
    bool haveFormat = false;
    const char* data = nullptr;
    size_t dataSize = 0;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const char* chunk = bytes.data() + at;
        size_t size = le32(chunk + 4);
        size_t body = at + 8;
        size_t available = bytes.size() - body;
        if (chunk[0] == 'f' && chunk[1] == 'm' && chunk[2] == 't' && chunk[3] == ' ' &&
            size >= 16 && available >= 16) {
            const char* f = bytes.data() + body;
            formatTag = le16(f);
            channels = le16(f + 2);
            rate = static_cast<int>(le32(f + 4));
            bits = le16(f + 14);
            if (formatTag == 0xFFFE && size >= 26 && available >= 26) formatTag = le16(f + 24);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = bytes.data() + body;
            dataSize = std::min(size, available);  // a recording cut short keeps what it has
        }
        at = body + size + (size & 1);
    }
    if (!haveFormat || !data) return refuse(path + ": no format or data chunk");
    if (channels <= 0 || rate <= 0) return refuse(path + ": invalid channel count or rate");

    media::AudioSample sample;
    sample.channels = channels;
    sample.sampleRate = rate;
    sample.presentationTime = media::MediaTime::zero();
    size_t frameBytes = static_cast<size_t>(bits / 8) * channels;
    if (frameBytes == 0) return refuse(path + ": unsupported sample size");
    size_t frames = dataSize / frameBytes;
    size_t values = frames * channels;
    if (formatTag == 1 && bits == 16) {
        sample.format = media::SampleFormat::Int16;
        sample.data.assign(data, data + values * 2);
    } else if (formatTag == 1 && bits == 32) {
        sample.format = media::SampleFormat::Int32;
        sample.data.assign(data, data + values * 4);
    } else if (formatTag == 3 && bits == 32) {
        sample.format = media::SampleFormat::Float32;
        sample.data.assign(data, data + values * 4);
    } else if (formatTag == 1 && (bits == 24 || bits == 8)) {
        sample.format = media::SampleFormat::Int32;
        sample.data.resize(values * 4);
        for (size_t i = 0; i < values; ++i) {
            int32_t v;
            if (bits == 24) {
                const auto* p = reinterpret_cast<const unsigned char*>(data + i * 3);
                v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                         static_cast<uint32_t>(p[1]) << 16 |
                                         static_cast<uint32_t>(p[2]) << 24);
            } else {
                v = static_cast<int32_t>(
                    (static_cast<uint32_t>(static_cast<unsigned char>(data[i])) - 128u) << 24);
            }
            std::memcpy(sample.data.data() + i * 4, &v, 4);
        }
    } else {
        return refuse(path + ": unsupported WAV encoding (format " + std::to_string(formatTag) +
                      ", " + std::to_string(bits) + " bits)");
    }
    return sample;
}

std::vector<media::AudioSample> splitAudio(const media::AudioSample& sample, double seconds) {
    std::vector<media::AudioSample> pieces;
    int frameBytes = media::bytesPerSample(sample.format) * sample.channels;
    int total = sample.frameCount();
    int per = std::max(1, static_cast<int>(std::lround(seconds * sample.sampleRate)));
    media::MediaTime start =
        sample.presentationTime.valid ? sample.presentationTime : media::MediaTime::zero();
    for (int at = 0; at < total; at += per) {
        int n = std::min(per, total - at);
        media::AudioSample piece;
        piece.format = sample.format;
        piece.sampleRate = sample.sampleRate;
        piece.channels = sample.channels;
        piece.data.assign(sample.data.begin() + static_cast<ptrdiff_t>(at) * frameBytes,
                          sample.data.begin() + static_cast<ptrdiff_t>(at + n) * frameBytes);
        piece.presentationTime = start + media::MediaTime::make(at, sample.sampleRate);
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

}  // namespace zimlo::speech
