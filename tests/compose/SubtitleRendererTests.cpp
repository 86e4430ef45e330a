#include <gtest/gtest.h>

#include "compose/SubtitleRenderer.h"

namespace zimlo::compose {
namespace {

class SubtitleRendererTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(ensureTextEngine()); }
    SubtitleRenderer renderer{[](const std::string&) { return std::vector<Utf16Range>{}; }};
};

TEST_F(SubtitleRendererTest, PortraitCanvasMetricsAndPlacement) {
    auto image = renderer.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, "你好，世界", false);
    ASSERT_TRUE(image);
    const auto& m = image->metrics;
    EXPECT_DOUBLE_EQ(m.margin, 43.2);
    EXPECT_DOUBLE_EQ(m.boxWidth, 928.8);
    EXPECT_DOUBLE_EQ(m.fontSize, 64.8);
    EXPECT_DOUBLE_EQ(m.padding, 12.96);
    EXPECT_DOUBLE_EQ(m.layoutWidth, 902.88);
    EXPECT_EQ(m.imageWidth, 929);
    EXPECT_EQ(image->image.width(), 929);
    // One line: the image is the padding plus one line height.
    EXPECT_EQ(m.textHeight, m.lineHeight);
    EXPECT_EQ(m.imageHeight, static_cast<int>(std::ceil(2 * 12.96 + m.lineHeight)));
    EXPECT_DOUBLE_EQ(image->placement.x, 75.5);
    EXPECT_EQ(image->image.format(), QImage::Format_RGBA8888_Premultiplied);
}

TEST_F(SubtitleRendererTest, SizesOnOtherCanvasesAndClampedLayouts) {
    auto landscape =
        renderer.measure("x", false, 1920, 1080, clampSubtitleLayout(0.5, 0.82, 0.86, 1.0));
    EXPECT_DOUBLE_EQ(landscape.fontSize, 64.8);
    EXPECT_DOUBLE_EQ(landscape.margin, 76.8);
    auto small = renderer.measure("x", false, 320, 240, clampSubtitleLayout(0.5, 0.82, 0.86, 1.0));
    EXPECT_DOUBLE_EQ(small.fontSize, 28);
    EXPECT_DOUBLE_EQ(small.margin, 24);

    auto clamped = clampSubtitleLayout(-1, 2, 0.2, 5);
    EXPECT_EQ(clamped.fontScale, 2.2);
    EXPECT_EQ(clamped.maxWidth, 0.45);
    auto pinned = renderer.subtitleImage(-1, 2, 0.2, 5, 1080, 1920, "字幕", false);
    ASSERT_TRUE(pinned);
    EXPECT_DOUBLE_EQ(pinned->placement.x, 43.2);
    EXPECT_DOUBLE_EQ(pinned->placement.y + pinned->placement.height, 1920 - 43.2);
    auto low = placeSubtitle(929, 120, 0.5, 0.99, 1080, 1920);
    EXPECT_DOUBLE_EQ(low.y, 1920 - 43.2 - 120);
}

TEST_F(SubtitleRendererTest, LongTextKeepsThreeLinesAndShortTextTheFullBox) {
    std::string longText;
    for (int i = 0; i < 8; ++i) longText += "这是一段需要换行的很长的字幕文本。";
    auto image = renderer.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, longText, false);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->metrics.textHeight, std::ceil(3 * image->metrics.lineHeight));
    EXPECT_EQ(image->image.height(),
              static_cast<int>(std::ceil(2 * image->metrics.padding + image->metrics.textHeight)));
    // Nothing is drawn below the third line's frame.
    const int frameBottom =
        static_cast<int>(std::ceil(image->metrics.padding + image->metrics.textHeight));
    EXPECT_EQ(image->image.width(), 929);
    for (int y = frameBottom + 10; y < image->image.height(); ++y)
        for (int x = 0; x < image->image.width(); ++x)
            ASSERT_LT(qAlpha(image->image.pixel(x, y)), 40) << y;
}

TEST_F(SubtitleRendererTest, ChineseTextHasRealGlyphs) {
    // A missing glyph draws as a box: the same outline for different characters.
    auto one = renderer.subtitleImage(0.5, 0.5, 0.86, 1.0, 1080, 1920, "字", false);
    auto other = renderer.subtitleImage(0.5, 0.5, 0.86, 1.0, 1080, 1920, "幕", false);
    ASSERT_TRUE(one && other);
    int differing = 0;
    for (int y = 0; y < one->image.height(); ++y)
        for (int x = 0; x < one->image.width(); ++x)
            if (std::abs(qAlpha(one->image.pixel(x, y)) - qAlpha(other->image.pixel(x, y))) > 128)
                ++differing;
    EXPECT_GT(differing, 200);
}

TEST_F(SubtitleRendererTest, CacheKeysSeparateEmphasisAndShareNearlyEqualLayouts) {
    SubtitleRenderer keyed([](const std::string&) { return std::vector<Utf16Range>{{0, 2}}; });
    auto plain = keyed.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, "4K 画质", false);
    auto emphasized = keyed.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, "4K 画质", true);
    EXPECT_EQ(keyed.cacheSize(), 2u);
    EXPECT_NE(plain, emphasized);
    EXPECT_TRUE(plain->emphasis.empty());
    EXPECT_EQ(emphasized->emphasis, (std::vector<Utf16Range>{{0, 2}}));
    auto again = keyed.subtitleImage(0.50001, 0.82, 0.86, 1.0, 1080, 1920, "4K 画质", true);
    EXPECT_EQ(again, emphasized);
    EXPECT_EQ(keyed.cacheSize(), 2u);
    EXPECT_EQ(SubtitleRenderKey::make("a", true, 1080.4, 1919.5,
                                      clampSubtitleLayout(0.12345, 0.5, 0.5, 1)),
              (SubtitleRenderKey{"a", true, 1080, 1920, 1235, 5000, 5000, 10000}));
}

}  // namespace
}  // namespace zimlo::compose
