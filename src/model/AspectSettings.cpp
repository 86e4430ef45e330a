#include "model/AspectSettings.h"

#include <array>
#include <cmath>

#include "model/JsonDetail.h"

namespace zimlo {

using json_detail::childPath;
using json_detail::Json;

namespace {
constexpr std::array<AspectRatio, 6> kAllAspects = {
    AspectRatio::default_, AspectRatio::r1x1,  AspectRatio::r3x4,
    AspectRatio::r4x3,     AspectRatio::r9x16, AspectRatio::r16x9,
};
}  // namespace

std::string_view rawValue(AspectRatio aspect) {
    switch (aspect) {
        case AspectRatio::default_:
            return "默认";  // not translated: the stored value of the setting
        case AspectRatio::r1x1:
            return "1:1";
        case AspectRatio::r3x4:
            return "3:4";
        case AspectRatio::r4x3:
            return "4:3";
        case AspectRatio::r9x16:
            return "9:16";
        case AspectRatio::r16x9:
            return "16:9";
    }
    return "默认";  // not translated: the stored value of the setting
}

std::optional<AspectRatio> aspectRatioFromRaw(std::string_view raw) {
    for (AspectRatio aspect : kAllAspects)
        if (rawValue(aspect) == raw) return aspect;
    return std::nullopt;
}

std::span<const AspectRatio> allAspectRatios() { return kAllAspects; }

double ratio(AspectRatio aspect) {
    switch (aspect) {
        case AspectRatio::default_:
            return 0;
        case AspectRatio::r1x1:
            return 1.0;
        case AspectRatio::r3x4:
            return 3.0 / 4.0;
        case AspectRatio::r4x3:
            return 4.0 / 3.0;
        case AspectRatio::r9x16:
            return 9.0 / 16.0;
        case AspectRatio::r16x9:
            return 16.0 / 9.0;
    }
    return 0;
}

Size sizeForLongSide(AspectRatio aspect, double longSide) {
    switch (aspect) {
        case AspectRatio::default_:
            return Size{std::round(longSide * ratio(AspectRatio::r9x16)), longSide};
        case AspectRatio::r3x4:
        case AspectRatio::r9x16:
            return Size{std::round(longSide * ratio(aspect)), longSide};
        case AspectRatio::r1x1:
        case AspectRatio::r4x3:
        case AspectRatio::r16x9:
            return Size{longSide, std::round(longSide / ratio(aspect))};
    }
    return Size{longSide, longSide};
}

std::string_view rawValue(CameraSplitOrder order) {
    return order == CameraSplitOrder::backTop ? "backTop" : "frontTop";
}

std::optional<CameraSplitOrder> cameraSplitOrderFromRaw(std::string_view raw) {
    if (raw == "frontTop") return CameraSplitOrder::frontTop;
    if (raw == "backTop") return CameraSplitOrder::backTop;
    return std::nullopt;
}

AspectSettings::AspectSettings(AspectRatio main, bool isPiPEnabled, bool isSplitScreenEnabled,
                               CameraSplitOrder splitOrder, double splitTopRatio, PiPStyle pip)
    : main(main),
      isPiPEnabled(isPiPEnabled && !isSplitScreenEnabled),
      isSplitScreenEnabled(isSplitScreenEnabled),
      splitOrder(splitOrder),
      splitTopRatio(clampSplitTopRatio(splitTopRatio)),
      pip(pip) {}

double AspectSettings::clampSplitTopRatio(double x) {
    if (x <= minimumSplitTopRatio) return minimumSplitTopRatio;
    if (x > maximumSplitTopRatio) return maximumSplitTopRatio;
    return x;
}

Json toJSON(const PiPStyle& style) {
    Json json = Json::object();
    json["aspect"] = rawValue(style.aspect);
    json["cornerRatio"] = style.cornerRatio;
    return json;
}

Json toJSON(const AspectSettings& settings) {
    Json json = Json::object();
    json["main"] = rawValue(settings.main);
    json["isPiPEnabled"] = settings.isPiPEnabled;
    json["isSplitScreenEnabled"] = settings.isSplitScreenEnabled;
    json["splitOrder"] = rawValue(settings.splitOrder);
    json["splitTopRatio"] = settings.splitTopRatio;
    json["pip"] = toJSON(settings.pip);
    return json;
}

namespace {

AspectRatio readAspect(const Json& json, const std::string& path) {
    std::string raw = json_detail::readString(json, path);
    auto aspect = aspectRatioFromRaw(raw);
    if (!aspect) throw DecodingError(path, "unknown aspect ratio \"" + raw + "\"");
    return *aspect;
}

}  // namespace

PiPStyle pipStyleFromJSON(const Json& json, const std::string& path) {
    json_detail::expectObject(json, path);
    PiPStyle style;
    style.aspect =
        readAspect(json_detail::requireMember(json, "aspect", path), childPath(path, "aspect"));
    style.cornerRatio = json_detail::readDouble(
        json_detail::requireMember(json, "cornerRatio", path), childPath(path, "cornerRatio"));
    return style;
}

AspectSettings aspectSettingsFromJSON(const Json& json, const std::string& path) {
    using namespace json_detail;
    expectObject(json, path);
    AspectSettings settings;
    if (const Json* value = member(json, "main"))
        settings.main = readAspect(*value, childPath(path, "main"));
    if (const Json* value = member(json, "isSplitScreenEnabled"))
        settings.isSplitScreenEnabled = readBool(*value, childPath(path, "isSplitScreenEnabled"));
    // Split screen excludes the floating picture; its flag is then not even read.
    if (settings.isSplitScreenEnabled) {
        settings.isPiPEnabled = false;
    } else if (const Json* value = member(json, "isPiPEnabled")) {
        settings.isPiPEnabled = readBool(*value, childPath(path, "isPiPEnabled"));
    }
    if (const Json* value = member(json, "splitOrder")) {
        std::string raw = readString(*value, childPath(path, "splitOrder"));
        auto order = cameraSplitOrderFromRaw(raw);
        if (!order)
            throw DecodingError(childPath(path, "splitOrder"),
                                "unknown split order \"" + raw + "\"");
        settings.splitOrder = *order;
    }
    if (const Json* value = member(json, "splitTopRatio"))
        settings.splitTopRatio = readDouble(*value, childPath(path, "splitTopRatio"));
    settings.splitTopRatio = AspectSettings::clampSplitTopRatio(settings.splitTopRatio);
    if (const Json* value = member(json, "pip"))
        settings.pip = pipStyleFromJSON(*value, childPath(path, "pip"));
    return settings;
}

}  // namespace zimlo
