#include "capture/RecordingFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <mutex>
#include <system_error>

#include "model/MediaErrorText.h"
#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/AppIdentity.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/Threads.h"

namespace zimlo::capture {

namespace {
using Step = WriterError::Step;
// At 48 kHz; anything older than this before the first frame is never written anyway.
constexpr int64_t kEarlyAudioLimitFrames = 5 * 48000;
std::atomic<int> trackLimit{0};
// How far past the moment it is handed over a sample may be stamped: the sound capture smooths
// its stamps by up to 10 ms, a picture carried over a pause follows the last by 1 ms.
constexpr int64_t kAheadOfHandOverNs = 50'000'000;

// How much of each track's newest sound waits before it is written. Sound may reach up to
// kAheadOfHandOverNs past the moment it came, and the stop is taken a moment before the last
// samples are handed over: what could lie past the stop is still held when it comes.
constexpr int64_t kHeldSoundNs = 100'000'000;

// How far the writing threads give way: at nice 5 a busy encoder gets about a third of the share
// of a capture thread that wants the processor at the same moment.
constexpr int kEncodingNiceSteps = 5;

// The latest instant a sample handed over at `handedAt` may reach.
media::MediaTime latestFor(media::MediaTime handedAt) {
    return handedAt + media::MediaTime::make(kAheadOfHandOverNs, media::MonotonicClock::kTimescale);
}

// The part of `sample` before `end`; none when it starts there or later.
std::optional<media::AudioSample> soundBefore(const media::AudioSample& sample,
                                              media::MediaTime end) {
    const int64_t keep = (end - sample.presentationTime).convertedTo(sample.sampleRate).value;
    if (keep <= 0) return std::nullopt;
    media::AudioSample cut = sample;
    if (keep < cut.frameCount())
        cut.data.resize(static_cast<size_t>(keep) * media::bytesPerSample(cut.format) *
                        static_cast<size_t>(cut.channels));
    return cut;
}
}  // namespace

void RecordingFileWriter::setTrackLimit(std::optional<int> tracks) {
    trackLimit = tracks.value_or(0);
}

// The first failure, handed once to the handler on the main queue. Shared with the container
// writer's threads, which may report after this writer is gone.
struct RecordingFileWriter::FailureReport {
    std::mutex mutex;  // guards: handler, first
    FailureHandler handler;
    std::optional<WriterError> first;

    void report(const WriterError& error) {
        FailureHandler deliver;
        {
            std::lock_guard lock(mutex);
            if (first) return;
            first = error;
            deliver = handler;
        }
        if (deliver) MainQueue::post([deliver, error] { deliver(error); });
    }
    std::optional<WriterError> value() {
        std::lock_guard lock(mutex);
        return first;
    }
};

std::string WriterError::description() const {
    switch (step) {
        case Step::creatingFile:
            if (systemError == EEXIST)
                return withArguments(translate("RecordingFileWriter", "录制文件已存在：%1"),
                                     {file.string()});
            return withArguments(translate("RecordingFileWriter", "无法创建录制文件：%1"),
                                 {userText(cause, "")});
        case Step::openingMovie:
        case Step::writing:
            return userText(cause, "");
        case Step::readingFirstFrame:
            return translate("RecordingFileWriter", "缺少视频格式信息");
        case Step::addingVideoTrack:
            return translate("RecordingFileWriter", "无法添加视频写入轨道");
        case Step::addingSystemAudioTrack:
            return translate("RecordingFileWriter", "无法添加电脑声音写入轨道");
        case Step::addingMicrophoneTrack:
            return translate("RecordingFileWriter", "无法添加麦克风声音写入轨道");
        case Step::startingToWrite:
            return userText(cause, translate("RecordingFileWriter", "无法开始写入"));
        case Step::finishing:
            return userText(cause, translate("RecordingFileWriter", "写入失败"));
    }
    return userText(cause, "");
}

int RecordingFileWriter::framesPerSecond(CaptureFrameRate rate) { return rawValue(rate); }

int RecordingFileWriter::bitRateMultiplier(CaptureFrameRate rate) {
    return rate == CaptureFrameRate::fps24 ? 1 : rawValue(rate) / 30;
}

int64_t RecordingFileWriter::averageBitRate(int32_t width, int32_t height, CaptureFrameRate rate) {
    int64_t bits = static_cast<int64_t>(width) * height * 4 * bitRateMultiplier(rate);
    return std::clamp<int64_t>(bits, 2'000'000, 48'000'000);
}

std::shared_ptr<RecordingFileWriter> RecordingFileWriter::create(
    std::filesystem::path outputPath, media::MovieFileType fileType,
    std::set<AudioSource> audioSources, CaptureFrameRate frameRate, bool outputClaimed,
    std::shared_ptr<const capture::RecordingTimeline> timeline) {
    return std::shared_ptr<RecordingFileWriter>(
        new RecordingFileWriter(std::move(outputPath), fileType, std::move(audioSources), frameRate,
                                outputClaimed, std::move(timeline)));
}

RecordingFileWriter::RecordingFileWriter(std::filesystem::path outputPath,
                                         media::MovieFileType fileType,
                                         std::set<AudioSource> audioSources,
                                         CaptureFrameRate frameRate, bool outputClaimed,
                                         std::shared_ptr<const capture::RecordingTimeline> timeline)
    : outputPath_(std::move(outputPath)),
      fileType_(fileType),
      audioSources_(std::move(audioSources)),
      frameRate_(frameRate),
      timeline_(std::move(timeline)),
      ownsOutput_(outputClaimed),
      failureReport_(std::make_shared<FailureReport>()),
      writingQueue_(".mac.sample-buffer-writer") {
    // Encoding gives way to the capture: a grab that misses its tick loses the picture, while
    // the encoder has a second of pictures queued to catch up with. Its threads (the container
    // writer's inputs, the encoder's own) start from this queue's and inherit its priority.
    writingQueue_.async([] { lowerCurrentThreadPriority(kEncodingNiceSteps); });
}

void RecordingFileWriter::setFailureHandler(FailureHandler handler) {
    std::lock_guard lock(failureReport_->mutex);
    failureReport_->handler = std::move(handler);
}

// The queue member is destroyed first, so blocks still queued run against a whole object.
RecordingFileWriter::~RecordingFileWriter() = default;

void RecordingFileWriter::appendVideo(media::VideoSample sample) {
    writingQueue_.async([this, sample = std::move(sample), at = media::MonotonicClock::now()] {
        handleVideo(sample, at);
    });
}

// Sound comes in packets of about 20 ms, from up to two sources: passing each on by itself
// would wake the writing thread (and the encoder's after it) some 100 times a second, a good
// part of the cost of recording a still screen. Gathered, it goes on every kAudioBatchSeconds; the
// finish takes whatever is still gathered first, so the end of the sound is never cut. A batch
// is queued under the lock, so that it cannot land behind a finish that came after it.
void RecordingFileWriter::appendAudio(media::AudioSample sample, AudioSource source) {
    std::lock_guard lock(audioBatchMutex_);
    if (sample.sampleRate > 0) audioBatchSeconds_ += sample.duration().seconds();
    audioBatch_.push_back({std::move(sample), source, media::MonotonicClock::now()});
    if (audioBatchSeconds_ >= kAudioBatchSeconds)
        writingQueue_.async([this, batch = takeAudioBatch()] { handleAudioBatch(batch); });
}

std::vector<RecordingFileWriter::HandedAudio> RecordingFileWriter::takeAudioBatch() {
    auto batch = std::move(audioBatch_);
    audioBatch_.clear();
    audioBatchSeconds_ = 0;
    if (!batch.empty()) audioHandOvers_.fetch_add(1);
    return batch;
}

void RecordingFileWriter::handleAudioBatch(const std::vector<HandedAudio>& batch) {
    for (const auto& handed : batch) handleAudio(handed.sample, handed.source, handed.handedAt);
}

void RecordingFileWriter::finish(Completion completion, std::optional<media::MediaTime> stoppedAt) {
    std::lock_guard lock(audioBatchMutex_);
    writingQueue_.async(
        [this, batch = takeAudioBatch(), completion = std::move(completion), stoppedAt]() mutable {
            handleAudioBatch(batch);
            handleFinish(std::move(completion), stoppedAt);
        });
}

Result<void, RecordingFileWriter::SetUpFailure> RecordingFileWriter::setUp(
    const media::VideoSample& sample) {
    auto fileFailure = [](WriterError error) { return fail(SetUpFailure{std::move(error), true}); };
    auto trackFailure = [](WriterError error) {
        return fail(SetUpFailure{std::move(error), false});
    };
    if (!ownsOutput_) {
        // Whatever is already there belongs to someone else (another recording, another program).
        int fd = ::open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int code = errno;
            auto error = media::MediaError::system(code);
            ZIMLO_LOG_ERROR("writer") << "creating " << outputPath_ << ": " << error;
            return fileFailure(
                WriterError::cannotCreateWriter(Step::creatingFile, outputPath_, error, code));
        }
        ::close(fd);
        ownsOutput_ = true;
    }

    media::MovieWriterOptions options;
    // A crash or kill keeps everything up to the last completed fragment.
    options.fragmented = true;
    options.fragmentSeconds = 1.0;
    options.syncSeconds = 2.0;  // and a power loss, about two seconds more
    options.maximumTracks = trackLimit.load();
    auto created = media::MovieWriter::create(outputPath_, fileType_, options);
    if (!created.ok()) {
        return fileFailure(
            WriterError::cannotCreateWriter(Step::openingMovie, outputPath_, created.error()));
    }
    auto writer = std::move(created).value();
    if (!sample.hasFormatDescription())
        return trackFailure(WriterError::missingFormatDescription(outputPath_));

    const int32_t width = sample.width();
    const int32_t height = sample.height();
    media::VideoEncoderSettings video;
    video.width = width;
    video.height = height;
    video.averageBitRate = averageBitRate(width, height, frameRate_);
    video.expectedFrameRate = framesPerSecond(frameRate_);
    // A source that delivers NV12 (the portal's) is encoded without another conversion.
    if (sample.pixels->format() == media::PixelFormat::NV12VideoRange)
        video.pictureFormat = media::PixelFormat::NV12VideoRange;
    // Each picture leaves the encoder as soon as it is in (threads share a picture, no lookahead,
    // no waiting for the next picture's time), so a still screen's one picture a second reaches
    // the file with its own fragment instead of with the next one.
    video.tune = "zerolatency";
    auto videoInput = writer->addVideoInput(video);
    if (!videoInput.ok())
        return trackFailure(WriterError::cannotCreateWriter(Step::addingVideoTrack, outputPath_,
                                                            videoInput.error()));

    auto addAudio = [&]() {
        media::AudioEncoderSettings audio;
        audio.sampleRate = 48000;
        audio.channels = 2;
        audio.bitRate = 128000;
        return writer->addAudioInput(audio);
    };
    std::optional<media::MovieWriter::InputID> systemInput, microphoneInput;
    if (audioSources_.contains(AudioSource::system)) {
        auto input = addAudio();
        if (!input.ok())
            return trackFailure(WriterError::cannotCreateWriter(Step::addingSystemAudioTrack,
                                                                outputPath_, input.error()));
        systemInput = *input;
    }
    if (audioSources_.contains(AudioSource::microphone)) {
        auto input = addAudio();
        if (!input.ok())
            return trackFailure(WriterError::cannotCreateWriter(Step::addingMicrophoneTrack,
                                                                outputPath_, input.error()));
        microphoneInput = *input;
    }
    if (auto started = writer->start(); !started) {
        return fileFailure(WriterError::cannotCreateWriter(Step::startingToWrite, outputPath_,
                                                           started.error(), writer->errorCode()));
    }
    writer->setFailureHandler(
        [report = failureReport_, url = outputPath_](const media::MediaError& error, int code) {
            report->report(WriterError::writerFailed(Step::writing, url, error, code));
        });
    writer_ = std::move(writer);
    videoInput_ = *videoInput;
    systemAudioInput_ = systemInput;
    microphoneAudioInput_ = microphoneInput;
    return {};
}

void RecordingFileWriter::reportAhead(const char* what, media::MediaTime by) {
    if (reportedAhead_) return;
    reportedAhead_ = true;
    ZIMLO_LOG_WARN("writer") << outputPath_ << ": " << what
                             << " stamped past the moment it came is left out, the first by "
                             << by.seconds() << " s (its source ran ahead of time)";
}

bool RecordingFileWriter::writerAcceptsSamples() {
    auto status = writer_->status();
    if (status == media::MovieWriter::Status::failed && !failed_) {
        // Normally reported by the container writer itself as it failed.
        failed_ = true;
        failureReport_->report(WriterError::writerFailed(Step::writing, outputPath_,
                                                         writer_->error(), writer_->errorCode()));
    }
    return status == media::MovieWriter::Status::unknown ||
           status == media::MovieWriter::Status::writing;
}

void RecordingFileWriter::handleVideo(const media::VideoSample& taken, media::MediaTime handedAt) {
    if (!taken.dataReady || failed_) return;
    if (const auto latest = latestFor(handedAt); taken.presentationTime > latest) {
        reportAhead("a picture", taken.presentationTime - latest);
        return;
    }
    // A frame of a pause is not written; later ones move up to close the gap.
    std::optional<media::VideoSample> onTimeline =
        timeline_ ? timeline_->videoOnTimeline(taken) : taken;
    if (!onTimeline) return;
    const media::VideoSample& sample = *onTimeline;
    if (!writer_) {
        if (auto setUpDone = setUp(sample); !setUpDone) {
            const WriterError& error = setUpDone.error().error;
            // The file itself failed: the next frame would fail the same way, so the recording
            // hears of it. A frame that could not set up the tracks lets the next one try.
            if (setUpDone.error().fileFailed) {
                failed_ = true;
                failureReport_->report(error);
            } else if (loggedSetUpStep_ != error.step) {
                // Once per reason, not once per frame.
                loggedSetUpStep_ = error.step;
                ZIMLO_LOG_WARN("writer")
                    << "a frame could not set up " << outputPath_ << ": " << error.description()
                    << " (" << (error.cause ? error.cause->technicalText() : "")
                    << "); the next frame tries again";
            }
            return;
        }
    }
    if (!writer_ || !videoInput_) return;
    if (!writerAcceptsSamples()) return;
    if (!startedSession_) {
        writer_->startSession(sample.presentationTime);
        sessionStart_ = sample.presentationTime;
        startedSession_ = true;
        // Where the movie's time 0 lies on the capture clock: what lets a measurement set an
        // event it timed itself against the movie.
        ZIMLO_LOG_INFO("writer") << outputPath_.filename() << " begins at " << std::fixed
                                 << std::setprecision(6) << sample.presentationTime.seconds()
                                 << " s on the monotonic clock";
        // Sound captured after this frame but queued before it was set up belongs in the movie;
        // sound from before it is trimmed by its timestamps.
        auto early = std::move(earlyAudio_);
        earlyAudio_.clear();
        earlyAudioFrames_ = 0;
        for (const auto& [audio, source] : early) {
            if (audio.presentationTime.valid &&
                audio.presentationTime + audio.duration() <= sample.presentationTime)
                continue;
            holdSound(audio, source);
        }
    }
    if (writer_->acceptsMore(*videoInput_)) {
        if (writer_->append(*videoInput_, sample) && sample.presentationTime.valid) {
            const auto end =
                sample.presentationTime + media::MediaTime::make(1, framesPerSecond(frameRate_));
            if (!picturesEnd_.valid || end > picturesEnd_) {
                picturesEnd_ = end;
                lastPicture_ = sample;
            }
        }
    } else {
        ++droppedVideo_;
    }
}

void RecordingFileWriter::handleAudio(const media::AudioSample& taken, AudioSource source,
                                      media::MediaTime handedAt) {
    if (!taken.dataReady || failed_ || finished_) return;
    // Sound stamped past the moment it came cannot have been heard yet: cut away.
    std::optional<media::AudioSample> cut;
    const media::MediaTime latest = latestFor(handedAt);
    if (taken.presentationTime.valid && taken.sampleRate > 0 &&
        taken.presentationTime + taken.duration() > latest) {
        reportAhead("sound", taken.presentationTime + taken.duration() - latest);
        cut = soundBefore(taken, latest);
        if (!cut) return;
    }
    const media::AudioSample& sample = cut ? *cut : taken;
    if (!timeline_) {
        handleTimedAudio(sample, source);
        return;
    }
    // Sound of a pause is cut away; the rest moves up to the picture's timeline.
    for (const auto& piece : timeline_->audioOnTimeline(sample)) handleTimedAudio(piece, source);
}

void RecordingFileWriter::handleTimedAudio(const media::AudioSample& sample, AudioSource source) {
    if (!writer_ || !startedSession_) {
        // Nothing is written before the first frame; held until it comes, the oldest let go.
        if (!audioSources_.contains(source) || sample.sampleRate <= 0) return;
        earlyAudio_.emplace_back(sample, source);
        earlyAudioFrames_ += int64_t{sample.frameCount()} * 48000 / sample.sampleRate;
        while (earlyAudioFrames_ > kEarlyAudioLimitFrames && earlyAudio_.size() > 1) {
            const auto& oldest = earlyAudio_.front().first;
            earlyAudioFrames_ -= int64_t{oldest.frameCount()} * 48000 / oldest.sampleRate;
            earlyAudio_.pop_front();
        }
        return;
    }
    holdSound(sample, source);
}

void RecordingFileWriter::holdSound(const media::AudioSample& sample, AudioSource source) {
    HeldSound& held = heldSound_[source];
    held.samples.push_back(sample);
    if (sample.presentationTime.valid) {
        const auto end = sample.presentationTime + sample.duration();
        if (!held.newestEnd.valid || end > held.newestEnd) held.newestEnd = end;
    }
    // Sound without a time cannot be cut and goes as soon as what came before it has gone.
    while (!held.samples.empty()) {
        const media::AudioSample& oldest = held.samples.front();
        if (oldest.presentationTime.valid &&
            oldest.presentationTime + oldest.duration() +
                    media::MediaTime::make(kHeldSoundNs, media::MonotonicClock::kTimescale) >
                held.newestEnd)
            break;
        writeAudio(oldest, source);
        held.samples.pop_front();
    }
}

void RecordingFileWriter::writeHeldSound(std::optional<media::MediaTime> stop) {
    for (auto& [source, held] : heldSound_) {
        for (const media::AudioSample& sample : held.samples) {
            if (!stop || !stop->valid || !sample.presentationTime.valid) {
                writeAudio(sample, source, true);
            } else if (auto before = soundBefore(sample, *stop)) {
                writeAudio(*before, source, true);
            }
        }
        held.samples.clear();
    }
}

void RecordingFileWriter::writeAudio(const media::AudioSample& sample, AudioSource source,
                                     bool waitForRoom) {
    const auto& input =
        source == AudioSource::microphone ? microphoneAudioInput_ : systemAudioInput_;
    if (!input) return;
    if (!writerAcceptsSamples()) return;
    if (waitForRoom) writer_->waitUntilReady(*input, 5.0);
    if (writer_->acceptsMore(*input)) {
        if (writer_->append(*input, sample) && sample.presentationTime.valid) {
            const auto end = sample.presentationTime + sample.duration();
            auto& reached = soundEnd_[source];
            if (!reached.valid || end > reached) reached = end;
        }
    } else {
        ++droppedAudio_;
    }
}

void RecordingFileWriter::showLastPictureUntil(media::MediaTime stoppedAt) {
    if (!lastPicture_ || !picturesEnd_.valid || !stoppedAt.valid || !writerAcceptsSamples()) return;
    // Stopped during a pause: the movie ends where the pause began.
    const media::MediaTime end = timeline_ ? timeline_->movieTime(stoppedAt) : stoppedAt;
    if (end <= picturesEnd_) return;
    // Shown again one frame before the stop, the last picture lasts until it.
    media::VideoSample again = std::move(*lastPicture_);
    lastPicture_.reset();
    again.presentationTime = end - media::MediaTime::make(1, framesPerSecond(frameRate_));
    if (!writer_->waitUntilReady(*videoInput_, 5.0) || !writer_->append(*videoInput_, again)) {
        ZIMLO_LOG_WARN("writer") << outputPath_ << " ends " << (end - picturesEnd_).seconds()
                                 << " s before the stop: its last picture was not taken again";
        return;
    }
    picturesEnd_ = end;
}

void RecordingFileWriter::fillSilenceToPicturesEnd() {
    if (!picturesEnd_.valid || !writerAcceptsSamples()) return;
    constexpr int kRate = 48000;
    for (AudioSource source : audioSources_) {
        const auto& input =
            source == AudioSource::microphone ? microphoneAudioInput_ : systemAudioInput_;
        if (!input) continue;
        // A track that never heard anything starts at the first picture.
        media::MediaTime from = soundEnd_.contains(source) ? soundEnd_[source] : sessionStart_;
        if (!from.valid) continue;
        int64_t missing = (picturesEnd_ - from).convertedTo(kRate).value;
        // Under a tenth of a second is the ordinary end of a recording, not a loss.
        if (missing < kRate / 10) continue;
        while (missing > 0) {
            const int frames = static_cast<int>(std::min<int64_t>(missing, kRate));
            media::AudioSample silence;
            silence.format = media::SampleFormat::Float32;
            silence.sampleRate = kRate;
            silence.channels = 2;
            silence.data.assign(static_cast<size_t>(frames) * 2 * sizeof(float), 0);
            silence.presentationTime = from;
            if (!writer_->waitUntilReady(*input, 5.0) || !writer_->append(*input, silence)) break;
            from = from + silence.duration();
            missing -= frames;
        }
    }
}

void RecordingFileWriter::handleFinish(Completion completion,
                                       std::optional<media::MediaTime> stoppedAt) {
    auto deliver = [url = outputPath_,
                    completion = std::move(completion)](const std::optional<WriterError>& error) {
        MainQueue::post([url, completion, error] {
            if (!completion) return;
            completion(error ? WriterResult(fail(*error)) : WriterResult(url));
        });
    };
    finished_ = true;
    if (!writer_) {
        // No frame ever came (or the file could not be set up): the claimed name is given back.
        struct stat info {};
        if (ownsOutput_ && ::stat(outputPath_.c_str(), &info) == 0 && info.st_size == 0)
            ::unlink(outputPath_.c_str());
        // Success, although no file was written, unless the file failed.
        deliver(failureReport_->value());
        return;
    }
    if (stoppedAt) showLastPictureUntil(*stoppedAt);
    // Nothing past the stop is heard: the movie lasts as long as the recording did.
    std::optional<media::MediaTime> stop;
    if (stoppedAt && stoppedAt->valid)
        stop = timeline_ ? timeline_->movieTime(*stoppedAt) : *stoppedAt;
    writeHeldSound(stop);
    // A sound track whose source went quiet for good (its sound server went away and never came
    // back) still lasts as long as the pictures, so the tracks end together.
    fillSilenceToPicturesEnd();
    for (const auto& input : {videoInput_, systemAudioInput_, microphoneAudioInput_})
        if (input) writer_->endInput(*input);
    writer_->finish([writer = writer_, url = outputPath_, deliver]() {
        if (writer->status() == media::MovieWriter::Status::completed) {
            deliver(std::nullopt);
        } else {
            deliver(WriterError::writerFailed(WriterError::Step::finishing, url, writer->error(),
                                              writer->errorCode()));
        }
    });
}

}  // namespace zimlo::capture
