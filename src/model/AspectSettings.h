#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string_view>

#include "model/Geometry.h"

namespace zimlo {

// Aspect of the output picture or of the camera picture. The raw string is the stored form and
// also the label shown to the user. `default_` ("默认") imposes no ratio.
enum class AspectRatio {
    default_,  // "默认", ratio 0 (a marker, never a divisor)
    r1x1,      // "1:1"
    r3x4,      // "3:4"
    r4x3,      // "4:3"
    r9x16,     // "9:16"
    r16x9,     // "16:9"
};

std::string_view rawValue(AspectRatio aspect);
// Nothing for an unknown string.
std::optional<AspectRatio> aspectRatioFromRaw(std::string_view raw);
// Every case, in declaration order.
std::span<const AspectRatio> allAspectRatios();
// Width over height; 0 for `default_`.
double ratio(AspectRatio aspect);
// Output size whose longer side is `longSide` pixels (other side rounded half away from zero).
// Portrait shapes (and `default_`, read as 9:16) take the height, the others the width.
Size sizeForLongSide(AspectRatio aspect, double longSide);

// Which picture takes the top region in split-screen mode.
enum class CameraSplitOrder {
    frontTop,  // "frontTop": camera on top, screen below
    backTop,   // "backTop": screen on top, camera below
};

std::string_view rawValue(CameraSplitOrder order);
std::optional<CameraSplitOrder> cameraSplitOrderFromRaw(std::string_view raw);

// Style of the floating camera picture.
struct PiPStyle {
    AspectRatio aspect = AspectRatio::default_;
    // Corner rounding as a fraction of half the shorter side; clamped by the renderer, not here.
    double cornerRatio = 0.12;

    friend bool operator==(const PiPStyle&, const PiPStyle&) = default;
};

// Picture layout of a project. The constructor establishes the invariants (split screen turns the
// floating camera picture off; the split ratio lies in [0.28, 0.72]); assigning a single field
// afterwards does not, so consumers relying on the ratio bound clamp again.
struct AspectSettings {
    static constexpr double minimumSplitTopRatio = 0.28;
    static constexpr double maximumSplitTopRatio = 0.72;

    AspectRatio main = AspectRatio::default_;
    bool isPiPEnabled = true;
    bool isSplitScreenEnabled = false;
    CameraSplitOrder splitOrder = CameraSplitOrder::frontTop;
    double splitTopRatio = 0.5;
    PiPStyle pip;

    AspectSettings() = default;
    AspectSettings(AspectRatio main, bool isPiPEnabled, bool isSplitScreenEnabled,
                   CameraSplitOrder splitOrder, double splitTopRatio, PiPStyle pip);

    // x <= 0.28 gives 0.28, x > 0.72 gives 0.72, otherwise x.
    static double clampSplitTopRatio(double x);

    friend bool operator==(const AspectSettings&, const AspectSettings&) = default;
};

// JSON forms. Encoding writes every key in field order, values as stored (the document's
// encoding refuses a non-finite number). Decoding applies the defaults and invariants and throws
// DecodingError naming the key; `keyPath` is the path of `json` itself inside its document
// (used as the prefix of error messages).
nlohmann::ordered_json toJSON(const PiPStyle& style);
nlohmann::ordered_json toJSON(const AspectSettings& settings);
PiPStyle pipStyleFromJSON(const nlohmann::ordered_json& json, const std::string& keyPath = "");
AspectSettings aspectSettingsFromJSON(const nlohmann::ordered_json& json,
                                      const std::string& keyPath = "");

}  // namespace zimlo
