#include "capture/CaptureBackendSelection.h"

#include <mutex>
#include <optional>

#include "platform/portal/ScreenCastPortal.h"

namespace zimlo::capture {
namespace {

struct Decision {
    std::mutex mutex;  // guards: choice, so it is made once
    std::optional<screen::BackendChoice> choice;
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
        d.choice = screen::chooseCaptureBackend(screen::CaptureEnvironment::fromProcess(
            [] { return portal::probeScreenCast().has_value(); }));
    }
    return *d.choice;
}

}  // namespace zimlo::capture
