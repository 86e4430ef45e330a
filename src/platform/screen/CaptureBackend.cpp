#include "platform/screen/CaptureBackend.h"

#include <cstdlib>

#include "platform/log/Log.h"

namespace zimlo::screen {
namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

}  // namespace

CaptureEnvironment CaptureEnvironment::fromProcess(std::function<bool()> portalOffersScreenCast) {
    CaptureEnvironment environment;
    environment.forced = variable("ZIMLO_CAPTURE");
    environment.waylandDisplay = variable("WAYLAND_DISPLAY");
    environment.sessionType = variable("XDG_SESSION_TYPE");
    environment.x11Display = variable("DISPLAY");
    environment.portalOffersScreenCast = std::move(portalOffersScreenCast);
    return environment;
}

BackendChoice chooseCaptureBackend(const CaptureEnvironment& environment) {
    using Problem = BackendChoice::Problem;
    auto portalAnswers = [&] {
        return environment.portalOffersScreenCast && environment.portalOffersScreenCast();
    };
    auto choice = [&]() -> BackendChoice {
        if (environment.forced) {
            const std::string& forced = *environment.forced;
            if (forced == "x11") {
                if (!environment.x11Display) return {{}, Problem::forcedX11WithoutDisplay, forced};
                return {CaptureBackend::x11, {}, forced};
            }
            if (forced == "portal") {
                if (!portalAnswers()) return {{}, Problem::forcedPortalUnavailable, forced};
                return {CaptureBackend::portal, {}, forced};
            }
            return {{}, Problem::unknownForcedBackEnd, forced};
        }
        const bool wayland = environment.waylandDisplay || environment.sessionType == "wayland";
        if (wayland && portalAnswers()) return {CaptureBackend::portal, {}, {}};
        if (environment.x11Display) return {CaptureBackend::x11, {}, {}};
        return {{}, wayland ? Problem::waylandWithoutPortalOrDisplay : Problem::noDesktop, {}};
    }();
    if (choice.backend) {
        ZIMLO_LOG_INFO("screen") << "capturing through " << backendName(*choice.backend);
    } else {
        ZIMLO_LOG_ERROR("screen") << "no way to capture the screen: ZIMLO_CAPTURE="
                                  << environment.forced.value_or("(unset)") << ", WAYLAND_DISPLAY="
                                  << environment.waylandDisplay.value_or("(unset)")
                                  << ", XDG_SESSION_TYPE="
                                  << environment.sessionType.value_or("(unset)")
                                  << ", DISPLAY=" << environment.x11Display.value_or("(unset)");
    }
    return choice;
}

const char* backendName(CaptureBackend backend) {
    return backend == CaptureBackend::portal ? "portal" : "x11";
}

}  // namespace zimlo::screen
