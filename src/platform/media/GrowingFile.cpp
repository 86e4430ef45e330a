#include "platform/media/GrowingFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/media/AssetDecoding.h"

namespace zimlo::media {

std::shared_ptr<GrowingFile> GrowingFile::make(std::filesystem::path url) {
    return std::make_shared<GrowingFile>(std::move(url));
}

GrowingFile::State GrowingFile::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void GrowingFile::complete() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::growing) state_ = State::complete;
    }
    changed_.notify_all();
}

void GrowingFile::abandon() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::growing) state_ = State::abandoned;
    }
    changed_.notify_all();
}

GrowingFile::State GrowingFile::waitForChange(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return state_ != State::growing; });
    return state_;
}

namespace detail {
namespace {

constexpr int kReadBufferBytes = 1 << 16;

// The demuxer's source: the file as far as it is written, waiting at its end while it grows.
struct GrowingInput : CustomInput {
    std::shared_ptr<GrowingFile> file;
    const std::atomic<bool>* cancelled = nullptr;
    int fd = -1;
    ~GrowingInput() override {
        if (fd >= 0) ::close(fd);
    }
    bool stopped() const {
        return (cancelled && cancelled->load()) || file->state() == GrowingFile::State::abandoned;
    }
    int read(uint8_t* buffer, int size) override;
};

int GrowingInput::read(uint8_t* buffer, int size) {
    GrowingInput& input = *this;
    for (;;) {
        if (input.stopped()) return AVERROR_EXIT;
        const GrowingFile::State state = input.file->state();
        if (input.fd < 0) {
            // The writer may create its file only with its first picture.
            input.fd = ::open(input.file->url().c_str(), O_RDONLY | O_CLOEXEC);
            if (input.fd < 0) {
                if (errno != ENOENT || state == GrowingFile::State::complete) return AVERROR(errno);
                input.file->waitForChange(GrowingFile::kPollInterval);
                continue;
            }
        }
        const ssize_t got = ::read(input.fd, buffer, static_cast<size_t>(size));
        if (got > 0) return static_cast<int>(got);
        if (got < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        // At the end written so far. Only once the writer has said it is complete (after its
        // last write, so the read above saw everything) is this the end of the movie.
        if (state == GrowingFile::State::complete) return AVERROR_EOF;
        input.file->waitForChange(GrowingFile::kPollInterval);
    }
}

}  // namespace

MediaResult<FormatInputPtr> openGrowingInput(const std::shared_ptr<GrowingFile>& file,
                                             const std::atomic<bool>* cancelled) {
    quietFFmpegLogging();
    auto input = std::make_unique<GrowingInput>();
    input->file = file;
    input->cancelled = cancelled;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kReadBufferBytes));
    if (!buffer) return fail(MediaError::of(MediaError::Kind::outOfMemory));
    // Read front to back, never seeking: the demuxer then takes the fragments one by one as
    // they come rather than looking for an index at an end that is not there yet.
    AVIOContext* io = avio_alloc_context(buffer, kReadBufferBytes, 0, input.get(), &readCustomInput,
                                         nullptr, nullptr);
    if (!io) {
        av_free(buffer);
        return fail(MediaError::of(MediaError::Kind::outOfMemory));
    }
    io->seekable = 0;
    static_cast<void>(input.release());  // the I/O context's opaque now; freed with the demuxer

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        delete static_cast<GrowingInput*>(io->opaque);
        av_freep(&io->buffer);
        avio_context_free(&io);
        return fail(MediaError::of(MediaError::Kind::outOfMemory));
    }
    raw->pb = io;
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The header states every track's format; looking further only waits for the recording
    // (for seconds of a track that gets no samples for a while, a pause longer still).
    raw->max_analyze_duration = AV_TIME_BASE / 2;
    // Recordings are QuickTime movies; the demuxer is named rather than guessed from the bytes.
    const AVInputFormat* demuxer = av_find_input_format("mov");
    int result = avformat_open_input(&raw, nullptr, demuxer, nullptr);
    if (result < 0) {
        // A failed open frees the format context but leaves a custom I/O context to its owner.
        delete static_cast<GrowingInput*>(io->opaque);
        av_freep(&io->buffer);
        avio_context_free(&io);
        return fail(MediaError::library(result));
    }
    FormatInputPtr context(raw);
    result = avformat_find_stream_info(context.get(), nullptr);
    if (result < 0) return fail(MediaError::library(result));
    return context;
}

}  // namespace detail
}  // namespace zimlo::media
