#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/media/AssetDecoding.h"
#include "platform/media/AssetReader.h"
#include "platform/media/FFmpegSupport.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zimlo::media {

using namespace detail;

namespace {

constexpr int kChunkFrames = 4096;
constexpr double kMixPlacementToleranceSeconds = 0.02;

struct MixTrack {
    int streamIndex = -1;
    float volume = 1;
    CodecContextPtr decoder;
    SwrContext* resampler = nullptr;
    std::vector<float> buffer;  // interleaved stereo, starting at the mix's current position
    int64_t endFrame = -1;      // mix position where the track's stored span ends; -1 unknown
    // What follows the buffer after gaps in the track's timestamps: each gap's silence is made
    // as the mix reaches it, a chunk at a time, so a jump of hours costs no memory.
    struct AfterGap {
        int64_t silence = 0;
        std::vector<float> samples;
    };
    std::deque<AfterGap> afterGaps;
    int64_t afterGapFrames = 0;
    bool placedAny = false;
    bool ended = false;

    ~MixTrack() { swr_free(&resampler); }
    int64_t bufferedFrames() const {
        return static_cast<int64_t>(buffer.size() / AudioMixReader::kChannels) + afterGapFrames;
    }
    void addSilence(int64_t frames) {
        afterGaps.push_back({frames, {}});
        afterGapFrames += frames;
    }
    void addSamples(const float* from, const float* to) {
        if (afterGaps.empty()) {
            buffer.insert(buffer.end(), from, to);
        } else {
            afterGaps.back().samples.insert(afterGaps.back().samples.end(), from, to);
            afterGapFrames += (to - from) / AudioMixReader::kChannels;
        }
    }
    // Keeps only the first `frames` of what is buffered (the buffer, then the gaps' silence and
    // what follows each).
    void keepFirst(int64_t frames) {
        constexpr int kChannels = AudioMixReader::kChannels;
        frames = std::max<int64_t>(frames, 0);
        const auto inBuffer = static_cast<int64_t>(buffer.size() / kChannels);
        if (inBuffer >= frames) {
            buffer.resize(static_cast<size_t>(frames) * kChannels);
            afterGaps.clear();
            afterGapFrames = 0;
            return;
        }
        int64_t left = frames - inBuffer;
        afterGapFrames = 0;
        for (auto gap = afterGaps.begin(); gap != afterGaps.end(); ++gap) {
            if (left <= 0) {
                afterGaps.erase(gap, afterGaps.end());
                break;
            }
            gap->silence = std::min(gap->silence, left);
            left -= gap->silence;
            const auto samples = std::min(static_cast<int64_t>(gap->samples.size() / kChannels),
                                          std::max<int64_t>(left, 0));
            gap->samples.resize(static_cast<size_t>(samples) * kChannels);
            left -= samples;
            afterGapFrames += gap->silence + samples;
        }
    }
    // Moves what follows the buffer into it until it holds `frames` (or all there is).
    void makeReady(int64_t frames) {
        constexpr int kChannels = AudioMixReader::kChannels;
        while (static_cast<int64_t>(buffer.size() / kChannels) < frames && !afterGaps.empty()) {
            AfterGap& next = afterGaps.front();
            const int64_t zeros =
                std::min(next.silence, frames - static_cast<int64_t>(buffer.size() / kChannels));
            buffer.insert(buffer.end(), static_cast<size_t>(zeros) * kChannels, 0.0f);
            next.silence -= zeros;
            afterGapFrames -= zeros;
            if (next.silence > 0) break;
            buffer.insert(buffer.end(), next.samples.begin(), next.samples.end());
            afterGapFrames -= static_cast<int64_t>(next.samples.size() / kChannels);
            afterGaps.pop_front();
        }
    }
};

}  // namespace

struct AudioMixReader::Impl {
    std::filesystem::path url;
    FormatInputPtr format;
    PacketPtr packet;
    FramePtr frame;
    std::vector<std::unique_ptr<MixTrack>> tracks;
    MediaTime origin = MediaTime::zero();  // time of mix position 0
    int64_t limit = -1;                    // frames to deliver, -1: all
    int64_t position = 0;                  // frames delivered so far
    bool endOfFile = false;
    // A movie still being written: its end waits for setSpan.
    bool waitsForSpan = false;

    MixTrack* trackOf(int streamIndex) {
        for (auto& track : tracks)
            if (track->streamIndex == streamIndex) return track.get();
        return nullptr;
    }

    MediaResult<void> place(MixTrack& track, const AVFrame* decoded) {
        if (!track.resampler) {
            AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_STEREO;
            AVChannelLayout inLayout{};
            if (decoded->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
                decoded->ch_layout.nb_channels == 0)
                av_channel_layout_default(&inLayout, std::max(decoded->ch_layout.nb_channels, 1));
            else
                av_channel_layout_copy(&inLayout, &decoded->ch_layout);
            int result = swr_alloc_set_opts2(
                &track.resampler, &outLayout, AV_SAMPLE_FMT_FLT, kSampleRate, &inLayout,
                static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate, 0, nullptr);
            int inChannels = inLayout.nb_channels;
            av_channel_layout_uninit(&inLayout);
            if (result >= 0) duplicateMonoToStereo(track.resampler, inChannels, kChannels);
            if (result < 0 || swr_init(track.resampler) < 0)
                return fail(MediaError::of(MediaError::Kind::soundConversion));
        }
        int capacity = swr_get_out_samples(track.resampler, decoded->nb_samples);
        std::vector<float> converted(static_cast<size_t>(std::max(capacity, 0)) * kChannels);
        uint8_t* out[1] = {reinterpret_cast<uint8_t*>(converted.data())};
        int produced =
            swr_convert(track.resampler, out, capacity,
                        const_cast<const uint8_t**>(decoded->extended_data), decoded->nb_samples);
        if (produced < 0) return fail(MediaError::library(produced));
        append(track, converted.data(), produced, decoded);
        return {};
    }

    void append(MixTrack& track, const float* samples, int64_t count, const AVFrame* decoded) {
        int64_t skip = 0;
        int64_t ticks = decoded ? decoded->best_effort_timestamp : AV_NOPTS_VALUE;
        MediaTime time = mediaTime(ticks, format->streams[track.streamIndex]->time_base);
        int64_t end = position + track.bufferedFrames();
        if (time.valid) {
            int64_t at = (time - origin).convertedTo(kSampleRate).value;
            int64_t offset = at - end;
            auto tolerance = static_cast<int64_t>(kMixPlacementToleranceSeconds * kSampleRate);
            if (!track.placedAny || offset > tolerance) {
                if (offset > 0)
                    track.addSilence(offset);
                else
                    skip = -offset;
            } else if (offset < -tolerance) {
                skip = -offset;
            }
        }
        track.placedAny = true;
        if (track.endFrame >= 0) {
            // What the encoder padded its last frame with is not part of the sound.
            const int64_t room = track.endFrame - (position + track.bufferedFrames());
            count = std::min(count, skip + std::max<int64_t>(room, 0));
        }
        if (skip >= count) return;
        track.addSamples(samples + skip * kChannels, samples + count * kChannels);
    }

    // Reads and decodes until every live track has a chunk or the file ends.
    MediaResult<void> fill(const std::atomic<bool>& cancelled) {
        auto ready = [&] {
            for (auto& track : tracks)
                if (!track->ended && track->bufferedFrames() < kChunkFrames) return false;
            return true;
        };
        while (!ready() && !cancelled) {
            if (endOfFile) break;
            int result = av_read_frame(format.get(), packet.get());
            if (result == AVERROR_EOF) {
                endOfFile = true;
                for (auto& track : tracks) {
                    avcodec_send_packet(track->decoder.get(), nullptr);
                    if (auto drained = drain(*track); !drained) return drained;
                    track->ended = true;
                }
                break;
            }
            if (result < 0) return fail(MediaError::library(result));
            MixTrack* track = trackOf(packet->stream_index);
            if (track && !(packet->flags & AV_PKT_FLAG_CORRUPT) &&
                avcodec_send_packet(track->decoder.get(), packet.get()) >= 0) {
                if (auto drained = drain(*track); !drained) {
                    av_packet_unref(packet.get());
                    return drained;
                }
            }
            av_packet_unref(packet.get());
        }
        return {};
    }

    MediaResult<void> drain(MixTrack& track) {
        for (;;) {
            int result = avcodec_receive_frame(track.decoder.get(), frame.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return {};
            if (result < 0) return fail(MediaError::library(result));
            auto placed = place(track, frame.get());
            av_frame_unref(frame.get());
            if (!placed) return placed;
        }
    }
};

AudioMixReader::~AudioMixReader() = default;

MediaResult<std::unique_ptr<AudioMixReader>> AudioMixReader::open(const MovieAsset& asset,
                                                                  const std::vector<Input>& inputs,
                                                                  std::optional<TimeRange> range) {
    constexpr const char* doing = "mixing the sound of";
    if (inputs.empty())
        return logged(MediaError::of(MediaError::Kind::noAudioTracks), doing, asset.url());
    std::unique_ptr<AudioMixReader> reader(new AudioMixReader());
    reader->impl_ = std::make_unique<Impl>();
    Impl& impl = *reader->impl_;
    impl.url = asset.url();
    std::vector<int> streams;
    for (const auto& input : inputs) {
        const AssetTrack* track = asset.track(input.trackID);
        if (!track || track->mediaType != MediaType::audio)
            return logged(MediaError::of(MediaError::Kind::noSuchAudioTrack), doing, asset.url());
        streams.push_back(track->streamIndex);
    }
    auto format = openForReading(asset, streams, std::nullopt, &reader->cancelled_);
    if (!format) return logged(std::move(format).error(), doing, asset.url());
    impl.format = std::move(format).value();
    for (size_t i = 0; i < inputs.size(); ++i) {
        auto track = std::make_unique<MixTrack>();
        track->streamIndex = streams[i];
        track->volume = inputs[i].volume;
        auto decoder = openDecoder(impl.format->streams[streams[i]]);
        if (!decoder) return logged(std::move(decoder).error(), doing, asset.url());
        track->decoder = std::move(decoder).value();
        impl.tracks.push_back(std::move(track));
    }
    impl.packet.reset(av_packet_alloc());
    impl.frame.reset(av_frame_alloc());
    impl.waitsForSpan = asset.growingFile() != nullptr;
    if (range) {
        impl.origin = range->start;
        if (range->duration.valid) impl.limit = range->duration.convertedTo(kSampleRate).value;
        seekTo(impl.format.get(), streams[0], range->start);
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        const TimeRange& span = asset.track(inputs[i].trackID)->timeRange;
        if (span.duration.valid && span.duration > MediaTime::zero())
            impl.tracks[i]->endFrame = (span.end() - impl.origin).convertedTo(kSampleRate).value;
    }
    return reader;
}

void AudioMixReader::setSpan(const MovieAsset& finished, const TimeRange& range) {
    Impl& impl = *impl_;
    impl.waitsForSpan = false;
    if (range.duration.valid)
        impl.limit = (range.start + range.duration - impl.origin).convertedTo(kSampleRate).value;
    for (auto& track : impl.tracks) {
        for (const auto& described : finished.tracks()) {
            if (described.streamIndex != track->streamIndex) continue;
            const TimeRange& span = described.timeRange;
            if (!span.duration.valid || span.duration <= MediaTime::zero()) break;
            track->endFrame = (span.end() - impl.origin).convertedTo(kSampleRate).value;
            // Read before its end was known: what lies past it (the encoder's padding of the
            // last frame) goes, as it would have at decoding.
            track->keepFirst(track->endFrame - impl.position);
            break;
        }
    }
}

std::optional<AudioSample> AudioMixReader::next() {
    Impl& impl = *impl_;
    if (cancelled_ || error_) return std::nullopt;
    if (auto filled = impl.fill(cancelled_); !filled) {
        setError(std::move(filled).error(), "mixing the sound of", impl.url);
        return std::nullopt;
    }
    if (cancelled_) return std::nullopt;
    int64_t count = 0;
    for (auto& track : impl.tracks) count = std::max(count, track->bufferedFrames());
    count = std::min<int64_t>(count, kChunkFrames);
    if (impl.limit >= 0) count = std::min(count, impl.limit - impl.position);
    if (count <= 0) return std::nullopt;
    // The last, short chunk of a growing movie: where its tracks end is not known yet.
    if (impl.waitsForSpan && count < kChunkFrames) return std::nullopt;

    AudioSample out;
    out.format = SampleFormat::Float32;
    out.sampleRate = kSampleRate;
    out.channels = kChannels;
    out.data.assign(static_cast<size_t>(count) * kChannels * sizeof(float), 0);
    auto* mix = reinterpret_cast<float*>(out.data.data());
    for (auto& track : impl.tracks) {
        track->makeReady(count);
        const int64_t available =
            std::min(count, static_cast<int64_t>(track->buffer.size() / kChannels));
        const float* source = track->buffer.data();
        const float volume = track->volume;
        for (int64_t i = 0; i < available * kChannels; ++i) mix[i] += volume * source[i];
        track->buffer.erase(track->buffer.begin(), track->buffer.begin() + available * kChannels);
    }
    out.presentationTime = impl.origin + MediaTime::make(impl.position, kSampleRate);
    impl.position += count;
    return out;
}

}  // namespace zimlo::media
