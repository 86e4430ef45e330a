#include "capture/ScreenRecordingAudioMixer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "model/MediaErrorText.h"
#include "model/Uuid.h"
#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"
#include "platform/media/AssetReader.h"
#include "platform/media/MovieWriter.h"
#include "platform/runtime/FirstErrorSlot.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/WaitGroup.h"

namespace zimlo::capture {

namespace {

// The reader's or writer's words, or `otherwise` when they have none.
std::string causeText(const std::optional<media::MediaError>& cause, const std::string& otherwise) {
    const std::string text = userText(cause, "");
    return text.empty() ? otherwise : text;
}

}  // namespace

std::string MixerError::description() const {
    auto reason = [this]() -> std::string {
        switch (step) {
            case Step::addingVideoOutput:
                return translate("ScreenRecordingAudioMixer", "无法添加视频直通轨道");
            case Step::addingAudioMixOutput:
                return translate("ScreenRecordingAudioMixer", "无法添加双路音频混合轨道");
            case Step::openingMovie:
            case Step::creatingWriter:
            case Step::checkingTracks:
            case Step::waiting:
                return userText(cause, "");
            case Step::startingReaders:
                return causeText(cause, translate("ScreenRecordingAudioMixer", "读取器启动失败"));
            case Step::addingTracks:
                return translate("ScreenRecordingAudioMixer", "无法添加视频或音频输出轨道");
            case Step::startingWriter:
                return userText(cause, translate("ScreenRecordingAudioMixer", "写入器启动失败"));
            case Step::copyingVideo:
                return userText(cause, translate("ScreenRecordingAudioMixer", "视频码流复制失败"));
            case Step::mixingSound:
                return userText(cause, translate("ScreenRecordingAudioMixer", "音频混合写入失败"));
            case Step::reading:
                return causeText(cause, translate("ScreenRecordingAudioMixer", "读取录屏文件失败"));
            case Step::finishing:
                return userText(cause, translate("ScreenRecordingAudioMixer", "混音文件写入失败"));
        }
        return userText(cause, "");
    };
    switch (kind) {
        case Kind::cannotCreateReader:
            return withArguments(translate("ScreenRecordingAudioMixer", "无法读取录屏音频：%1"),
                                 {reason()});
        case Kind::cannotCreateWriter:
            return withArguments(translate("ScreenRecordingAudioMixer", "无法创建混音文件：%1"),
                                 {reason()});
        case Kind::cannotStartProcessing:
            return withArguments(translate("ScreenRecordingAudioMixer", "无法开始同步声音：%1"),
                                 {reason()});
        case Kind::processingFailed:
            return withArguments(
                translate("ScreenRecordingAudioMixer", "电脑声音与麦克风混合失败：%1"), {reason()});
        case Kind::missingVideoTrack:
            return translate("ScreenRecordingAudioMixer", "录屏文件缺少视频轨道");
        case Kind::missingVideoFormat:
            return translate("ScreenRecordingAudioMixer", "录屏文件缺少视频格式信息");
        case Kind::processingTimedOut:
            return translate("ScreenRecordingAudioMixer", "同步电脑声音与输入设备声音超时");
    }
    return reason();
}

namespace ScreenRecordingAudioMixer {

namespace {

// The first audio track (system sound) is lowered so the voice stays clear over it.
constexpr float kFirstTrackVolume = 0.8f;
constexpr float kOtherTrackVolume = 1.0f;
constexpr int64_t kMixedAudioBitRate = 192000;

std::mutex directoryMutex;  // guards: customDirectory
std::filesystem::path customDirectory;

SerialQueue& mixerQueue() {
    static SerialQueue queue(".mac.screen-audio-mixer");
    return queue;
}

// Set when a run's finish reports back; shared so a late report after a time-out is harmless.
struct FinishSignal {
    std::mutex mutex;  // guards: finished
    std::condition_variable done;
    bool finished = false;
};

// One mix: the movie's sound tracks mixed into one beside its picture, which is copied as it is,
// into a new movie in `directory`.
class Mix {
  public:
    Mix(std::filesystem::path inputPath, MixOptions options)
        : inputPath_(std::move(inputPath)),
          options_(std::move(options)),
          outputPath_((options_.directory.empty() ? outputDirectory() : options_.directory) /
                      ("zimlo_screen_mixed_" + Uuid::generate().uuidString() + ".mov")) {}

    MixerResult run();

  private:
    // The readers and the writer log what they report; the mixer's own findings are logged here.
    void logged(const char* what) const {
        ZIMLO_LOG_WARN("mixer") << "mixing the sound of " << inputPath_ << ": " << what;
    }
    // A failure once the output may exist: it goes.
    MixerResult failed(MixerError mixerError) const {
        std::error_code ignored;
        std::filesystem::remove(outputPath_, ignored);
        return fail(std::move(mixerError));
    }
    MixerResult readerFailed(const media::MediaError& error, MixerError::Step taking) const;
    std::optional<MixerResult> openReaders(const media::MovieAsset& asset,
                                           const media::AssetTrack& videoTrack,
                                           const std::vector<media::AssetTrack>& audioTracks);
    std::optional<MixerResult> openWriter(const media::AssetTrack& videoTrack);
    std::optional<MixerError> copy(double timeout, const std::optional<media::MediaError>& fault);
    MixerResult finish();

    const std::filesystem::path inputPath_;
    const MixOptions options_;
    const std::filesystem::path outputPath_;
    std::unique_ptr<media::TrackPacketReader> videoOutput_;
    std::unique_ptr<media::AudioMixReader> audioOutput_;
    std::shared_ptr<media::MovieWriter> writer_;
    media::MovieWriter::InputID videoInput_{}, audioInput_{};
};

MixerResult Mix::run() {
    using media::MediaType;
    auto opened = media::MovieAsset::open(inputPath_);
    // A movie that cannot be read is reported rather than passed back as if there were nothing to
    // mix.
    if (!opened) return fail(MixerError::cannotCreateReader(opened.error()));
    const auto asset = std::move(opened).value();
    auto audioTracks = asset->tracks(MediaType::audio);
    if (audioTracks.size() < 2) return inputPath_;
    auto videoTracks = asset->tracks(MediaType::video);
    if (videoTracks.empty()) {
        logged("no video track");
        return fail(MixerError::missingVideoTrack());
    }
    const media::AssetTrack& videoTrack = videoTracks.front();
    if (videoTrack.formatDescriptions.empty()) {
        logged("the video track has no format");
        return fail(MixerError::missingVideoFormat());
    }
    if (auto failure = openReaders(*asset, videoTrack, audioTracks)) return std::move(*failure);
    if (auto failure = openWriter(videoTrack)) return std::move(*failure);

    const double timeout = options_.copyTimeoutSeconds.value_or(
        timeoutSeconds(videoTrack.timeRange.duration.seconds()));
    const std::optional<media::MediaError>& fault = options_.readFault;
    if (auto copyError = copy(timeout, fault)) {
        videoOutput_->cancel();
        audioOutput_->cancel();
        writer_->cancelWriting();
        return failed(*copyError);
    }
    for (const media::TrackReaderBase* reader :
         {static_cast<const media::TrackReaderBase*>(videoOutput_.get()),
          static_cast<const media::TrackReaderBase*>(audioOutput_.get())}) {
        const bool faulty = fault && reader == audioOutput_.get();
        if (reader->failed() || faulty) {
            writer_->cancelWriting();
            return failed(MixerError::processingFailed(MixerError::Step::reading,
                                                       faulty ? *fault : reader->error()));
        }
    }
    return finish();
}

// A track that is not there, or stored in a format nothing here decodes, cannot be taken;
// anything else failed as reading started.
MixerResult Mix::readerFailed(const media::MediaError& error, MixerError::Step taking) const {
    using Kind = media::MediaError::Kind;
    const bool untakable = error.kind == Kind::noSuchTrack ||
                           error.kind == Kind::noSuchAudioTrack ||
                           error.kind == Kind::unsupportedCodec;
    if (untakable) {
        logged(taking == MixerError::Step::addingVideoOutput
                   ? "the video track cannot be copied"
                   : "the sound tracks cannot be decoded");
        return failed(MixerError::cannotCreateReader(error, taking));
    }
    return failed(MixerError::cannotStartProcessing(MixerError::Step::startingReaders, error));
}

// The readers come first, so that a movie that cannot be read never gets a writer. Opening one
// takes its tracks and starts reading the file.
std::optional<MixerResult> Mix::openReaders(const media::MovieAsset& asset,
                                            const media::AssetTrack& videoTrack,
                                            const std::vector<media::AssetTrack>& audioTracks) {
    auto videoOpened = media::TrackPacketReader::open(asset, videoTrack.trackID);
    if (!videoOpened) return readerFailed(videoOpened.error(), MixerError::Step::addingVideoOutput);
    videoOutput_ = std::move(videoOpened).value();
    std::vector<media::AudioMixReader::Input> mixInputs;
    for (size_t i = 0; i < audioTracks.size(); ++i)
        mixInputs.push_back(
            {audioTracks[i].trackID, i == 0 ? kFirstTrackVolume : kOtherTrackVolume});
    auto audioOpened = media::AudioMixReader::open(asset, mixInputs);
    if (!audioOpened)
        return readerFailed(audioOpened.error(), MixerError::Step::addingAudioMixOutput);
    audioOutput_ = std::move(audioOpened).value();
    return std::nullopt;
}

std::optional<MixerResult> Mix::openWriter(const media::AssetTrack& videoTrack) {
    using media::MovieWriter;
    // The name is claimed before anything is written: a file of that name is someone else's
    // (and not ours to delete), and a folder that cannot take the file fails here.
    if (const int fd = ::open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        fd >= 0) {
        ::close(fd);
    } else {
        const auto error = media::MediaError::system(errno);
        ZIMLO_LOG_WARN("mixer") << "creating " << outputPath_ << ": " << error;
        return fail(MixerError::cannotCreateWriter(MixerError::Step::creatingWriter, error));
    }
    auto created = MovieWriter::create(outputPath_, media::MovieFileType::quickTimeMovie, {});
    if (!created.ok())
        return failed(
            MixerError::cannotCreateWriter(MixerError::Step::creatingWriter, created.error()));
    writer_ = std::move(created).value();

    auto videoInput = writer_->addPassthroughInput(videoTrack.formatDescriptions.front(),
                                                   videoTrack.preferredTransform);
    media::AudioEncoderSettings audioSettings;
    audioSettings.bitRate = kMixedAudioBitRate;
    auto audioInput = videoInput.ok() ? writer_->addAudioInput(audioSettings) : videoInput;
    if (!videoInput.ok() || !audioInput.ok())
        return failed(MixerError::cannotCreateWriter(
            MixerError::Step::addingTracks,
            !videoInput.ok() ? videoInput.error() : audioInput.error()));
    videoInput_ = *videoInput;
    audioInput_ = *audioInput;
    if (!writer_->start())
        return failed(
            MixerError::cannotStartProcessing(MixerError::Step::startingWriter, writer_->error()));
    writer_->startSession(media::MediaTime::zero());
    return std::nullopt;
}

// Copies the picture and writes the mixed sound, each on a queue of its own, within `timeout`;
// the first failure, if any.
std::optional<MixerError> Mix::copy(double timeout, const std::optional<media::MediaError>& fault) {
    using media::MovieWriter;
    WaitGroup group;
    FirstErrorSlot<MixerError> firstError;
    group.enter();
    group.enter();
    auto cancelReading = [&] {
        videoOutput_->cancel();
        audioOutput_->cancel();
    };
    // Pulls from `next` and appends while the writer takes more; ends the loop at the end of
    // the samples or at the first failure.
    auto copyLoop = [&](MovieWriter::InputID input, auto next, MixerError::Step step) {
        for (;;) {
            if (!writer_->waitUntilReady(input, 0.5)) {
                auto status = writer_->status();
                if (status == MovieWriter::Status::writing && !videoOutput_->isCancelled())
                    continue;
                if (status == MovieWriter::Status::failed) {
                    firstError.offer(MixerError::processingFailed(step, writer_->error()));
                    cancelReading();
                }
                break;
            }
            auto sample = next();
            if (!sample) break;
            if (!writer_->append(input, std::move(*sample))) {
                // Only a failed writer has an error; a cancelled one refuses without.
                firstError.offer(MixerError::processingFailed(step, writer_->error()));
                cancelReading();
                break;
            }
        }
        writer_->endInput(input);
        group.leave();
    };
    {
        // Declared after everything the loops use, so they are joined before it goes away.
        SerialQueue videoQueue(".mac.screen-audio-mixer.video");
        SerialQueue audioQueue(".mac.screen-audio-mixer.audio");
        videoQueue.async([&] {
            copyLoop(
                videoInput_, [&] { return videoOutput_->next(); }, MixerError::Step::copyingVideo);
        });
        audioQueue.async([&] {
            copyLoop(
                audioInput_,
                [&]() -> std::optional<media::AudioSample> {
                    if (fault) return std::nullopt;
                    return audioOutput_->next();
                },
                MixerError::Step::mixingSound);
        });
        if (!group.wait(timeout)) {
            logged("copying timed out");
            firstError.offer(MixerError::processingTimedOut());
            cancelReading();
            writer_->cancelWriting();
        }
    }
    return firstError.value();
}

// Ends the movie, waiting at most the finish time-out for the writer to say it is done.
MixerResult Mix::finish() {
    const double finishTimeout = options_.finishTimeoutSeconds;
    auto signal = std::make_shared<FinishSignal>();
    writer_->finish([signal] {
        std::lock_guard lock(signal->mutex);
        signal->finished = true;
        signal->done.notify_all();
    });
    {
        std::unique_lock lock(signal->mutex);
        if (!signal->done.wait_for(lock, std::chrono::duration<double>(finishTimeout),
                                   [&] { return signal->finished; })) {
            lock.unlock();
            logged("finishing the movie timed out");
            writer_->cancelWriting();
            return failed(MixerError::processingTimedOut());
        }
    }
    if (writer_->status() == media::MovieWriter::Status::completed) return outputPath_;
    return failed(MixerError::processingFailed(MixerError::Step::finishing, writer_->error()));
}

}  // namespace

double timeoutSeconds(double videoSeconds) {
    if (!std::isfinite(videoSeconds) || videoSeconds <= 0) return 300;
    return std::clamp(2 * videoSeconds + 60, 300.0, 3600.0);
}

void setOutputDirectory(std::filesystem::path directory) {
    std::lock_guard lock(directoryMutex);
    customDirectory = std::move(directory);
}

std::filesystem::path outputDirectory() {
    std::lock_guard lock(directoryMutex);
    if (!customDirectory.empty()) return customDirectory;
    std::error_code ignored;
    auto temporary = std::filesystem::temp_directory_path(ignored);
    return temporary.empty() ? std::filesystem::path("/tmp") : temporary;
}

void mixAudio(std::filesystem::path inputPath, Completion completion, MixOptions options) {
    mixerQueue().async([inputPath = std::move(inputPath), completion = std::move(completion),
                        options = std::move(options)] {
        MixerResult result = Mix(inputPath, options).run();
        MainQueue::post([completion, result = std::move(result)] {
            if (completion) completion(result);
        });
    });
}

}  // namespace ScreenRecordingAudioMixer

}  // namespace zimlo::capture
