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

// A line break in a text starts a new line, whichever form it takes, instead of running the
// words either side together.
TEST_F(SubtitleRendererTest, LineBreaksStartNewLines) {
    auto glued =
        renderer.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, "line oneline two", false);
    auto broken =
        renderer.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, "line one\nline two", false);
    ASSERT_TRUE(glued && broken);
    EXPECT_EQ(glued->metrics.textHeight, glued->metrics.lineHeight);
    EXPECT_GT(broken->metrics.textHeight, 1.5 * broken->metrics.lineHeight);
    EXPECT_LT(broken->metrics.textHeight, 2.5 * broken->metrics.lineHeight);
    for (const char* other : {"line one\r\nline two", "line one\rline two",
                              "line one\u2028line two", "line one\u2029line two\n"}) {
        auto same = renderer.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, other, false);
        ASSERT_TRUE(same);
        EXPECT_EQ(same->image, broken->image) << other;
    }
    // A break at the end starts no empty line.
    auto trailing = renderer.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920, "line one\r\n", false);
    ASSERT_TRUE(trailing);
    EXPECT_EQ(trailing->metrics.textHeight, trailing->metrics.lineHeight);
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

// The detector's word list loads in the background, so it may find no key words at first and
// some a moment later. One image asks it once: measuring and drawing agree, and a two-line
// subtitle keeps its second line.
TEST_F(SubtitleRendererTest, MeasuringAndDrawingAgreeOnTheKeyWords) {
    int calls = 0;
    SubtitleRenderer loading([&](const std::string&) {
        return ++calls == 1 ? std::vector<Utf16Range>{} : std::vector<Utf16Range>{{4, 4}, {13, 4}};
    });
    auto image = loading.subtitleImage(0.5, 0.82, 0.86, 1.0, 1080, 1920,
                                       "这个功能非常重要，我们必须马上完成", true);
    ASSERT_TRUE(image);
    const auto& m = image->metrics;
    ASSERT_GE(m.textHeight, 2 * m.lineHeight);
    // White fill in the second line's half of the text frame.
    int filled = 0;
    const int secondLine = static_cast<int>(m.padding + m.textHeight / 2 + 4);
    for (int y = secondLine; y < static_cast<int>(m.padding + m.textHeight); ++y)
        for (int x = 0; x < image->image.width(); ++x)
            if (qRed(image->image.pixel(x, y)) > 200) ++filled;
    EXPECT_GT(filled, 500) << "the second line is missing";
}

// Coverage of the fill (white or amber: full red either way), and of everything, in 0..1.
double fillAt(const QImage& image, int x, int y) { return qRed(image.pixel(x, y)) / 255.0; }
double alphaAt(const QImage& image, int x, int y) { return qAlpha(image.pixel(x, y)) / 255.0; }

// Columns holding fill, grouped into runs (one per glyph stem); the middle column of each.
std::vector<int> stemColumns(const QImage& image) {
    std::vector<int> middles;
    int runStart = -1;
    for (int x = 0; x <= image.width(); ++x) {
        bool filled = false;
        for (int y = 0; x < image.width() && y < image.height() && !filled; ++y)
            filled = fillAt(image, x, y) > 0.5;
        if (filled && runStart < 0) runStart = x;
        if (!filled && runStart >= 0) {
            middles.push_back((runStart + x - 1) / 2);
            runStart = -1;
        }
    }
    return middles;
}

// Outline of 5 % of the font size (half of it outside the glyph), a shadow 2 pixels up with a
// blur of 6, key words in a font 5 larger dropped by 1.5: measured on the drawn pixels.
TEST_F(SubtitleRendererTest, OutlineShadowAndKeyWordGeometryOnThePixels) {
    // A horizontal bar, large: F = 1080 × 0.06 × 2.2.
    auto bar = renderer.subtitleImage(0.5, 0.5, 0.86, 2.2, 1080, 1920, "一", false);
    ASSERT_TRUE(bar);
    const QImage& picture = bar->image;
    const double F = bar->metrics.fontSize;
    ASSERT_DOUBLE_EQ(F, 142.56);
    auto stems = stemColumns(picture);
    ASSERT_EQ(stems.size(), 1u);
    const int x = stems[0];
    int fillTop = -1, fillBottom = -1, opaqueTop = -1, opaqueBottom = -1;
    for (int y = 0; y < picture.height(); ++y) {
        if (fillAt(picture, x, y) > 0.5) {
            if (fillTop < 0) fillTop = y;
            fillBottom = y;
        }
        if (alphaAt(picture, x, y) > 0.97) {
            if (opaqueTop < 0) opaqueTop = y;
            opaqueBottom = y;
        }
    }
    ASSERT_GE(fillTop, 0);
    EXPECT_NEAR(fillTop - opaqueTop, 0.025 * F, 1.2);
    EXPECT_NEAR(opaqueBottom - fillBottom, 0.025 * F, 1.2);

    // The shadow (black at 0.9, blurred as a Gaussian of deviation 3, lifted by 2): beyond the
    // outline's antialiased edge pixel about 1.4 pixels more of it above the bar than below, and
    // visible (over 2 %) about 8 pixels above and 4 below.
    double above = 0, below = 0;
    int reachAbove = 0, reachBelow = 0;
    for (int y = opaqueTop - 2; y >= 0; --y) {
        above += alphaAt(picture, x, y);
        if (alphaAt(picture, x, y) > 0.02) reachAbove = opaqueTop - y;
    }
    for (int y = opaqueBottom + 2; y < picture.height(); ++y) {
        below += alphaAt(picture, x, y);
        if (alphaAt(picture, x, y) > 0.02) reachBelow = y - opaqueBottom;
    }
    EXPECT_NEAR(above - below, 1.4, 0.35) << above << " above, " << below << " below";
    EXPECT_NEAR(reachAbove, 8, 1.5);
    EXPECT_NEAR(reachBelow, 4, 1.5);

    // "II" with the second one a key word: its foot 1.5 below the first one's, and as tall as a
    // bold "I" of size F + 5 (the first is in the medium base font).
    SubtitleRenderer keyed([](const std::string&) { return std::vector<Utf16Range>{{1, 1}}; });
    auto pair = keyed.subtitleImage(0.5, 0.5, 0.86, 1.0, 1080, 1920, "II", true);
    auto bold = keyed.subtitleImage(0.5, 0.5, 0.86, 1.0, 1080, 1920, "II", false);
    ASSERT_TRUE(pair && bold);
    const double size = pair->metrics.fontSize;
    struct Stem {
        double height = 0;
        double foot = 0;
    };
    // Height of the fill down one column and where it ends, to a fraction of a pixel.
    auto measureStem = [](const QImage& image, int column) {
        double height = 0, moment = 0;
        for (int y = 0; y < image.height(); ++y) {
            const double c = fillAt(image, column, y);
            height += c;
            moment += c * (y + 0.5);
        }
        return Stem{height, moment / height + height / 2};
    };
    auto columns = stemColumns(pair->image);
    auto boldColumns = stemColumns(bold->image);
    ASSERT_EQ(columns.size(), 2u);
    ASSERT_EQ(boldColumns.size(), 2u);
    const Stem plain = measureStem(pair->image, columns[0]);
    const Stem keyword = measureStem(pair->image, columns[1]);
    const Stem boldPlain = measureStem(bold->image, boldColumns[0]);
    EXPECT_NEAR(keyword.height / boldPlain.height, (size + 5) / size, 0.006);
    EXPECT_NEAR(keyword.foot - plain.foot, 1.5, 0.35);
}

}  // namespace
}  // namespace zimlo::compose
