#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "model/AspectSettings.h"
#include "model/JsonCoding.h"

namespace zimlo {
namespace {

using Json = nlohmann::ordered_json;

AspectSettings decode(const char* text) {
    return aspectSettingsFromJSON(Json::parse(text), "aspect");
}

TEST(AspectSettingsTest, InitializerAppliesInvariants) {
    AspectSettings split(AspectRatio::r16x9, true, true, CameraSplitOrder::backTop, 0.9, {});
    EXPECT_FALSE(split.isPiPEnabled);
    EXPECT_EQ(split.splitTopRatio, 0.72);
    AspectSettings plain(AspectRatio::default_, true, false, CameraSplitOrder::frontTop, 0.1, {});
    EXPECT_TRUE(plain.isPiPEnabled);
    EXPECT_EQ(plain.splitTopRatio, 0.28);

    EXPECT_EQ(AspectSettings::clampSplitTopRatio(0.28), 0.28);
    EXPECT_EQ(AspectSettings::clampSplitTopRatio(0.72), 0.72);
    EXPECT_EQ(AspectSettings::clampSplitTopRatio(0.7200001), 0.72);
    EXPECT_EQ(AspectSettings::clampSplitTopRatio(0.5), 0.5);
}

TEST(AspectSettingsTest, RawValuesAndSizes) {
    ASSERT_EQ(allAspectRatios().size(), 6u);
    for (AspectRatio aspect : allAspectRatios())
        EXPECT_EQ(aspectRatioFromRaw(rawValue(aspect)), aspect);
    EXPECT_EQ(rawValue(AspectRatio::default_), "默认");
    EXPECT_FALSE(aspectRatioFromRaw("2:1"));

    auto size = [](AspectRatio aspect, double longSide) {
        Size s = sizeForLongSide(aspect, longSide);
        return std::make_pair(s.width, s.height);
    };
    EXPECT_EQ(size(AspectRatio::r16x9, 1920), std::make_pair(1920.0, 1080.0));
    EXPECT_EQ(size(AspectRatio::r9x16, 1920), std::make_pair(1080.0, 1920.0));
    EXPECT_EQ(size(AspectRatio::r3x4, 1440), std::make_pair(1080.0, 1440.0));
    EXPECT_EQ(size(AspectRatio::default_, 1920), std::make_pair(1080.0, 1920.0));
    EXPECT_EQ(size(AspectRatio::r1x1, 1080), std::make_pair(1080.0, 1080.0));
    EXPECT_EQ(size(AspectRatio::r4x3, 1000), std::make_pair(1000.0, 750.0));
    EXPECT_EQ(size(AspectRatio::r16x9, 1000), std::make_pair(1000.0, 563.0));  // 562.5 rounds up
}

TEST(AspectSettingsTest, DecodingAppliesDefaultsAndInvariants) {
    EXPECT_EQ(decode("{}"), AspectSettings());
    EXPECT_EQ(decode(R"({"isPiPEnabled":null,"isSplitScreenEnabled":null})"), AspectSettings());

    // With split screen on the PiP flag is not read, so even a malformed one is accepted.
    AspectSettings split = decode(R"({"isSplitScreenEnabled":true,"isPiPEnabled":"yes"})");
    EXPECT_TRUE(split.isSplitScreenEnabled);
    EXPECT_FALSE(split.isPiPEnabled);
    EXPECT_FALSE(decode(R"({"isSplitScreenEnabled":true,"isPiPEnabled":true})").isPiPEnabled);

    for (auto [in, out] :
         {std::pair{0.1, 0.28}, {0.9, 0.72}, {0.28, 0.28}, {0.72, 0.72}, {0.5, 0.5}})
        EXPECT_EQ(decode(("{\"splitTopRatio\":" + std::to_string(in) + "}").c_str()).splitTopRatio,
                  out);

    EXPECT_EQ(decode(R"({"pip":{"aspect":"1:1","cornerRatio":3}})").pip.cornerRatio, 3.0);
}

TEST(AspectSettingsTest, DecodingErrorsNameTheKey) {
    auto errorKey = [](const char* text) -> std::string {
        try {
            decode(text);
        } catch (const DecodingError& error) {
            return error.keyPath();
        }
        return "(no error)";
    };
    EXPECT_EQ(errorKey(R"({"main":"2:1"})"), "aspect.main");
    EXPECT_EQ(errorKey(R"({"pip":{"aspect":"1:1"}})"), "aspect.pip.cornerRatio");
    EXPECT_EQ(errorKey(R"({"pip":{"cornerRatio":0.2,"aspect":null}})"), "aspect.pip.aspect");
    EXPECT_EQ(errorKey(R"({"splitOrder":"left"})"), "aspect.splitOrder");
    EXPECT_EQ(errorKey(R"({"isPiPEnabled":1})"), "aspect.isPiPEnabled");
    EXPECT_EQ(errorKey(R"({"splitTopRatio":"0.5"})"), "aspect.splitTopRatio");
    EXPECT_EQ(errorKey(R"([])"), "aspect");
}

TEST(AspectSettingsTest, EncodingIsExactAndRoundTrips) {
    AspectSettings settings(AspectRatio::r9x16, false, true, CameraSplitOrder::backTop, 0.6,
                            PiPStyle{AspectRatio::r4x3, 0.25});
    Json json = toJSON(settings);
    EXPECT_EQ(
        json.dump(),
        R"({"main":"9:16","isPiPEnabled":false,"isSplitScreenEnabled":true,)"
        R"("splitOrder":"backTop","splitTopRatio":0.6,"pip":{"aspect":"4:3","cornerRatio":0.25}})");
    EXPECT_EQ(aspectSettingsFromJSON(json), settings);
}

}  // namespace
}  // namespace zimlo
