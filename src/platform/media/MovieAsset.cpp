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

// The stream's average bit rate: as the container states it, else its indexed sample sizes over
// its duration; 0 when neither is known.
double storedBitRate(AVStream* stream, double seconds) {
    if (stream->codecpar->bit_rate > 0) return static_cast<double>(stream->codecpar->bit_rate);
    if (!(seconds > 0) || !std::isfinite(seconds)) return 0;
    double bytes = 0;
    const int entries = avformat_index_get_entries_count(stream);
    for (int i = 0; i < entries; ++i)
        if (const AVIndexEntry* entry = avformat_index_get_entry(stream, i)) bytes += entry->size;
    return bytes * 8 / seconds;
}

}  // namespace

MediaResult<std::shared_ptr<const MovieAsset>> MovieAsset::open(const std::filesystem::path& url,
                                                                ReadDeadline deadline) {
    auto opened = openInput(url, deadline);
    if (!opened) return logged(std::move(opened).error(), "opening the movie", url);
    return describe(url, nullptr, opened->get());
}

MediaResult<std::shared_ptr<const MovieAsset>> MovieAsset::openGrowing(
    const std::shared_ptr<GrowingFile>& file, const std::atomic<bool>* cancelled) {
    auto opened = openGrowingInput(file, cancelled);
    if (!opened && cancelled && *cancelled) return fail(std::move(opened).error());  // not a fault
    if (!opened) return logged(std::move(opened).error(), "opening the growing movie", file->url());
    return describe(file->url(), file, opened->get());
}

std::shared_ptr<const MovieAsset> MovieAsset::describe(const std::filesystem::path& url,
                                                       std::shared_ptr<GrowingFile> growing,
                                                       AVFormatContext* context) {
    auto asset = std::make_shared<MovieAsset>();
    asset->url_ = url;
    asset->growing_ = std::move(growing);
    // A movie still being written has no length yet: whatever the demuxer guessed from its
    // first bytes is no measure of it.
    const bool growingMovie = asset->growing_ != nullptr;
    if (!growingMovie && context->duration != AV_NOPTS_VALUE && context->duration > 0)
        asset->duration_ = MediaTime::make(context->duration, AV_TIME_BASE);
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVStream* stream = context->streams[i];
        const AVCodecParameters* parameters = stream->codecpar;
        AssetTrack track;
        track.trackID = stream->id > 0 ? stream->id : static_cast<int>(i) + 1;
        track.streamIndex = static_cast<int>(i);
        switch (parameters->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                track.mediaType = MediaType::video;
                break;
            case AVMEDIA_TYPE_AUDIO:
                track.mediaType = MediaType::audio;
                break;
            default:
                track.mediaType = MediaType::other;
                break;
        }
        if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) track.mediaType = MediaType::other;
        MediaTime start = mediaTime(stream->start_time, stream->time_base);
        MediaTime duration =
            growingMovie ? MediaTime::invalid() : mediaTime(stream->duration, stream->time_base);
        if (!start.valid) start = MediaTime::zero();
        if (!duration.valid && asset->duration_.valid) duration = asset->duration_ - start;
        track.timeRange = TimeRange{start, duration.valid ? duration : MediaTime::zero()};
        track.naturalSize =
            Size{static_cast<double>(parameters->width), static_cast<double>(parameters->height)};
        track.preferredTransform = displayMatrix(stream);
        if (parameters->codec_id != AV_CODEC_ID_NONE)
            track.formatDescriptions.emplace_back(parameters, stream->time_base.num,
                                                  stream->time_base.den);
        if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
            track.nominalFrameRate = av_q2d(stream->avg_frame_rate);
        if (!growingMovie)
            track.bitRate = storedBitRate(stream, track.timeRange.duration.seconds());
        asset->tracks_.push_back(std::move(track));
    }
    return asset;
}

std::vector<AssetTrack> MovieAsset::tracks(MediaType type) const {
    std::vector<AssetTrack> found;
    for (const auto& track : tracks_)
        if (track.mediaType == type) found.push_back(track);
    return found;
}

const AssetTrack* MovieAsset::track(int trackID) const {
    for (const auto& track : tracks_)
        if (track.trackID == trackID) return &track;
    return nullptr;
}

double availableDuration(const MovieAsset& asset, double fallback) {
    auto usable = [](double seconds) { return std::isfinite(seconds) && seconds > 0; };
    double whole = asset.duration().seconds();
    if (usable(whole)) return whole;
    for (MediaType type : {MediaType::video, MediaType::audio}) {
        double latest = 0;
        for (const auto& track : asset.tracks(type)) {
            double end = track.timeRange.end().seconds();
            if (std::isfinite(end)) latest = std::max(latest, end);
        }
        if (usable(latest)) return latest;
    }
    return usable(fallback) ? fallback : 0;
}

double availableDuration(const std::filesystem::path& url, double fallback) {
    auto asset = MovieAsset::open(url);
    if (!asset) return std::isfinite(fallback) && fallback > 0 ? fallback : 0;
    return availableDuration(**asset, fallback);
}

}  // namespace zimlo::media
