#include "subtitles/SubtitleFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "model/MediaErrorText.h"
#include "platform/media/FFmpegSupport.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/BoundedFile.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace zimlo {

namespace {

// Far above an hour of subtitles (about 100 KB); a larger file is not one of ours.
constexpr size_t kLargestSubtitleFile = size_t{16} << 20;

struct Cue {
    int64_t start = 0;  // milliseconds
    int64_t end = 0;
    std::string text;
};

// One line per line of the text, without blank ones and without a line ending of another kind.
// Control characters would reach players as they are (a NUL ends the text for some), so tabs
// become spaces and the others go.
std::string cueText(const std::string& text) {
    std::string lines;
    std::string line;
    auto endLine = [&] {
        // Trailing blanks of a line are invisible but make some players keep a blank line.
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (line.find_first_not_of(' ') != std::string::npos) {
            if (!lines.empty()) lines += '\n';
            lines += line;
        }
        line.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            endLine();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\t') {
            line += ' ';
        } else if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) {
            line += c;
        }
    }
    endLine();
    return lines;
}

// A line holding "-->" reads as a cue's timing line in SubRip, so the text's own arrows get an
// invisible word joiner inside; reading takes it out again.
constexpr std::string_view kArrow = "-->";
constexpr std::string_view kJoinedArrow = "--\u2060>";

std::string replaced(const std::string& text, std::string_view from, std::string_view to) {
    std::string result;
    size_t at = 0;
    for (size_t found; (found = text.find(from, at)) != std::string::npos; at = found + from.size())
        result.append(text, at, found - at).append(to);
    return result.append(text, at, std::string::npos);
}

std::string escapedForWebVTT(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else
            escaped += c;
    }
    return escaped;
}

std::string unescapedFromWebVTT(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        bool replaced = false;
        for (auto [entity, c] : {std::pair<std::string_view, char>{"&amp;", '&'},
                                 {"&lt;", '<'},
                                 {"&gt;", '>'},
                                 {"&nbsp;", ' '}}) {
            if (text.compare(i, entity.size(), entity) == 0) {
                plain += c;
                i += entity.size() - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced) plain += text[i];
    }
    return plain;
}

// Whole milliseconds, within a range that no arithmetic below can overflow.
int64_t milliseconds(double seconds) {
    return std::llround(std::clamp(seconds, -1e12, 1e12) * 1000);
}

// The cues the movie shows. At any moment the movie shows the first segment, in the given order,
// that covers it (an earlier one without text shows nothing), so where segments overlap a later
// one becomes a cue only for the times no earlier one covers.
std::vector<Cue> cues(const std::vector<SubtitleSegment>& segments) {
    std::vector<Cue> result;
    std::map<int64_t, int64_t> covered;  // disjoint [start, end) by start
    for (const auto& segment : segments) {
        if (!std::isfinite(segment.startTime) || !std::isfinite(segment.endTime)) continue;
        const int64_t start = std::max<int64_t>(0, milliseconds(segment.startTime));
        const int64_t end = milliseconds(segment.endTime);
        if (end <= start) continue;
        const std::string text = cueText(segment.text);
        auto it = covered.upper_bound(start);
        if (it != covered.begin() && std::prev(it)->second > start) --it;
        int64_t at = start;
        for (; it != covered.end() && it->first < end; ++it) {
            if (it->first > at && !text.empty()) result.push_back({at, it->first, text});
            at = std::max(at, it->second);
        }
        if (at < end && !text.empty()) result.push_back({at, end, text});

        int64_t mergedStart = start, mergedEnd = end;
        it = covered.upper_bound(start);
        if (it != covered.begin() && std::prev(it)->second >= start) --it;
        while (it != covered.end() && it->first <= mergedEnd) {
            mergedStart = std::min(mergedStart, it->first);
            mergedEnd = std::max(mergedEnd, it->second);
            it = covered.erase(it);
        }
        covered.emplace(mergedStart, mergedEnd);
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const Cue& a, const Cue& b) { return a.start < b.start; });
    return result;
}

std::string timestamp(int64_t milliseconds, char separator) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld%c%03lld",
                  static_cast<long long>(milliseconds / 3'600'000),
                  static_cast<long long>(milliseconds / 60'000 % 60),
                  static_cast<long long>(milliseconds / 1000 % 60), separator,
                  static_cast<long long>(milliseconds % 1000));
    return buffer;
}

}  // namespace

std::optional<SubtitleFileFormat> subtitleFileFormat(std::string_view name) {
    if (name == "srt") return SubtitleFileFormat::srt;
    if (name == "vtt") return SubtitleFileFormat::webVTT;
    return std::nullopt;
}

std::string subtitleFileName(SubtitleFileFormat format) {
    return format == SubtitleFileFormat::srt ? "subtitles.srt" : "subtitles.vtt";
}

std::string subtitleDocument(const std::vector<SubtitleSegment>& segments,
                             SubtitleFileFormat format) {
    std::string document = format == SubtitleFileFormat::webVTT ? "WEBVTT\n\n" : "";
    int number = 0;
    for (const Cue& cue : cues(segments)) {
        if (format == SubtitleFileFormat::srt) {
            document += std::to_string(++number) + "\n" + timestamp(cue.start, ',') + " --> " +
                        timestamp(cue.end, ',') + "\n" + replaced(cue.text, kArrow, kJoinedArrow) +
                        "\n\n";
        } else {
            document += timestamp(cue.start, '.') + " --> " + timestamp(cue.end, '.') + "\n" +
                        escapedForWebVTT(cue.text) + "\n\n";
        }
    }
    return document;
}

Result<void, FileError> writeSubtitleFiles(const std::filesystem::path& directory,
                                           const std::vector<SubtitleSegment>& segments) {
    for (auto format : {SubtitleFileFormat::srt, SubtitleFileFormat::webVTT}) {
        auto written = writeFileAtomically(directory / subtitleFileName(format),
                                           subtitleDocument(segments, format));
        if (!written) return written;
    }
    return {};
}

namespace {

// FFmpeg reads the file's bytes from memory: the file itself was read by the bounded reader, so
// a FIFO or a device beside a draft never stalls the demuxer.
struct MemoryInput {
    std::string_view data;
    size_t position = 0;

    static int read(void* opaque, uint8_t* buffer, int size) {
        auto* input = static_cast<MemoryInput*>(opaque);
        const size_t count =
            std::min(input->data.size() - input->position, static_cast<size_t>(std::max(size, 0)));
        if (count == 0) return AVERROR_EOF;
        std::memcpy(buffer, input->data.data() + input->position, count);
        input->position += count;
        return static_cast<int>(count);
    }
    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* input = static_cast<MemoryInput*>(opaque);
        const auto size = static_cast<int64_t>(input->data.size());
        if (whence == AVSEEK_SIZE) return size;
        int64_t base = 0;
        switch (whence & ~AVSEEK_FORCE) {
            case SEEK_SET:
                break;
            case SEEK_CUR:
                base = static_cast<int64_t>(input->position);
                break;
            case SEEK_END:
                base = size;
                break;
            default:
                return AVERROR(EINVAL);
        }
        if (offset < -base || offset > size - base) return AVERROR(EINVAL);
        input->position = static_cast<size_t>(base + offset);
        return base + offset;
    }
};

struct IOContextDeleter {
    void operator()(AVIOContext* context) const {
        av_freep(&context->buffer);
        avio_context_free(&context);
    }
};

}  // namespace

Result<std::vector<SubtitleSegment>, std::string> readSubtitleFile(
    const std::filesystem::path& file, SubtitleFileFormat format) {
    auto contents = readRegularFile(file, kLargestSubtitleFile);
    if (!contents) {
        const std::error_code code = contents.error().code;
        return fail("cannot read " + file.string() + ": " +
                    (code == std::errc::invalid_argument ? std::string("not a regular file")
                                                         : code.message()));
    }
    media::quietFFmpegLogging();
    auto libraryFailure = [&](int code) {
        return fail("cannot read " + file.string() + ": " +
                    userText(media::MediaError::library(code)));
    };
    const AVInputFormat* demuxer =
        av_find_input_format(format == SubtitleFileFormat::srt ? "srt" : "webvtt");
    if (!demuxer) return fail("cannot read " + file.string() + ": FFmpeg has no demuxer for it");

    MemoryInput input{*contents};
    constexpr int kBufferSize = 4096;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer) return libraryFailure(AVERROR(ENOMEM));
    std::unique_ptr<AVIOContext, IOContextDeleter> io(avio_alloc_context(
        buffer, kBufferSize, 0, &input, &MemoryInput::read, nullptr, &MemoryInput::seek));
    if (!io) {
        av_free(buffer);
        return libraryFailure(AVERROR(ENOMEM));
    }
    AVFormatContext* opened = avformat_alloc_context();
    if (!opened) return libraryFailure(AVERROR(ENOMEM));
    opened->pb = io.get();
    opened->flags |= AVFMT_FLAG_CUSTOM_IO;
    // On failure the context is freed here; the I/O context stays ours.
    int result = avformat_open_input(&opened, nullptr, demuxer, nullptr);
    if (result < 0) return libraryFailure(result);
    media::FormatInputPtr context(opened);
    result = avformat_find_stream_info(context.get(), nullptr);
    if (result < 0) return libraryFailure(result);

    std::vector<SubtitleSegment> segments;
    media::PacketPtr packet(av_packet_alloc());
    while ((result = av_read_frame(context.get(), packet.get())) >= 0) {
        const AVRational base = context->streams[packet->stream_index]->time_base;
        SubtitleSegment segment;
        segment.id = Uuid::generate();
        segment.startTime = static_cast<double>(packet->pts) * av_q2d(base);
        segment.endTime = static_cast<double>(packet->pts + packet->duration) * av_q2d(base);
        std::string text(reinterpret_cast<const char*>(packet->data),
                         static_cast<size_t>(packet->size));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == 0))
            text.pop_back();
        segment.text = format == SubtitleFileFormat::webVTT ? unescapedFromWebVTT(text)
                                                            : replaced(text, kJoinedArrow, kArrow);
        segments.push_back(std::move(segment));
        av_packet_unref(packet.get());
    }
    context.reset();  // closes the demuxer before its I/O context goes
    if (result != AVERROR_EOF) return libraryFailure(result);
    return segments;
}

}  // namespace zimlo
