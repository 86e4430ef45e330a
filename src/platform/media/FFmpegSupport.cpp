#include "platform/media/FFmpegSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/storage/BoundedFile.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace zimlo::media {

namespace {

using Clock = std::chrono::steady_clock;

// What a reading context of ours reads from.
struct FileInput {
    UniqueFd fd;
    std::optional<Clock::time_point> deadline;
    bool expired() const { return deadline && Clock::now() >= *deadline; }
};

constexpr int kInputBufferBytes = 64 * 1024;

int readInput(void* opaque, uint8_t* buffer, int size) {
    auto* input = static_cast<FileInput*>(opaque);
    if (input->expired()) return AVERROR_EXIT;
    for (;;) {
        ssize_t got = ::read(input->fd.get(), buffer, static_cast<size_t>(size));
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

int64_t seekInput(void* opaque, int64_t offset, int whence) {
    auto* input = static_cast<FileInput*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat info {};
        if (::fstat(input->fd.get(), &info) != 0) return AVERROR(errno);
        return info.st_size;
    }
    off_t position = ::lseek(input->fd.get(), offset, whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : position;
}

int interruptInput(void* opaque) { return static_cast<const FileInput*>(opaque)->expired(); }

// Only a reading context made by prepareFileInput holds a FileInput.
bool isFileInput(const AVIOContext* io) { return io && io->read_packet == &readInput; }

}  // namespace

MediaResult<AVFormatContext*> prepareFileInput(const std::filesystem::path& url,
                                               std::optional<Clock::time_point> deadline) {
    auto opened = openRegularFile(url);
    if (!opened) {
        const FileError& error = opened.error();
        if (error.code == std::errc::invalid_argument || error.code == std::errc::is_a_directory)
            return fail(MediaError::of(MediaError::Kind::notARegularFile));
        return fail(MediaError::system(error.code.value()));
    }
    auto input = std::make_unique<FileInput>();
    input->fd = std::move(opened).value();
    input->deadline = deadline;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kInputBufferBytes));
    if (!buffer) return fail(MediaError::of(MediaError::Kind::outOfMemory));
    AVIOContext* io = avio_alloc_context(buffer, kInputBufferBytes, 0, input.get(), &readInput,
                                         nullptr, &seekInput);
    if (!io) {
        av_free(buffer);
        return fail(MediaError::of(MediaError::Kind::outOfMemory));
    }
    AVFormatContext* context = avformat_alloc_context();
    if (!context) {
        av_freep(&io->buffer);
        avio_context_free(&io);
        return fail(MediaError::of(MediaError::Kind::outOfMemory));
    }
    context->pb = io;
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    context->interrupt_callback = {&interruptInput, input.release()};
    return context;
}

void releaseFileInput(AVIOContext* io) {
    if (!isFileInput(io)) return;
    delete static_cast<FileInput*>(io->opaque);
    av_freep(&io->buffer);
    avio_context_free(&io);
}

bool fileInputExpired(const AVFormatContext* context) {
    if (!context || !isFileInput(context->pb)) return false;
    return static_cast<const FileInput*>(context->pb->opaque)->expired();
}

int readCustomInput(void* opaque, uint8_t* buffer, int size) {
    return static_cast<CustomInput*>(opaque)->read(buffer, size);
}

void FormatInputDeleter::operator()(AVFormatContext* context) const {
    if (!context) return;
    if (isFileInput(context->pb)) {
        AVIOContext* ours = context->pb;
        avformat_close_input(&context);
        releaseFileInput(ours);
        return;
    }
    AVIOContext* custom =
        context->pb && context->pb->read_packet == &readCustomInput ? context->pb : nullptr;
    avformat_close_input(&context);
    if (!custom) return;
    delete static_cast<CustomInput*>(custom->opaque);
    av_freep(&custom->buffer);
    avio_context_free(&custom);
}

void quietFFmpegLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

AffineTransform displayMatrix(const AVStream* stream) {
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (!data) return {};
    int32_t m[9];
    std::memcpy(m, data, sizeof m);
    auto fixed = [](int32_t v) { return v / 65536.0; };
    return {fixed(m[0]), fixed(m[1]), fixed(m[3]), fixed(m[4]), fixed(m[6]), fixed(m[7])};
}

void setDisplayMatrix(AVStream* stream, const AffineTransform& transform) {
    if (transform.isIdentity()) return;
    uint8_t* data = av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9);
    if (!data) return;
    auto fixed = [](double v) { return static_cast<int32_t>(std::lround(v * 65536.0)); };
    int32_t m[9] = {fixed(transform.a),  fixed(transform.b),  0,
                    fixed(transform.c),  fixed(transform.d),  0,
                    fixed(transform.tx), fixed(transform.ty), 1 << 30};
    std::memcpy(data, m, sizeof m);
}

void duplicateMonoToStereo(SwrContext* resampler, int inputChannels, int outputChannels) {
    if (inputChannels != 1 || outputChannels != 2) return;
    const double matrix[2] = {1.0, 1.0};
    swr_set_matrix(resampler, matrix, 1);
}

MediaTime mediaTime(int64_t ticks, AVRational timeBase) {
    if (ticks == AV_NOPTS_VALUE || timeBase.num <= 0 || timeBase.den <= 0)
        return MediaTime::invalid();
    if (timeBase.num == 1) return MediaTime::make(ticks, timeBase.den);
    // Timescale of the denominator; the numerator is folded into the value.
    return MediaTime::make(ticks * timeBase.num, timeBase.den);
}

}  // namespace zimlo::media
