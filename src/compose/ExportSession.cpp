#include "compose/ExportSession.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>

#include "compose/ExportBuffers.h"
#include "compose/PiPVideoCompositor.h"
#include "compose/TrackCursor.h"
#include "model/MediaErrorText.h"
#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"
#include "platform/media/MovieWriter.h"
#include "platform/runtime/FirstErrorSlot.h"
#include "platform/runtime/Threads.h"

namespace zimlo::compose {

using media::MediaTime;
using media::MovieWriter;

int64_t outputFrameCount(double seconds, int framesPerSecond) {
    if (!(seconds > 0) || framesPerSecond <= 0) return 0;
    // Frame n starts at n / fps; a frame starting at the very end is not part of the movie.
    return std::max<int64_t>(1, static_cast<int64_t>(std::ceil(seconds * framesPerSecond - 1e-6)));
}

struct ExportSession::State {
    VideoCompositor::Built built;
    std::filesystem::path url;
    int fps = 30;
    Stages stages = Stages::all;
    std::shared_ptr<MovieWriter> writer;
    MovieWriter::InputID videoInput = 0;
    std::optional<MovieWriter::InputID> audioInput;
    std::vector<const CompositionTrack*> soundTracks;  // those that can be read
    const CompositionTrack* copiedAudio = nullptr;     // the one sound track, copied unchanged
    std::shared_ptr<const media::MovieAsset> mainAsset;
    std::shared_ptr<const media::MovieAsset> cameraAsset;

    std::unique_ptr<PiPVideoCompositor> compositor;
    std::shared_ptr<RenderContext> renderContext;
    FirstErrorSlot<std::string> error;

    // guards: soundEnd, inFlight, written, frameCount, mainPictures, mediaFrames (frameCount is
    // written only by the export thread, which also reads it without the lock)
    std::mutex mutex;
    std::condition_variable changed;
    // Where the sound that was read ends, once all of it is read; the pictures go on at most
    // that far after the main movie's own pictures end.
    std::optional<MediaTime> soundEnd;
    int inFlight = 0;
    int64_t written = 0;
    int64_t frameCount = 0;
    // Frames the main movie had a picture for, frames the writer took, and how many frames
    // the main movie's pictures span by its own account (0: it does not say).
    int64_t mainPictures = 0;
    std::atomic<int64_t> appended{0};
    int64_t mediaFrames = 0;

    Finished finished;
    Progress progress;
    std::atomic<bool> ended{false};  // the outcome is settled; a cancel comes too late

    // Ends the export with `text` for the user, unless it already ended. `reason` goes to the
    // log; none when the reader or writer that failed has logged it.
    void fail(const std::string& text, const std::string& reason = {}) {
        if (error.offer(text)) {
            if (!reason.empty()) {
                ZIMLO_LOG_ERROR("export") << "exporting " << url << ": " << reason;
            }
            writer->cancelWriting();
        }
        changed.notify_all();
    }
    bool failed() const { return error.hasError(); }

    void run();
    void feedVideo();
    std::unique_ptr<TrackCursor> openCursor(TrackID id,
                                            std::shared_ptr<const media::MovieAsset>& asset,
                                            std::string& why);
    void writeAudio();
    void frameRendered(int64_t index, VideoCompositionRequest::Result result);
    // No sound goes on at `time`: there is none, or all of it is read and it ends before.
    bool mediaOver(MediaTime time);
    void soundRead(MediaTime end);
    // The sound stops here (it cannot be read, or no further); the pictures go on.
    void endSound(MediaTime end, const std::string& why);
    bool appendWhenReady(MovieWriter::InputID input, auto sample);
    std::string writerText(const char* otherwise) const;
    // Fails an export whose movie would hold no picture, or far fewer than its span.
    void checkPicturesWritten();
};

std::shared_ptr<ExportSession> ExportSession::create(const VideoCompositor::Built& built,
                                                     const std::filesystem::path& outputPath,
                                                     const ExportEncoderSettings& encoder,
                                                     int framesPerSecond, Stages stages) {
    auto state = std::make_shared<State>();
    state->built = built;
    state->url = outputPath;
    state->fps = std::max(framesPerSecond, 1);
    state->stages = stages;
    auto refuse = [&](const std::string& why) -> std::shared_ptr<ExportSession> {
        ZIMLO_LOG_ERROR("export") << "setting up the export to " << outputPath << ": " << why;
        return nullptr;
    };
    const auto& video = built.videoComposition;
    if (video.instructions.empty() || video.renderWidth <= 0 || video.renderHeight <= 0)
        return refuse("nothing to draw (" + std::to_string(video.renderWidth) + "x" +
                      std::to_string(video.renderHeight) + ", " +
                      std::to_string(video.instructions.size()) + " instructions)");

    media::MovieWriterOptions options;
    options.fastStart = true;
    options.videoQueueCapacity = kWriterVideoQueue;
    auto writer = MovieWriter::create(outputPath, media::MovieFileType::mpeg4, options);
    if (!writer.ok()) return nullptr;  // the writer says why
    state->writer = std::move(writer).value();

    media::VideoEncoderSettings settings;
    settings.width = video.renderWidth;
    settings.height = video.renderHeight;
    settings.averageBitRate = encoder.averageBitRate;
    settings.expectedFrameRate = state->fps;
    settings.preset = encoder.x264Preset;
    settings.minQuantizer = encoder.minQuantizer;
    settings.maxBFrames = encoder.maxBFrames;
    // Frames are drawn in the encoder's own format and handed over as they are.
    settings.pictureFormat = media::PixelFormat::NV12VideoRange;
    auto videoInput = state->writer->addVideoInput(settings);
    if (!videoInput.ok()) return refuse("no video encoder: " + videoInput.error().technicalText());
    state->videoInput = *videoInput;

    // Sound: a single track is copied as it is when the movie can hold its format; otherwise
    // the tracks are decoded, mixed and encoded. A track that can be neither is left out, and
    // the picture goes on without it.
    std::vector<const CompositionTrack*> audioTracks;
    for (const auto& track : state->built.composition.tracks)
        if (track.mediaType == media::MediaType::audio && track.sourceRange)
            audioTracks.push_back(&track);
    if (!audioTracks.empty()) {
        auto opened = media::MovieAsset::open(audioTracks.front()->sourcePath);
        if (opened) {
            state->mainAsset = *opened;
        } else {
            ZIMLO_LOG_WARN("export") << "leaving out the sound of "
                                     << audioTracks.front()->sourcePath << ": " << opened.error();
            audioTracks.clear();
        }
    }
    auto formatOf = [&](const CompositionTrack* track) -> const media::FormatDescription* {
        const auto* source = state->mainAsset->track(track->sourceTrackID);
        return source && !source->formatDescriptions.empty() ? &source->formatDescriptions.front()
                                                             : nullptr;
    };
    for (const auto* track : audioTracks) {
        const auto* format = formatOf(track);
        const bool copied = audioTracks.size() == 1 && format &&
                            MovieWriter::canStore(media::MovieFileType::mpeg4, *format);
        if (copied || (format && format->isDecodable())) {
            state->soundTracks.push_back(track);
            if (copied) state->copiedAudio = track;
        } else {
            ZIMLO_LOG_WARN("export")
                << "leaving out sound track " << track->sourceTrackID << " of " << track->sourcePath
                << ": its format (" << (format ? format->codecName() : "unknown")
                << ") cannot be read";
        }
    }
    if (state->copiedAudio) {
        auto input = state->writer->addPassthroughInput(*formatOf(state->copiedAudio));
        if (!input.ok())
            return refuse("the sound cannot be copied: " + input.error().technicalText());
        state->audioInput = *input;
    } else if (!state->soundTracks.empty()) {
        media::AudioEncoderSettings audio;
        audio.bitRate = 192000;
        auto input = state->writer->addAudioInput(audio);
        if (!input.ok()) return refuse("no sound encoder: " + input.error().technicalText());
        state->audioInput = *input;
    }

    auto session = std::shared_ptr<ExportSession>(new ExportSession());
    session->state_ = std::move(state);
    return session;
}

ExportSession::~ExportSession() = default;

void ExportSession::start(Finished finished, Progress progress) {
    state_->finished = std::move(finished);
    state_->progress = std::move(progress);
    // The worker owns the state until it has reported.
    letGo(startThread("export", [state = state_] { state->run(); }));
}

void ExportSession::cancel() {
    if (state_->ended) return;
    ZIMLO_LOG_INFO("export") << "cancelling the export to " << state_->url;
    state_->fail(translate("ExportSession", kCancelledText));
}

std::string ExportSession::State::writerText(const char* otherwise) const {
    const int code = writer->errorCode();
    if (code == ENOSPC || code == EDQUOT) return translate("ExportSession", "磁盘空间不足");
    return userText(writer->error(), translate("ExportSession", otherwise));
}

bool ExportSession::State::appendWhenReady(MovieWriter::InputID input, auto sample) {
    for (;;) {
        if (failed()) return false;
        // A writer that failed (a full disk) never gets ready again.
        if (writer->status() == MovieWriter::Status::failed) {
            fail(writerText(QT_TRANSLATE_NOOP("ExportSession", "无法写入影片")));
            return false;
        }
        if (writer->waitUntilReady(input, kReadyPollSeconds)) break;
    }
    if (writer->append(input, std::move(sample))) return true;
    fail(writerText(QT_TRANSLATE_NOOP("ExportSession", "无法写入影片")));
    return false;
}

void ExportSession::State::checkPicturesWritten() {
    int64_t shown = 0, expected = 0;
    {
        std::lock_guard lock(mutex);
        shown = mainPictures;
        expected = mediaFrames;
    }
    const int64_t taken = appended.load();
    if (shown == 0 || taken == 0) {
        ZIMLO_LOG_ERROR("export") << "no picture of the main movie could be written to " << url;
        fail(withArguments(translate("ExportSession", "无法读取主画面：%1"),
                           {userText(media::MediaError::of(media::MediaError::Kind::noPicture))}));
    } else if (taken * 2 < expected) {
        ZIMLO_LOG_ERROR("export") << "only " << taken << " of the " << expected
                                  << " frames the main movie spans were written to " << url;
        fail(withArguments(translate("ExportSession", "画面不完整：只写入了 %1 帧，应有约 %2 帧"),
                           {std::to_string(taken), std::to_string(expected)}));
    }
}

void ExportSession::State::run() {
    const auto& instruction = *built.videoComposition.instructions.front();
    {
        std::lock_guard lock(mutex);
        frameCount = outputFrameCount(instruction.totalDuration, fps);
    }
    compositor = std::make_unique<PiPVideoCompositor>();
    renderContext =
        RenderContext::make(built.videoComposition.renderWidth, built.videoComposition.renderHeight,
                            kOutputBuffers, media::PixelFormat::NV12VideoRange);
    compositor->renderContextChanged(renderContext);

    if (stages != Stages::all) {
        feedVideo();
    } else if (!writer->start()) {
        error.offer(writerText(QT_TRANSLATE_NOOP("ExportSession", "无法写入影片")));
    } else {
        const auto* main = built.composition.track(instruction.mainTrackID);
        writer->startSession(main && main->sourceRange ? main->sourceRange->start
                                                       : MediaTime::zero());
        std::thread audio;
        if (audioInput) audio = startThread("export-audio", [this] { writeAudio(); });
        feedVideo();
        if (audio.joinable()) audio.join();
        if (!failed()) checkPicturesWritten();
    }
    // No request may still be running when the compositor goes away.
    compositor.reset();

    if (!failed() && stages == Stages::all) {
        std::promise<void> closed;
        writer->finish([&closed] { closed.set_value(); });
        closed.get_future().wait();
        if (writer->status() != MovieWriter::Status::completed)
            error.offer(writerText(QT_TRANSLATE_NOOP("ExportSession", "无法完成影片")));
    }
    ended = true;
    if (auto text = error.value()) {
        writer->cancelWriting();
        std::error_code ignored;
        std::filesystem::remove(url, ignored);  // an unfinished movie is of no use to anyone
        finished(zimlo::fail(*text));
    } else {
        // The frame count may have shrunk after the last frame was counted (the media ended
        // early), so a finished movie says so itself.
        if (progress) progress(1.0);
        finished(Outcome());
    }
}

// A reader of the composition track `id` over its span, from `asset` (opened, or opened again,
// when it is not the track's movie); nothing, with the reason in `why`, when it cannot be read.
std::unique_ptr<TrackCursor> ExportSession::State::openCursor(
    TrackID id, std::shared_ptr<const media::MovieAsset>& asset, std::string& why) {
    const auto* track = built.composition.track(id);
    if (!track || !track->sourceRange) return nullptr;
    if (!asset || asset->url() != track->sourcePath) {
        auto opened = media::MovieAsset::open(track->sourcePath);
        if (!opened) {
            why = userText(opened.error());
            asset.reset();
            return nullptr;
        }
        asset = *opened;
    }
    // Decoding, drawing and encoding already run side by side; frame threads in the decoder
    // would only add their own overhead (about 40% more decoding work here).
    auto reader = media::VideoFrameReader::open(*asset, track->sourceTrackID, track->sourceRange,
                                                media::DecodedPictureFormat::bt709NV12OrBGRA, 1);
    if (!reader) {
        why = userText(reader.error());
        return nullptr;
    }
    return std::make_unique<TrackCursor>(std::move(reader).value(), track->sourceRange->end(),
                                         MediaTime::make(1, fps));
}

void ExportSession::State::feedVideo() {
    const auto& instruction = built.videoComposition.instructions.front();
    std::string text;
    std::shared_ptr<const media::MovieAsset> mainVideoAsset = mainAsset;
    auto main = openCursor(instruction->mainTrackID, mainVideoAsset, text);
    if (!main) {
        fail(withArguments(translate("ExportSession", "无法读取主画面：%1"), {text}));
        return;
    }
    std::unique_ptr<TrackCursor> camera;
    if (instruction->pipTrackID) {
        // A camera movie that cannot be read leaves the camera out, as a missing track would.
        camera = openCursor(*instruction->pipTrackID, cameraAsset, text);
    }
    const auto* mainTrack = built.composition.track(instruction->mainTrackID);
    const MediaTime start = mainTrack->sourceRange->start;
    // The main movie's own account of its pictures bounds what the span should hold.
    if (const auto* stated = mainVideoAsset->track(mainTrack->sourceTrackID)) {
        const double seconds =
            std::min(instruction->totalDuration, (stated->timeRange.end() - start).seconds());
        std::lock_guard lock(mutex);
        if (stated->timeRange.duration.value > 0 && std::isfinite(seconds))
            mediaFrames = outputFrameCount(seconds, fps);
    }

    for (int64_t n = 0; n < frameCount; ++n) {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return inFlight < kFramesInFlight || failed(); });
            if (failed()) break;
            ++inFlight;
        }
        const MediaTime compositionTime = MediaTime::make(n, fps);
        const MediaTime sourceTime = start + compositionTime;
        std::map<TrackID, std::shared_ptr<const media::PixelBuffer>> frames;
        if (auto picture = main->frameAt(sourceTime)) frames[instruction->mainTrackID] = picture;
        if (camera)
            if (auto picture = camera->frameAt(sourceTime))
                frames[*instruction->pipTrackID] = picture;
        if (main->reader().failed()) {
            fail(withArguments(translate("ExportSession", "无法读取主画面：%1"),
                               {userText(main->reader().error())}));
            std::lock_guard lock(mutex);
            --inFlight;
            break;
        }
        // The export is bounded by the media read, not by a duration anyone claims: once the
        // main pictures are over and the sound (if any) has ended too, the movie ends.
        if (main->ended(sourceTime) && mediaOver(sourceTime)) {
            {
                std::lock_guard lock(mutex);
                --inFlight;
                frameCount = n;
            }
            changed.notify_all();
            break;
        }
        if (frames.contains(instruction->mainTrackID)) {
            std::lock_guard lock(mutex);
            ++mainPictures;
        }
        if (stages == Stages::decode) {
            frameRendered(n, {});
            continue;
        }
        auto request = std::make_shared<VideoCompositionRequest>(
            compositionTime, instruction, renderContext, std::move(frames),
            [this, n](VideoCompositionRequest::Result result) {
                frameRendered(n, std::move(result));
            });
        compositor->startVideoCompositionRequest(std::move(request));
    }
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return inFlight == 0; });
}

bool ExportSession::State::mediaOver(MediaTime time) {
    if (!audioInput) return true;
    std::lock_guard lock(mutex);
    return soundEnd && time >= *soundEnd;
}

void ExportSession::State::soundRead(MediaTime end) {
    std::lock_guard lock(mutex);
    soundEnd = end;
}

void ExportSession::State::frameRendered(int64_t index, VideoCompositionRequest::Result result) {
    if (result.error) {
        const std::string code = result.error->domain + " " + std::to_string(result.error->code);
        fail(withArguments(translate("ExportSession", "画面合成失败（%1）"), {code}),
             "drawing frame " + std::to_string(index) + " failed (" + code + ")");
    } else if (!failed() && stages == Stages::all) {
        const auto* main =
            built.composition.track(built.videoComposition.instructions.front()->mainTrackID);
        media::VideoSample sample;
        sample.pixels = std::move(result.frame);
        sample.presentationTime =
            (main && main->sourceRange ? main->sourceRange->start : MediaTime::zero()) +
            MediaTime::make(index, fps);
        if (appendWhenReady(videoInput, std::move(sample))) ++appended;
    }
    int64_t done = 0, total = 0;
    {
        std::lock_guard lock(mutex);
        --inFlight;
        done = ++written;
        total = frameCount;  // shrinks when the media ends early
    }
    changed.notify_all();
    if (progress && total > 0)
        progress(std::min(1.0, static_cast<double>(done) / static_cast<double>(total)));
}

void ExportSession::State::endSound(MediaTime end, const std::string& why) {
    ZIMLO_LOG_WARN("export") << "the sound of " << url << " ends at " << end.seconds()
                             << " s of its source: " << why << "; the picture goes on";
    soundRead(end);
    writer->endInput(*audioInput);
}

void ExportSession::State::writeAudio() {
    const media::TimeRange span = *soundTracks.front()->sourceRange;
    MediaTime end = span.start;
    auto reach = [&](MediaTime start, MediaTime duration) {
        if (!start.valid) return;
        const MediaTime last = duration.valid && duration.value > 0 ? start + duration : start;
        if (last > end) end = last;
    };
    // Sound that cannot be read (any more) ends where it got to; that alone fails nothing.
    auto unreadable = [&](const media::MediaError& error) {
        endSound(end, "reading it failed: " + error.technicalText());
    };

    if (copiedAudio) {
        auto opened = media::TrackPacketReader::open(*mainAsset, copiedAudio->sourceTrackID);
        if (!opened) return unreadable(opened.error());
        auto reader = std::move(opened).value();
        while (auto packet = reader->next()) {
            if (failed()) return;
            // Whole packets: those starting inside the span.
            if (!packet->presentationTime.valid || packet->presentationTime < span.start) continue;
            if (packet->presentationTime >= span.end()) break;
            reach(packet->presentationTime, packet->duration);
            if (!appendWhenReady(*audioInput, std::move(*packet))) return;
        }
        if (reader->failed()) return unreadable(reader->error());
    } else {
        std::vector<media::AudioMixReader::Input> inputs;
        for (const auto* track : soundTracks) {
            const float volume = built.audioMix ? built.audioMix->volumeOf(track->trackID) : 1.0f;
            inputs.push_back({track->sourceTrackID, volume});
        }
        auto opened = media::AudioMixReader::open(*mainAsset, inputs, span);
        if (!opened) return unreadable(opened.error());
        auto reader = std::move(opened).value();
        while (auto sample = reader->next()) {
            if (failed()) return;
            reach(sample->presentationTime, sample->duration());
            if (!appendWhenReady(*audioInput, std::move(*sample))) return;
        }
        if (reader->failed()) return unreadable(reader->error());
    }
    soundRead(end);
    writer->endInput(*audioInput);
}

}  // namespace zimlo::compose
