#pragma once

#include <QImage>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace zimlo::compose {

// A run of text in UTF-16 code units (what styled text is indexed by).
struct Utf16Range {
    int location = 0;
    int length = 0;
    friend bool operator==(const Utf16Range&, const Utf16Range&) = default;
};

// Key words of one subtitle text, sorted and non-overlapping.
using EmphasisFunction = std::function<std::vector<Utf16Range>(const std::string& text)>;

// The key-word detector of the subtitle library, or no key words when it is not built in.
EmphasisFunction defaultEmphasisFunction();

// Layout values of a subtitle after clamping into the ranges the renderer accepts.
struct ClampedSubtitleLayout {
    double centerX = 0.5;
    double centerY = 0.82;
    double maxWidth = 0.86;
    double fontScale = 1.0;
};
ClampedSubtitleLayout clampSubtitleLayout(double centerX, double centerY, double maxWidth,
                                          double fontScale);

// Identifies one drawn subtitle: layout values are kept as integers (× 10000) so layouts that
// differ only below that precision share an image.
struct SubtitleRenderKey {
    std::string text;
    bool emphasizesKeywords = false;
    int64_t canvasWidth = 0;
    int64_t canvasHeight = 0;
    int64_t centerX = 0;
    int64_t centerY = 0;
    int64_t maxWidth = 0;
    int64_t fontScale = 0;

    static SubtitleRenderKey make(const std::string& text, bool emphasize, double canvasWidth,
                                  double canvasHeight, const ClampedSubtitleLayout& layout);
    friend bool operator==(const SubtitleRenderKey&, const SubtitleRenderKey&) = default;
};

struct SubtitleRenderKeyHash {
    std::size_t operator()(const SubtitleRenderKey& key) const;
};

// Top-left canvas rectangle.
struct CanvasRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Where a subtitle image of Iw × Ih goes on a W × H canvas: centred on the layout centre but
// always keeping the margin from every edge.
CanvasRect placeSubtitle(double imageWidth, double imageHeight, double centerX, double centerY,
                         double canvasWidth, double canvasHeight);

// The measured sizes of one subtitle (all in pixels).
struct SubtitleMetrics {
    double margin = 0;       // m
    double boxWidth = 0;     // B
    double fontSize = 0;     // F
    double padding = 0;      // P
    double layoutWidth = 0;  // Lw
    double lineHeight = 0;   // Λ
    double textHeight = 0;   // T
    int imageWidth = 0;
    int imageHeight = 0;
};

// A finished subtitle: premultiplied pixels and the rectangle they take on the canvas.
struct SubtitleImage {
    QImage image;  // Format_RGBA8888_Premultiplied, imageWidth × imageHeight
    SubtitleMetrics metrics;
    CanvasRect placement;  // top-left canvas coordinates; width/height may be cut by the margin
    std::vector<Utf16Range> emphasis;  // the key-word ranges that were coloured
};

// Draws subtitles with Qt's text engine and keeps the few drawn last, so a subtitle shown for
// many frames is drawn once while a long talk's hundreds of subtitles (a megabyte or more each)
// never pile up. Not thread-safe: the compositor uses it from its render queue only. Needs a
// QGuiApplication (see ensureTextEngine).
class SubtitleRenderer {
  public:
    explicit SubtitleRenderer(EmphasisFunction emphasis = defaultEmphasisFunction());

    // Images kept at most.
    static constexpr std::size_t kCachedImages = 4;
    // Pixels a subtitle image may have at most: beyond any real canvas, so only a damaged
    // layout or canvas asks for more.
    static constexpr int64_t kLargestImagePixels = int64_t{64} << 20;

    // The subtitle for one canvas, or null when it cannot be drawn (nothing is cached then).
    std::shared_ptr<const SubtitleImage> subtitleImage(double centerX, double centerY,
                                                       double maxWidth, double fontScale,
                                                       double canvasWidth, double canvasHeight,
                                                       const std::string& text, bool emphasize);

    void clearCache() { cache_.clear(); }
    std::size_t cacheSize() const { return cache_.size(); }

    // Sizes alone, without drawing (for checks of the layout rules).
    SubtitleMetrics measure(const std::string& text, bool emphasize, double canvasWidth,
                            double canvasHeight, const ClampedSubtitleLayout& layout) const;

  private:
    // The key words of `text` when emphasising, checked against the text.
    std::vector<Utf16Range> keywordsOf(const std::string& text, bool emphasize) const;
    // Sizes with the key words already chosen: the drawing uses the same ones, so what is
    // measured is what is drawn.
    SubtitleMetrics measure(const std::string& text, bool emphasize,
                            const std::vector<Utf16Range>& keywords, double canvasWidth,
                            double canvasHeight, const ClampedSubtitleLayout& layout) const;

    EmphasisFunction emphasis_;
    // Most recently used first.
    std::list<std::pair<SubtitleRenderKey, std::shared_ptr<const SubtitleImage>>> cache_;
};

// Makes sure a Qt GUI application object exists so fonts can be used; creates an off-screen
// one when the process has none. Call on the main thread before the first export.
// Returns false when another kind of Qt application (without a GUI) already exists.
bool ensureTextEngine();

}  // namespace zimlo::compose
