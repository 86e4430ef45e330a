#include "capture/SampleBufferMovieWriter.h"

#include <algorithm>
#include <system_error>

#include "platform/runtime/AppIdentity.h"
#include "platform/runtime/MainQueue.h"

namespace zimlo {

namespace {
// At 48 kHz; anything older than this before the first frame is never written anyway.
constexpr int64_t kEarlyAudioLimitFrames = 5 * 48000;
}  // namespace

std::string WriterError::description() const {
    switch (kind) {
        case Kind::cannotCreateWriter:
        case Kind::writerFailed:
            return message;
        case Kind::missingFormatDescription:
            return "缺少视频格式信息";
    }
    return message;
}

int SampleBufferMovieWriter::framesPerSecond(CaptureFrameRate rate) { return rawValue(rate); }

int SampleBufferMovieWriter::bitRateMultiplier(CaptureFrameRate rate) {
    return rate == CaptureFrameRate::fps24 ? 1 : rawValue(rate) / 30;
}

int64_t SampleBufferMovieWriter::averageBitRate(int32_t width, int32_t height,
                                                CaptureFrameRate rate) {
    int64_t bits = static_cast<int64_t>(width) * height * 4 * bitRateMultiplier(rate);
    return std::clamp<int64_t>(bits, 2'000'000, 48'000'000);
}

std::shared_ptr<SampleBufferMovieWriter> SampleBufferMovieWriter::create(
    std::filesystem::path outputURL, media::MovieFileType fileType,
    std::set<AudioSource> audioSources, CaptureFrameRate frameRate) {
    return std::shared_ptr<SampleBufferMovieWriter>(new SampleBufferMovieWriter(
        std::move(outputURL), fileType, std::move(audioSources), frameRate));
}

SampleBufferMovieWriter::SampleBufferMovieWriter(std::filesystem::path outputURL,
                                                 media::MovieFileType fileType,
                                                 std::set<AudioSource> audioSources,
                                                 CaptureFrameRate frameRate)
    : outputURL_(std::move(outputURL)),
      fileType_(fileType),
      audioSources_(std::move(audioSources)),
      frameRate_(frameRate),
      writingQueue_(".mac.sample-buffer-writer") {}

// The queue member is destroyed first, so blocks still queued run against a whole object.
SampleBufferMovieWriter::~SampleBufferMovieWriter() = default;

void SampleBufferMovieWriter::appendVideo(media::VideoSample sample) {
    writingQueue_.async([this, sample = std::move(sample)] { handleVideo(sample); });
}

void SampleBufferMovieWriter::appendAudio(media::AudioSample sample, AudioSource source) {
    writingQueue_.async(
        [this, sample = std::move(sample), source] { handleAudio(sample, source); });
}

void SampleBufferMovieWriter::finish(Completion completion) {
    writingQueue_.async([this, completion = std::move(completion)]() mutable {
        handleFinish(std::move(completion));
    });
}

std::optional<WriterError> SampleBufferMovieWriter::setUp(const media::VideoSample& sample) {
    std::error_code ignored;
    std::filesystem::remove(outputURL_, ignored);

    media::MovieWriterOptions options;
    // A crash or kill keeps everything up to the last completed fragment.
    options.fragmented = true;
    options.fragmentSeconds = 1.0;
    options.syncSeconds = 2.0;  // and a power loss, about two seconds more
    std::string error;
    auto writer = media::MovieWriter::create(outputURL_, fileType_, options, error);
    if (!writer) return WriterError::cannotCreateWriter(error);
    if (!sample.hasFormatDescription()) return WriterError::missingFormatDescription();

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
    auto videoInput = writer->addVideoInput(video);
    if (!videoInput) return WriterError::cannotCreateWriter("无法添加视频写入轨道");

    auto addAudio = [&]() -> std::optional<media::MovieWriter::InputID> {
        media::AudioEncoderSettings audio;
        audio.sampleRate = 48000;
        audio.channels = 2;
        audio.bitRate = 128000;
        return writer->addAudioInput(audio);
    };
    std::optional<media::MovieWriter::InputID> systemInput, microphoneInput;
    if (audioSources_.contains(AudioSource::system)) {
        systemInput = addAudio();
        if (!systemInput)
            return WriterError::cannotCreateWriter(
                "无法添加" + audioTrackLabel(AudioSource::system) + "写入轨道");
    }
    if (audioSources_.contains(AudioSource::microphone)) {
        microphoneInput = addAudio();
        if (!microphoneInput)
            return WriterError::cannotCreateWriter(
                "无法添加" + audioTrackLabel(AudioSource::microphone) + "写入轨道");
    }
    if (!writer->startWriting()) {
        std::string text = writer->errorText();
        return WriterError::cannotCreateWriter(text.empty() ? "无法开始写入" : text);
    }
    writer_ = std::move(writer);
    videoInput_ = videoInput;
    systemAudioInput_ = systemInput;
    microphoneAudioInput_ = microphoneInput;
    return std::nullopt;
}

bool SampleBufferMovieWriter::writerAcceptsSamples() const {
    auto status = writer_->status();
    return status == media::MovieWriter::Status::unknown ||
           status == media::MovieWriter::Status::writing;
}

void SampleBufferMovieWriter::handleVideo(const media::VideoSample& sample) {
    if (!sample.dataReady) return;
    if (!writer_) {
        // A failed set-up is not reported: the next frame tries again from scratch.
        if (setUp(sample)) return;
    }
    if (!writer_ || !videoInput_) return;
    if (!writerAcceptsSamples()) return;
    if (!startedSession_) {
        writer_->startSession(sample.presentationTime);
        startedSession_ = true;
        // Sound captured after this frame but queued before it was set up belongs in the movie;
        // sound from before it is trimmed by its timestamps.
        auto early = std::move(earlyAudio_);
        earlyAudio_.clear();
        earlyAudioFrames_ = 0;
        for (const auto& [audio, source] : early) {
            if (audio.presentationTime.valid &&
                audio.presentationTime + audio.duration() <= sample.presentationTime)
                continue;
            writeAudio(audio, source);
        }
    }
    if (writer_->isReadyForMoreMediaData(*videoInput_)) {
        writer_->append(*videoInput_, sample);
    } else {
        ++droppedVideo_;
    }
}

void SampleBufferMovieWriter::handleAudio(const media::AudioSample& sample, AudioSource source) {
    if (!sample.dataReady) return;
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
    writeAudio(sample, source);
}

void SampleBufferMovieWriter::writeAudio(const media::AudioSample& sample, AudioSource source) {
    const auto& input =
        source == AudioSource::microphone ? microphoneAudioInput_ : systemAudioInput_;
    if (!input) return;
    if (!writerAcceptsSamples()) return;
    if (writer_->isReadyForMoreMediaData(*input)) {
        writer_->append(*input, sample);
    } else {
        ++droppedAudio_;
    }
}

void SampleBufferMovieWriter::handleFinish(Completion completion) {
    auto deliver = [url = outputURL_,
                    completion = std::move(completion)](std::optional<WriterError> error) {
        MainQueue::post([url, completion, error] {
            if (completion) completion(WriterResult{url, error});
        });
    };
    if (!writer_) {
        // No frame ever came: success, although no file was written.
        deliver(std::nullopt);
        return;
    }
    for (const auto& input : {videoInput_, systemAudioInput_, microphoneAudioInput_})
        if (input) writer_->markAsFinished(*input);
    writer_->finishWriting([writer = writer_, deliver]() {
        if (writer->status() == media::MovieWriter::Status::completed) {
            deliver(std::nullopt);
        } else {
            std::string text = writer->errorText();
            deliver(WriterError::writerFailed(text.empty() ? "写入失败" : text));
        }
    });
}

}  // namespace zimlo
