#include "platform/screen/CaptureBackend.h"

#include <cstdlib>

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
    auto portalAnswers = [&] {
        return environment.portalOffersScreenCast && environment.portalOffersScreenCast();
    };
    if (environment.forced) {
        if (*environment.forced == "x11") {
            if (!environment.x11Display)
                return {std::nullopt, "ZIMLO_CAPTURE=x11，但没有 X11 显示（DISPLAY 未设置）"};
            return {CaptureBackend::x11, {}};
        }
        if (*environment.forced == "portal") {
            if (!portalAnswers())
                return {std::nullopt,
                        "ZIMLO_CAPTURE=portal，但桌面门户不提供屏幕录制（ScreenCast）"};
            return {CaptureBackend::portal, {}};
        }
        return {std::nullopt, "ZIMLO_CAPTURE 只能是 x11 或 portal，而不是 " + *environment.forced};
    }
    const bool wayland = environment.waylandDisplay || environment.sessionType == "wayland";
    if (wayland && portalAnswers()) return {CaptureBackend::portal, {}};
    if (environment.x11Display) return {CaptureBackend::x11, {}};
    if (wayland)
        return {
            std::nullopt,
            "Wayland 桌面未提供屏幕录制门户（xdg-desktop-portal 的 ScreenCast），也没有 X11 显示"};
    return {std::nullopt, "没有找到图形桌面（既没有 Wayland 也没有 X11 显示）"};
}

const char* backendName(CaptureBackend backend) {
    return backend == CaptureBackend::portal ? "portal" : "x11";
}

}  // namespace zimlo::screen
