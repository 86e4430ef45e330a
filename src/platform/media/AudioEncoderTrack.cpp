#include "platform/media/AudioEncoderTrack.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
}

namespace zimlo::media {

namespace {

// Sound more than this far from where it belongs is moved there (silence or trimming);
// smaller jitter of capture timestamps is absorbed.
constexpr double kAudioPlacementToleranceSeconds = 0.02;
// A gap may take sound at most this far past the pictures given so far (past its own track's
// end when there are none). A sound server away for an hour still has the pictures going on;
// a jump of hours past everything is a broken timestamp, whose silence would take minutes to
// encode: it fails the writer instead.
constexpr int64_t kSoundLeadLimitSeconds = 600;

AVSampleFormat avSampleFormat(SampleFormat format) {
    switch (format) {
        case SampleFormat::Float32:
            return AV_SAMPLE_FMT_FLT;
        case SampleFormat::Int16:
            return AV_SAMPLE_FMT_S16;
        case SampleFormat::Int32:
            return AV_SAMPLE_FMT_S32;
    }
    return AV_SAMPLE_FMT_NONE;
}

}  // namespace

MediaResult<std::unique_ptr<AudioEncoderTrack>> AudioEncoderTrack::create(
    const AudioEncoderSettings& settings, TrackOutput& output) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        return refuseTrack(output, "adding the sound track",
                           MediaError::of(MediaError::Kind::noEncoder, "AAC"));
    }
    if (settings.sampleRate <= 0 || settings.channels <= 0) {
        return refuseTrack(output, "adding the sound track",
                           MediaError::of(MediaError::Kind::invalidSoundFormat));
    }
    auto created = output.newStream();
    if (!created.ok()) return zimlo::fail(std::move(created).error());
    AVStream* stream = *created;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    AVCodecContext* encoder = context.get();
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = settings.sampleRate;
    av_channel_layout_default(&encoder->ch_layout, settings.channels);
    encoder->bit_rate = settings.bitRate;
    encoder->profile = FF_PROFILE_AAC_LOW;
    encoder->time_base = AVRational{1, settings.sampleRate};
    if (output.wantsGlobalHeader()) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The fast coder: on speech and music it takes a third of the two-loop search's CPU at the
    // same rate and a like signal-to-noise ratio (only pure tones cost it more).
    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_coder", "fast", 0);
    int result = avcodec_open2(encoder, codec, &options);
    av_dict_free(&options);
    if (result < 0) {
        return refuseTrack(output, "adding the sound track", MediaError::library(result));
    }
    avcodec_parameters_from_context(stream->codecpar, encoder);
    stream->time_base = encoder->time_base;
    std::unique_ptr<AudioEncoderTrack> track(
        new AudioEncoderTrack(output, stream, std::move(context)));
    track->pending_.assign(settings.channels, {});
    return track;
}

AudioEncoderTrack::AudioEncoderTrack(TrackOutput& output, AVStream* stream, CodecContextPtr encoder)
    : output_(output), stream_(stream), encoder_(std::move(encoder)) {}

AudioEncoderTrack::~AudioEncoderTrack() { swr_free(&resampler_); }

bool AudioEncoderTrack::configureResampler(const AudioSample& sample) {
    AVSampleFormat format = avSampleFormat(sample.format);
    if (resampler_ && resamplerFormat_ == format && resamplerRate_ == sample.sampleRate &&
        resamplerChannels_ == sample.channels)
        return true;
    swr_free(&resampler_);
    AVChannelLayout inLayout{};
    av_channel_layout_default(&inLayout, sample.channels);
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, encoder_->ch_layout.nb_channels);
    int result =
        swr_alloc_set_opts2(&resampler_, &outLayout, AV_SAMPLE_FMT_FLTP, encoder_->sample_rate,
                            &inLayout, format, sample.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (result >= 0)
        duplicateMonoToStereo(resampler_, sample.channels, encoder_->ch_layout.nb_channels);
    if (result < 0 || swr_init(resampler_) < 0) {
        swr_free(&resampler_);
        return false;
    }
    resamplerFormat_ = format;
    resamplerRate_ = sample.sampleRate;
    resamplerChannels_ = sample.channels;
    return true;
}

// The encoder puts priming samples before the first one it is given and stamps its first
// packet that far before 0. A container with an edit list skips them. A fragmented movie has
// none: the muxer would shift every track by them (every picture but the first 21 ms late for
// AAC) and players would play them first (the sound as late). There the packets start at 0 and
// the track begins that far into its sound, so what players hear at a time is what sounded then.
int64_t AudioEncoderTrack::primingShift() const {
    return output_.skipsEncoderDelay() ? 0 : std::max(0, encoder_->initial_padding);
}

bool AudioEncoderTrack::encodePending(bool flushPartial) {
    AVCodecContext* encoder = encoder_.get();
    const int frameSize = encoder->frame_size > 0 ? encoder->frame_size : 1024;
    const int channels = encoder->ch_layout.nb_channels;
    // What was encoded leaves the pending sound once, at the end.
    size_t consumed = 0;
    auto dropConsumed = [&] {
        for (int c = 0; c < channels; ++c)
            pending_[c].erase(pending_[c].begin(),
                              pending_[c].begin() + static_cast<long>(consumed));
    };
    for (;;) {
        int available = static_cast<int>(pending_[0].size() - consumed);
        if (available == 0 || (available < frameSize && !flushPartial)) {
            dropConsumed();
            return true;
        }
        int count = std::min(available, frameSize);
        FramePtr frame(av_frame_alloc());
        frame->format = encoder->sample_fmt;
        frame->sample_rate = encoder->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
        frame->nb_samples = count;
        if (av_frame_get_buffer(frame.get(), 0) < 0) {
            output_.fail(MediaError::of(MediaError::Kind::outOfMemory));
            return false;
        }
        for (int c = 0; c < channels; ++c)
            std::memcpy(frame->data[c], pending_[c].data() + consumed, sizeof(float) * count);
        consumed += static_cast<size_t>(count);
        frame->pts = encodedSamples_ + primingShift();
        encodedSamples_ += count;
        if (!encodeAndWrite(encoder, frame.get(), stream_, 0, output_)) return false;
    }
}

bool AudioEncoderTrack::write(const TrackSample& item) {
    const auto* audio = std::get_if<AudioSample>(&item);
    if (!audio) return true;
    const AudioSample& sample = *audio;
    if (sample.frameCount() <= 0 || sample.sampleRate <= 0 || sample.channels <= 0) return true;
    if (!configureResampler(sample)) {
        output_.fail(MediaError::of(MediaError::Kind::soundConversion));
        return false;
    }
    const int outRate = encoder_->sample_rate;
    const int channels = encoder_->ch_layout.nb_channels;
    int inFrames = sample.frameCount();
    int capacity = swr_get_out_samples(resampler_, inFrames);
    std::vector<std::vector<float>> converted(channels, std::vector<float>(std::max(capacity, 0)));
    std::vector<uint8_t*> outPlanes(channels);
    for (int c = 0; c < channels; ++c)
        outPlanes[c] = reinterpret_cast<uint8_t*>(converted[c].data());
    const uint8_t* inPlanes[1] = {sample.data.data()};
    int produced = swr_convert(resampler_, outPlanes.data(), capacity, inPlanes, inFrames);
    if (produced < 0) {
        output_.fail(MediaError::library(produced));
        return false;
    }
    if (produced == 0) return true;

    // Where this sound belongs on the track, counted in output samples from the session start.
    MediaTime relative = sample.presentationTime - output_.sessionStart();
    int64_t position = relative.valid ? relative.convertedTo(outRate).value : placedSamples_;
    if (relative.valid) position -= primingShift();
    const int64_t tolerance = static_cast<int64_t>(kAudioPlacementToleranceSeconds * outRate);
    int64_t skip = 0;
    int64_t offset = position - placedSamples_;
    if (!placedAny_ || offset > tolerance) {
        const int64_t reached = std::max(
            placedSamples_, av_rescale(output_.picturesReachedMicros(), outRate, 1'000'000));
        if (offset > 0 && position - reached > kSoundLeadLimitSeconds * outRate) {
            output_.fail(MediaError::of(MediaError::Kind::soundTimestampJump,
                                        std::to_string((position - reached) / outRate)));
            return false;
        }
        // A gap (or the start of the track): silence up to the sound's own time, encoded a
        // second at a time so that a long one (a sound server away for minutes) never sits
        // whole in memory.
        for (int64_t silence = std::max<int64_t>(0, offset); silence > 0;) {
            const int64_t piece = std::min<int64_t>(silence, outRate);
            for (int c = 0; c < channels; ++c) pending_[c].insert(pending_[c].end(), piece, 0.0f);
            placedSamples_ += piece;
            silence -= piece;
            if (!encodePending(false)) return false;
        }
        if (offset < 0) skip = -offset;
    } else if (offset < -tolerance) {
        // Overlaps what is already placed (or lies before the session start): trim.
        skip = -offset;
    }
    if (skip >= produced) return true;
    for (int c = 0; c < channels; ++c)
        pending_[c].insert(pending_[c].end(), converted[c].begin() + skip,
                           converted[c].begin() + produced);
    placedSamples_ += produced - skip;
    placedAny_ = true;
    return encodePending(false);
}

void AudioEncoderTrack::finish() {
    if (!encodePending(true)) return;
    encodeAndWrite(encoder_.get(), nullptr, stream_, 0, output_);
}

}  // namespace zimlo::media
