#include "platform/camera/V4L2Camera.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "platform/camera/FrameDecoder.h"
#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/Threads.h"

namespace zimlo::camera {
namespace {

int xioctl(int fd, unsigned long request, void* arg) {
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

bool decodable(uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG ||
           pixelFormat == V4L2_PIX_FMT_YUYV;
}

std::vector<FrameRateRange> enumerateRates(int fd, uint32_t pixelFormat, int width, int height) {
    std::vector<FrameRateRange> rates;
    v4l2_frmivalenum interval{};
    interval.pixel_format = pixelFormat;
    interval.width = static_cast<uint32_t>(width);
    interval.height = static_cast<uint32_t>(height);
    for (interval.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
         ++interval.index) {
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (interval.discrete.numerator == 0) continue;
            double rate =
                static_cast<double>(interval.discrete.denominator) / interval.discrete.numerator;
            rates.push_back({rate, rate});
        } else {
            const auto& s = interval.stepwise;
            if (s.min.numerator == 0 || s.max.numerator == 0) break;
            // The longest interval is the lowest rate.
            rates.push_back({static_cast<double>(s.max.denominator) / s.max.numerator,
                             static_cast<double>(s.min.denominator) / s.min.numerator});
            break;
        }
    }
    return rates;
}

std::vector<CameraFormat> enumerateFormats(int fd) {
    std::vector<CameraFormat> formats;
    v4l2_fmtdesc description{};
    description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (description.index = 0; xioctl(fd, VIDIOC_ENUM_FMT, &description) == 0;
         ++description.index) {
        if (!decodable(description.pixelformat)) continue;
        auto add = [&](int w, int h) {
            CameraFormat format{w, h, description.pixelformat,
                                enumerateRates(fd, description.pixelformat, w, h)};
            if (!format.frameRates.empty()) formats.push_back(std::move(format));
        };
        v4l2_frmsizeenum size{};
        size.pixel_format = description.pixelformat;
        for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                add(static_cast<int>(size.discrete.width), static_cast<int>(size.discrete.height));
            } else {
                // A size range: offer its two ends.
                add(static_cast<int>(size.stepwise.min_width),
                    static_cast<int>(size.stepwise.min_height));
                add(static_cast<int>(size.stepwise.max_width),
                    static_cast<int>(size.stepwise.max_height));
                break;
            }
        }
    }
    return formats;
}

bool capturesVideo(int fd, std::string& name) {
    v4l2_capability capability{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &capability) != 0) return false;
    uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps
                                                                     : capability.capabilities;
    name = reinterpret_cast<const char*>(capability.card);
    return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

// Logged where it happens, with what was being done; `systemError` is errno where the system
// said why.
Failure<CameraError> failed(const char* doing, CameraError::Kind kind, const std::string& device,
                            int systemError = 0) {
    CameraError error(kind, device, systemError);
    ZIMLO_LOG_WARN("camera") << doing << ": " << error.what();
    return fail(std::move(error));
}

}  // namespace

V4L2Camera::V4L2Camera(std::string path) : path_(std::move(path)) {}

V4L2Camera::~V4L2Camera() { close(); }

std::vector<std::shared_ptr<CameraDevice>> V4L2Camera::findAll() {
    std::vector<std::pair<int, std::string>> nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        auto name = entry.path().filename().string();
        if (name.rfind("video", 0) != 0 || name.size() == 5) continue;
        if (!std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        nodes.emplace_back(std::stoi(name.substr(5)), entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());

    std::vector<std::shared_ptr<CameraDevice>> cameras;
    for (const auto& [number, path] : nodes) {
        auto camera = std::make_shared<V4L2Camera>(path);
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM || errno == EBUSY) cameras.push_back(camera);
            continue;
        }
        std::string name;
        if (capturesVideo(fd, name)) {
            camera->name_ = name;
            camera->formats_ = enumerateFormats(fd);
            if (!camera->formats_.empty()) cameras.push_back(camera);
        }
        ::close(fd);
    }
    return cameras;
}

std::string V4L2Camera::localizedName() const {
    std::lock_guard lock(mutex_);
    return name_.empty() ? path_ : name_;
}

std::vector<CameraFormat> V4L2Camera::formats() const {
    std::lock_guard lock(mutex_);
    return formats_;
}

Result<void, CameraError> V4L2Camera::open() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) return {};
    int fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failed("opening", CameraError::Kind::cannotOpen, path_, errno);
    std::string name;
    if (!capturesVideo(fd, name)) {
        ::close(fd);
        return failed("opening", CameraError::Kind::notACamera, path_);
    }
    auto formats = enumerateFormats(fd);
    if (formats.empty()) {
        ::close(fd);
        return failed("opening", CameraError::Kind::noUsableFormat, path_);
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    fd_ = fd;
    name_ = name;
    formats_ = std::move(formats);
    return {};
}

Result<void, CameraError> V4L2Camera::setActiveFormat(size_t index, double framesPerSecond) {
    FrameHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return failed("choosing a format", CameraError::Kind::notOpen, path_);
        if (index >= formats_.size())
            return failed("choosing a format", CameraError::Kind::unsupportedFormat, path_);
        active_ = CameraFormatChoice{index, framesPerSecond};
        if (!streaming_.load()) return applyFormat();
        handler = onFrame_;
    }
    // The driver takes a new format only between streams.
    stopStreaming();
    return startStreaming(std::move(handler));
}

Result<void, CameraError> V4L2Camera::applyFormat() {
    if (!active_) active_ = CameraFormatChoice{0, formats_.front().frameRates.front().maximum};
    const auto& wanted = formats_[active_->formatIndex];
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<uint32_t>(wanted.width);
    format.fmt.pix.height = static_cast<uint32_t>(wanted.height);
    format.fmt.pix.pixelformat = wanted.pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(fd_, VIDIOC_S_FMT, &format) != 0)
        return failed("setting the format", CameraError::Kind::cannotSetFormat, path_, errno);
    activeWidth_ = static_cast<int>(format.fmt.pix.width);
    activeHeight_ = static_cast<int>(format.fmt.pix.height);
    activePixelFormat_ = format.fmt.pix.pixelformat;
    if (!decodable(activePixelFormat_))
        return failed("setting the format", CameraError::Kind::unsupportedFormat, path_);

    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parameters.parm.capture.timeperframe.numerator = 1000;
    parameters.parm.capture.timeperframe.denominator =
        static_cast<uint32_t>(std::lround(std::max(active_->frameRate, 0.1) * 1000));
    // Drivers without frame-rate control run at their own rate.
    xioctl(fd_, VIDIOC_S_PARM, &parameters);
    return {};
}

Result<void, CameraError> V4L2Camera::startDriver() {
    v4l2_requestbuffers request{};
    request.count = 4;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_REQBUFS, &request) != 0)
        return failed("starting", CameraError::Kind::busy, path_, errno);
    for (uint32_t i = 0; i < request.count; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (xioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) {
            const int code = errno;
            stopDriver();
            return failed("starting", CameraError::Kind::cannotAllocateBuffers, path_, code);
        }
        void* start = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                             buffer.m.offset);
        if (start == MAP_FAILED) {
            const int code = errno;
            stopDriver();
            return failed("starting", CameraError::Kind::cannotMapBuffers, path_, code);
        }
        buffers_.push_back({start, buffer.length});
        if (xioctl(fd_, VIDIOC_QBUF, &buffer) != 0) {
            const int code = errno;
            stopDriver();
            return failed("starting", CameraError::Kind::cannotQueueBuffers, path_, code);
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_STREAMON, &type) != 0) {
        const int code = errno;
        stopDriver();
        return failed("starting", CameraError::Kind::cannotStart, path_, code);
    }
    return {};
}

void V4L2Camera::stopDriver() {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    xioctl(fd_, VIDIOC_STREAMOFF, &type);
    for (auto& buffer : buffers_) ::munmap(buffer.start, buffer.length);
    buffers_.clear();
    v4l2_requestbuffers request{};
    request.count = 0;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    xioctl(fd_, VIDIOC_REQBUFS, &request);
}

Result<void, CameraError> V4L2Camera::startStreaming(FrameHandler onFrame) {
    if (onCaptureThread())
        return failed("starting", CameraError::Kind::cannotStart, path_, EDEADLK);
    // A loop stopped from its frame handler is over or about to be: it is joined before another
    // starts.
    std::thread previous = takeStoppedThread();
    if (previous.joinable()) previous.join();
    std::lock_guard lock(mutex_);
    if (streaming_.load()) return {};
    if (fd_ < 0) return failed("starting", CameraError::Kind::notOpen, path_);
    if (auto applied = applyFormat(); !applied) return applied;
    if (auto started = startDriver(); !started) return started;
    onFrame_ = std::move(onFrame);
    uint64_t drain;
    while (::read(wakeFd_, &drain, sizeof(drain)) > 0) {
    }
    streaming_.store(true);
    thread_ = startThread("v4l2-camera", [this] { captureLoop(); });
    return {};
}

bool V4L2Camera::onCaptureThread() const {
    std::lock_guard lock(mutex_);
    return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}

// thread_ is taken out under its lock and joined outside it: a loop stopped from its own
// handler takes the lock as it ends. One started again meanwhile stays.
std::thread V4L2Camera::takeStoppedThread() {
    std::lock_guard lock(mutex_);
    if (streaming_.load()) return {};
    return std::move(thread_);
}

void V4L2Camera::stopStreaming() {
    if (!streaming_.exchange(false)) return;
    uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof(one));
    if (onCaptureThread()) {
        // From the frame handler: the handler running now must not be destroyed under it, so the
        // loop stops the driver once the handler has returned.
        stopWhenLoopEnds_ = true;
        return;
    }
    std::thread finished = takeStoppedThread();
    if (finished.joinable()) finished.join();
    std::lock_guard lock(mutex_);
    stopDriver();
    onFrame_ = nullptr;
}

void V4L2Camera::close() {
    if (onCaptureThread()) {
        ZIMLO_LOG_ERROR("camera") << "closing " << path_
                                  << " from its own frame handler is refused; it only stops";
        stopStreaming();
        return;
    }
    stopStreaming();
    std::thread finished = takeStoppedThread();
    if (finished.joinable()) finished.join();
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    fd_ = -1;
    wakeFd_ = -1;
}

void V4L2Camera::captureLoop() {
    FrameDecoder decoder;
    while (streaming_.load()) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int ready = ::poll(fds, 2, 500);
        if (ready < 0 && errno != EINTR) {
            ZIMLO_LOG_ERROR("camera") << "waiting for frames from " << path_ << ": "
                                      << std::strerror(errno) << "; the camera stops";
            break;
        }
        if (!streaming_.load() || (fds[1].revents & POLLIN)) break;
        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLERR | POLLHUP)) {  // unplugged
                ZIMLO_LOG_ERROR("camera") << path_ << " went away; the camera stops";
                break;
            }
            continue;
        }
        // Take every frame the driver holds and keep only the newest: the others are late.
        std::optional<v4l2_buffer> newest;
        for (;;) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (xioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) break;
            if (newest) xioctl(fd_, VIDIOC_QBUF, &*newest);
            newest = buffer;
        }
        if (!newest) {
            if (errno != EAGAIN) {
                ZIMLO_LOG_ERROR("camera") << "taking a frame from " << path_ << ": "
                                          << std::strerror(errno) << "; the camera stops";
                break;
            }
            continue;
        }
        media::MediaTime time = media::MonotonicClock::now();
        if ((newest->flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC &&
            (newest->timestamp.tv_sec != 0 || newest->timestamp.tv_usec != 0)) {
            time = media::MediaTime::make(
                static_cast<int64_t>(newest->timestamp.tv_sec) * 1'000'000'000 +
                    static_cast<int64_t>(newest->timestamp.tv_usec) * 1000,
                media::MonotonicClock::kTimescale);
        }
        bool damaged = newest->flags & V4L2_BUF_FLAG_ERROR;
        std::shared_ptr<media::PixelBuffer> picture;
        if (!damaged && newest->index < buffers_.size()) {
            picture = decoder.decode(activePixelFormat_, activeWidth_, activeHeight_,
                                     static_cast<const uint8_t*>(buffers_[newest->index].start),
                                     newest->bytesused, mirrored_.load());
            if (!picture) {
                ZIMLO_LOG_DEBUG("camera") << "a frame of " << path_ << " could not be decoded";
            }
        } else {
            ZIMLO_LOG_DEBUG("camera") << "a damaged frame of " << path_ << " was left out";
        }
        xioctl(fd_, VIDIOC_QBUF, &*newest);
        if (picture && onFrame_) {
            media::VideoSample sample;
            sample.pixels = std::move(picture);
            sample.presentationTime = time;
            onFrame_(std::move(sample));
        }
    }
    if (stopWhenLoopEnds_) {
        stopWhenLoopEnds_ = false;
        std::lock_guard lock(mutex_);
        stopDriver();
        onFrame_ = nullptr;
    }
}

}  // namespace zimlo::camera
