#include "platform/camera/CameraDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/camera/V4L2Camera.h"
#include "platform/log/Log.h"

namespace zimlo::camera {
namespace {

std::string logText(CameraError::Kind kind, const std::string& device, int systemError) {
    using Kind = CameraError::Kind;
    std::string text = [kind]() -> std::string {
        switch (kind) {
            case Kind::cannotOpen:
                return "cannot open the camera";
            case Kind::notACamera:
                return "not a camera";
            case Kind::noUsableFormat:
                return "the camera offers no format we can decode";
            case Kind::notOpen:
                return "the camera is not open";
            case Kind::unsupportedFormat:
                return "the camera cannot use the chosen format";
            case Kind::cannotSetFormat:
                return "cannot set the camera's format";
            case Kind::busy:
                return "the camera is busy (no buffers)";
            case Kind::cannotAllocateBuffers:
                return "cannot allocate camera buffers";
            case Kind::cannotMapBuffers:
                return "cannot map camera buffers";
            case Kind::cannotQueueBuffers:
                return "cannot queue camera buffers";
            case Kind::cannotStart:
                return "cannot start the camera";
        }
        return "camera failure";
    }();
    if (!device.empty()) text += " " + device;
    if (systemError != 0) text += std::string(": ") + std::strerror(systemError);
    return text;
}

}  // namespace

CameraError::CameraError(Kind kind, std::string device, int systemError)
    : std::runtime_error(logText(kind, device, systemError)),
      kind_(kind),
      device_(std::move(device)),
      systemError_(systemError) {}

std::optional<CameraFormatChoice> chooseCameraFormat(const std::vector<CameraFormat>& formats,
                                                     int width, int height,
                                                     double framesPerSecond) {
    struct Recorded {
        size_t index;
        int64_t longSide;
        int64_t area;
        double rate;
        int64_t longDifference;
        double rateDifference;
    };
    const int64_t targetLong = std::max(width, height);
    const int64_t targetArea = static_cast<int64_t>(width) * height;
    const double desired = framesPerSecond;

    std::vector<Recorded> recorded;
    for (size_t i = 0; i < formats.size(); ++i) {
        const auto& format = formats[i];
        int64_t longSide = std::max(format.width, format.height);
        int64_t area = static_cast<int64_t>(format.width) * format.height;
        if (longSide < 1 || area < 1) continue;
        std::optional<double> best;
        for (const auto& range : format.frameRates) {
            if (!std::isfinite(range.minimum) || !std::isfinite(range.maximum) ||
                range.maximum <= 0)
                continue;
            double achievable =
                std::min(std::max(desired, std::max(range.minimum, 0.1)), range.maximum);
            if (!best) {
                best = achievable;
                continue;
            }
            double d = std::fabs(achievable - desired), bestD = std::fabs(*best - desired);
            if (d < bestD || (d == bestD && achievable <= desired && *best > desired))
                best = achievable;
        }
        if (!best) continue;
        recorded.push_back({i, longSide, area, *best, std::llabs(longSide - targetLong),
                            std::fabs(*best - desired)});
    }
    if (recorded.empty()) return std::nullopt;

    std::vector<Recorded> candidates;
    for (const auto& r : recorded)
        if (r.longSide >= targetLong) candidates.push_back(r);
    if (candidates.empty()) candidates = recorded;

    auto better = [&](const Recorded& a, const Recorded& b) {
        if (a.longDifference != b.longDifference) return a.longDifference < b.longDifference;
        int64_t areaA = std::llabs(a.area - targetArea), areaB = std::llabs(b.area - targetArea);
        if (areaA != areaB) return areaA < areaB;
        if (a.rateDifference != b.rateDifference) return a.rateDifference < b.rateDifference;
        return a.rate > b.rate;
    };
    const Recorded* chosen = &candidates.front();
    for (const auto& c : candidates)
        if (better(c, *chosen)) chosen = &c;
    return CameraFormatChoice{chosen->index, chosen->rate};
}

namespace {
std::mutex discoveryMutex;  // guards: installedDiscovery
CameraDiscovery installedDiscovery;
}  // namespace

void setCameraDiscovery(CameraDiscovery discovery) {
    std::lock_guard lock(discoveryMutex);
    installedDiscovery = std::move(discovery);
}

std::shared_ptr<CameraDevice> defaultCameraDevice() {
    CameraDiscovery discovery;
    {
        std::lock_guard lock(discoveryMutex);
        discovery = installedDiscovery;
    }
    if (discovery) return discovery();
    auto cameras = V4L2Camera::findAll();
    return cameras.empty() ? nullptr : cameras.front();
}

CameraAccess cameraAccess() {
    auto device = defaultCameraDevice();
    if (!device) return CameraAccess::noDevice;
    if (device->isStreaming()) return CameraAccess::authorized;
    if (auto opened = device->open(); !opened) {
        ZIMLO_LOG_WARN("camera") << "checking access to " << device->uniqueID() << ": "
                                 << opened.error().what();
        return CameraAccess::denied;
    }
    device->close();
    return CameraAccess::authorized;
}

void mirrorHorizontally(media::PixelBuffer& picture) {
    const int width = picture.width();
    for (int y = 0; y < picture.height(); ++y) {
        auto* row =
            reinterpret_cast<uint32_t*>(picture.data() + static_cast<size_t>(y) * picture.stride());
        std::reverse(row, row + width);
    }
}

}  // namespace zimlo::camera
