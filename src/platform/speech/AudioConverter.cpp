#include "platform/speech/AudioConverter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace zimlo::speech {

namespace {

AVSampleFormat avFormat(media::SampleFormat format) {
    switch (format) {
        case media::SampleFormat::Float32:
            return AV_SAMPLE_FMT_FLT;
        case media::SampleFormat::Int16:
            return AV_SAMPLE_FMT_S16;
        case media::SampleFormat::Int32:
            return AV_SAMPLE_FMT_S32;
    }
    return AV_SAMPLE_FMT_NONE;
}

}  // namespace

AudioConverter::~AudioConverter() { swr_free(&swr_); }

bool AudioConverter::configure(const media::AudioSample& sample) {
    if (swr_ && sample.format == format_ && sample.sampleRate == rate_ &&
        sample.channels == channels_) {
        return true;
    }
    swr_free(&swr_);
    AVChannelLayout inLayout{}, outLayout{};
    av_channel_layout_default(&inLayout, sample.channels);
    av_channel_layout_default(&outLayout, 1);
    int rc = swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_S16, kOutputRate, &inLayout,
                                 avFormat(sample.format), sample.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (rc < 0 || swr_init(swr_) < 0) {
        swr_free(&swr_);
        return false;
    }
    format_ = sample.format;
    rate_ = sample.sampleRate;
    channels_ = sample.channels;
    return true;
}

bool AudioConverter::convert(const media::AudioSample& sample, std::vector<int16_t>& out) {
    if (!sample.dataReady || sample.channels <= 0 || sample.channels > 64 ||
        sample.sampleRate <= 0 || sample.sampleRate > 768000) {
        return false;
    }
    int frameBytes = media::bytesPerSample(sample.format) * sample.channels;
    if (frameBytes <= 0 || sample.data.size() % static_cast<size_t>(frameBytes) != 0) return false;
    int frames = sample.frameCount();
    if (frames == 0) return true;
    if (!configure(sample)) return false;

    int capacity = swr_get_out_samples(swr_, frames);
    if (capacity <= 0) return true;
    size_t start = out.size();
    out.resize(start + static_cast<size_t>(capacity));
    auto* dst = reinterpret_cast<uint8_t*>(out.data() + start);
    const uint8_t* src = sample.data.data();
    int produced = swr_convert(swr_, &dst, capacity, &src, frames);
    out.resize(start + static_cast<size_t>(produced > 0 ? produced : 0));
    return produced >= 0;
}

void AudioConverter::flush(std::vector<int16_t>& out) {
    if (!swr_) return;
    int capacity = swr_get_out_samples(swr_, 0);
    if (capacity <= 0) return;
    size_t start = out.size();
    out.resize(start + static_cast<size_t>(capacity));
    auto* dst = reinterpret_cast<uint8_t*>(out.data() + start);
    int produced = swr_convert(swr_, &dst, capacity, nullptr, 0);
    out.resize(start + static_cast<size_t>(produced > 0 ? produced : 0));
}

}  // namespace zimlo::speech
