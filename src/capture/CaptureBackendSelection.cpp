#include "capture/CaptureBackendSelection.h"

#include <mutex>

namespace zimlo::capture {
namespace {

struct Decision {
    std::mutex mutex;
    std::optional<screen::BackendChoice> choice;
    std::optional<portal::ScreenCastInfo> info;
};

Decision& decision() {
    static Decision instance;
    return instance;
}

}  // namespace

screen::BackendChoice currentCaptureBackend() {
    auto& d = decision();
    std::lock_guard lock(d.mutex);
    if (!d.choice) {
        d.choice = screen::chooseCaptureBackend(screen::CaptureEnvironment::fromProcess([&d] {
            d.info = portal::probeScreenCast();
            return d.info.has_value();
        }));
    }
    return *d.choice;
}

std::optional<portal::ScreenCastInfo> portalScreenCastInfo() {
    auto choice = currentCaptureBackend();
    auto& d = decision();
    std::lock_guard lock(d.mutex);
    if (choice.backend != screen::CaptureBackend::portal) return std::nullopt;
    return d.info;
}

void resetCaptureBackend() {
    auto& d = decision();
    std::lock_guard lock(d.mutex);
    d.choice.reset();
    d.info.reset();
}

}  // namespace zimlo::capture
