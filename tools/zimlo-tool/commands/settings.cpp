// zimlo-tool settings: recording resolutions and capture sizes.

#include <charconv>
#include <cmath>
#include <iostream>

#include "CommandRegistry.h"
#include "model/RecordingSettings.h"

namespace {

using zimlo::tool::fail;

bool parseInt(const std::string& text, int& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Native sizes may be fractional (points times a scale); they must be finite and sane.
bool parseSize(const std::string& text, double& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(value) &&
           std::fabs(value) < 1e9;
}

int resolutions(const std::vector<std::string>& args) {
    double width = 0, height = 0;
    if (args.size() != 3 || !parseSize(args[1], width) || !parseSize(args[2], height))
        return fail("usage: zimlo-tool settings resolutions WIDTH HEIGHT (numbers)");
    for (const auto& resolution : zimlo::availableResolutions(width, height))
        std::cout << resolution.width << "x" << resolution.height << "\t" << resolution.displayName
                  << "\n";
    return 0;
}

int captureSize(const std::vector<std::string>& args) {
    int values[4];
    if (args.size() != 5) return fail("usage: zimlo-tool settings capture-size RW RH W H");
    for (int i = 0; i < 4; ++i)
        if (!parseInt(args[i + 1], values[i])) return fail("not an integer: " + args[i + 1]);
    zimlo::RecordingResolution resolution{values[0], values[1], ""};
    zimlo::PixelSize size = resolution.captureSize({values[2], values[3]});
    std::cout << size.width << "x" << size.height << "\n";
    return 0;
}

int run(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "resolutions") return resolutions(args);
    if (!args.empty() && args[0] == "capture-size") return captureSize(args);
    return fail("usage: zimlo-tool settings resolutions W H | capture-size RW RH W H");
}

zimlo::tool::RegisterCommandGroup group({
    "settings",
    "  settings resolutions W H          resolutions offered for a native size: WxH, label\n"
    "  settings capture-size RW RH W H   pixel size captured for resolution RWxRH at native WxH\n",
    run,
});

}  // namespace
