// zimlo-tool targets: what can be recorded right now.

#include <chrono>
#include <cmath>
#include <iostream>
#include <optional>

#include "CommandRegistry.h"
#include "capture/CaptureBackendSelection.h"
#include "capture/PlatformErrorText.h"
#include "capture/ScreenCaptureTargetProvider.h"

namespace {

using zimlo::capture::ScreenCaptureTargetProvider;
using zimlo::tool::fail;

int list() {
    std::optional<ScreenCaptureTargetProvider::TargetsResult> result;
    ScreenCaptureTargetProvider().loadTargets(
        [&](ScreenCaptureTargetProvider::TargetsResult r) { result = std::move(r); });
    if (!zimlo::tool::mainLoop().runUntil([&] { return result.has_value(); },
                                          std::chrono::seconds(30)))
        return fail("listing the targets timed out");
    if (result->index() == 1) return fail(std::get<1>(*result));
    for (const auto& target : std::get<0>(*result)) {
        auto size = ScreenCaptureTargetProvider::nativePixelSize(target);
        std::cout << target.id << "\t" << target.title << "\t" << target.subtitle.value_or("")
                  << "\t" << std::llround(size.width) << "x" << std::llround(size.height) << "\n";
    }
    return 0;
}

int backend() {
    auto choice = zimlo::capture::currentCaptureBackend();
    if (!choice.backend) return fail(zimlo::capture::userText(choice));
    std::cout << zimlo::screen::backendName(*choice.backend) << "\n";
    return 0;
}

int run(const std::vector<std::string>& args) {
    if (args.empty() || (args.size() == 1 && args[0] == "list")) return list();
    if (args.size() == 1 && args[0] == "backend") return backend();
    return fail("usage: zimlo-tool targets [list|backend]");
}

const zimlo::tool::RegisterCommandGroup registration({
    "targets",
    "  targets [list]                 displays and windows that can be recorded:\n"
    "                                 ID<TAB>TITLE<TAB>SUBTITLE<TAB>NATIVE-WxH\n"
    "                                 (on Wayland: portal-monitor, portal-window where offered;\n"
    "                                 the desktop's chooser picks the screen or window)\n"
    "  targets backend                how the screen is captured here: x11 or portal\n"
    "                                 (ZIMLO_CAPTURE=x11|portal forces one)\n",
    run,
});

}  // namespace
